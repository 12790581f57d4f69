#!/bin/sh
# SPDX-License-Identifier: MIT
# Builds the Debian package, installs it, runs the installed program and
# removes it again. Needs root; skipped (77) without it, and when scnferry is
# already installed, so that a user's own install is never removed.
# Usage: deb_smoke.sh SOURCE_DIR BUILD_DIR SCRATCH_DIR
set -eu
src=$1
build=$2
out=$3

if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: dpkg -i needs root"
    exit 77
fi
if dpkg-query -W -f='${Status}' scnferry 2>/dev/null | grep -q "ok installed"; then
    echo "SKIP: scnferry is already installed on this machine"
    exit 77
fi

rm -rf "$out"
mkdir -p "$out"
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >"$out/cpack.log" 2>&1 || { cat "$out/cpack.log"; exit 1; }
deb=$(ls "$out"/scnferry_*.deb)

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
field() { dpkg-deb -f "$deb" "$1"; }

[ "$(field Package)" = scnferry ] || fail "Package: $(field Package)"
[ "$(field Version)" = 1.00 ] || fail "Version: $(field Version)"
[ "$(field Section)" = utils ] || fail "Section: $(field Section)"
field Depends | grep -q libqt6widgets6 || fail "Depends lacks the Qt widgets library: $(field Depends)"

# The package creates the uinput rule's group; remove it afterwards if this
# test is what created it, so that the machine is left as it was found.
rule=$src/dist/udev/60-scnferry-uinput.rules
group=
if [ -f "$rule" ]; then
    group=$(grep -v '^[[:space:]]*#' "$rule" | sed -n 's/.*GROUP="\([^"]*\)".*/\1/p' | tail -n 1)
fi
new_group=
if [ -n "$group" ] && ! getent group "$group" >/dev/null; then
    new_group=$group
fi
cleanup() {
    dpkg -r scnferry >/dev/null 2>&1 || true
    if [ -n "$new_group" ]; then groupdel "$new_group" 2>/dev/null || true; fi
}

# Another helper's apt-get may hold the dpkg lock for a while: wait for it.
installed=no
deadline=$(($(date +%s) + 120))
while [ "$(date +%s)" -lt "$deadline" ]; do
    if dpkg -i "$deb" >"$out/dpkg.log" 2>&1; then
        installed=yes
        break
    fi
    grep -qi "lock" "$out/dpkg.log" || break
    sleep 1
done
if [ "$installed" != yes ]; then
    cat "$out/dpkg.log"
    cleanup
    exit 1
fi
trap cleanup EXIT

dpkg -L scnferry | grep -qx /usr/share/applications/io.github.scnferry.ScnFerry.desktop \
    || fail "desktop file not in the package"
if [ -f "$rule" ]; then
    dpkg -L scnferry | grep -qx /usr/lib/udev/rules.d/60-scnferry-uinput.rules \
        || fail "udev rule not in the package"
fi
# The rule is useless unless the group it names exists after installation.
if [ -n "$group" ]; then
    getent group "$group" >/dev/null || fail "group $group missing after installation"
fi

# --version must answer without any display.
version=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM /usr/bin/ScnFerry --version 2>"$out/stderr") \
    || fail "ScnFerry --version exited with $?: $(cat "$out/stderr")"
[ "$version" = "ScnFerry 1.00" ] || fail "ScnFerry --version printed '$version'"

trap - EXIT
dpkg -r scnferry >"$out/dpkg.log" 2>&1 || { cat "$out/dpkg.log"; fail "dpkg -r scnferry"; }
[ ! -e /usr/bin/ScnFerry ] || fail "/usr/bin/ScnFerry left behind after removal"
cleanup

[ "$failures" -eq 0 ] || exit 1
rm -rf "$out"
echo "package installs, runs and removes"
