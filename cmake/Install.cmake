# SPDX-License-Identifier: MIT
# Install layout of ScnFerry and its Debian package.
include(GNUInstallDirs)

set(SCNFERRY_APP_ID io.github.scnferry.ScnFerry)
set(SCNFERRY_DIST ${PROJECT_SOURCE_DIR}/dist)

install(TARGETS ScnFerry RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(UNIX AND NOT APPLE)
  install(FILES ${SCNFERRY_DIST}/${SCNFERRY_APP_ID}.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${SCNFERRY_DIST}/${SCNFERRY_APP_ID}.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  foreach(size 16 32)
    install(FILES ${SCNFERRY_DIST}/icons/hicolor/${size}x${size}/apps/${SCNFERRY_APP_ID}.png
      DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
  install(FILES ${PROJECT_SOURCE_DIR}/resources/link32.xpm
    DESTINATION ${CMAKE_INSTALL_DATADIR}/pixmaps
    RENAME ${SCNFERRY_APP_ID}.xpm)

  # Access to /dev/uinput for the keystroke route that works on every
  # desktop. These live under lib/ whatever the libdir is (multiarch or not):
  # udev and systemd look only there.
  set(SCNFERRY_UINPUT_RULE ${SCNFERRY_DIST}/udev/60-scnferry-uinput.rules)
  if(EXISTS ${SCNFERRY_UINPUT_RULE})
    install(FILES ${SCNFERRY_UINPUT_RULE} DESTINATION lib/udev/rules.d)
    # The package creates the group the rule grants access to, if the
    # system lacks it, and applies the rule at once (dist/deb/postinst.in).
    file(STRINGS ${SCNFERRY_UINPUT_RULE} rule_lines REGEX "GROUP=\"[^\"]+\"")
    set(SCNFERRY_UINPUT_GROUP "")
    foreach(line IN LISTS rule_lines)
      if(NOT line MATCHES "^[ \t]*#")
        string(REGEX MATCH "GROUP=\"([^\"]+)\"" unused "${line}")
        set(SCNFERRY_UINPUT_GROUP ${CMAKE_MATCH_1})
      endif()
    endforeach()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${SCNFERRY_UINPUT_RULE})
    if(NOT SCNFERRY_UINPUT_GROUP MATCHES "^[a-z_][a-z0-9_-]*$")
      set(SCNFERRY_UINPUT_GROUP "")
    endif()
    configure_file(${SCNFERRY_DIST}/deb/postinst.in ${PROJECT_BINARY_DIR}/deb/postinst @ONLY)
    set(SCNFERRY_DEB_SCRIPTS ${PROJECT_BINARY_DIR}/deb/postinst)
  endif()
  if(EXISTS ${SCNFERRY_DIST}/modules-load/scnferry-uinput.conf)
    install(FILES ${SCNFERRY_DIST}/modules-load/scnferry-uinput.conf DESTINATION lib/modules-load.d)
  endif()
endif()

# Debian package: `cpack` in the build directory writes scnferry_1.00_<arch>.deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME scnferry)
set(CPACK_PACKAGE_VERSION 1.00)
set(CPACK_PACKAGE_VENDOR "ScnFerry developers")
set(CPACK_PACKAGE_CONTACT "ScnFerry developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Types barcode scans from a serial scanner into the focused window")
set(CPACK_PACKAGE_DESCRIPTION "ScnFerry opens one serial port with the settings given on its command
line and types every scan a barcode scanner sends into the window that
has the keyboard focus. It lives as an icon in the notification area.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "ScnFerry developers")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies come from dpkg-shlibdeps; Qt's platform plugins are
# loaded at run time, so name the ones the program needs on its desktops.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland")
if(SCNFERRY_DEB_SCRIPTS)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${SCNFERRY_DEB_SCRIPTS})
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
include(CPack)
