#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs the build into a scratch prefix and checks that the tree holds what
# a desktop needs to list, start and show the program.
# Usage: install_tree.sh SOURCE_DIR BUILD_DIR SCRATCH_DIR
set -eu
src=$1
build=$2
root=$3
id=io.github.scnferry.ScnFerry

rm -rf "$root"
mkdir -p "$root"
cmake --install "$build" --prefix "$root" >"$root.log" 2>&1 || { cat "$root.log"; exit 1; }

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

[ -x "$root/bin/ScnFerry" ] || fail "bin/ScnFerry missing or not executable"
for f in share/applications/$id.desktop share/metainfo/$id.metainfo.xml \
         share/icons/hicolor/32x32/apps/$id.png share/icons/hicolor/16x16/apps/$id.png \
         share/pixmaps/$id.xpm; do
    [ -s "$root/$f" ] || fail "$f missing or empty"
done

desktop=$root/share/applications/$id.desktop
if [ -f "$desktop" ]; then
    # What the launcher runs and shows must exist in the same tree.
    exec_cmd=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
    [ -x "$root/bin/$exec_cmd" ] || fail "Exec=$exec_cmd is not an installed program"
    icon=$(sed -n 's/^Icon=//p' "$desktop")
    ls "$root"/share/icons/hicolor/*/apps/"$icon".png >/dev/null 2>&1 || fail "Icon=$icon has no installed icon"
fi

metainfo=$root/share/metainfo/$id.metainfo.xml
if [ -f "$metainfo" ]; then
    launchable=$(sed -n 's/.*<launchable type="desktop-id">\(.*\)<\/launchable>.*/\1/p' "$metainfo")
    [ -f "$root/share/applications/$launchable" ] || fail "launchable $launchable is not an installed desktop file"
    component=$(sed -n 's/.*<id>\(.*\)<\/id>.*/\1/p' "$metainfo")
    [ "$component" = "$id" ] || fail "component id $component, file named $id"
fi

# Rules written for uinput access go where udev and systemd look for them.
if [ -f "$src/dist/udev/60-scnferry-uinput.rules" ]; then
    [ -f "$root/lib/udev/rules.d/60-scnferry-uinput.rules" ] || fail "udev rule not installed"
fi
if [ -f "$src/dist/modules-load/scnferry-uinput.conf" ]; then
    [ -f "$root/lib/modules-load.d/scnferry-uinput.conf" ] || fail "modules-load file not installed"
fi

[ "$failures" -eq 0 ] || exit 1
rm -rf "$root" "$root.log"
echo "install tree complete"
