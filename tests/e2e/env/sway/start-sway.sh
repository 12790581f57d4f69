#!/bin/bash
# SPDX-License-Identifier: MIT
#
# Starts a headless sway session (with XWayland) for tests and prints what a
# client needs to reach it, as shell lines to eval:
#   export SWAY_PID=... SWAY_USER=... SWAY_DIR=... XDG_RUNTIME_DIR=...
#   export WAYLAND_DISPLAY=... DISPLAY=...
# WAYLAND_DISPLAY is an absolute path, so it also works for processes with
# another XDG_RUNTIME_DIR.
#
# sway refuses to run as root; as root the session runs as the unprivileged
# user scnferry-test (created when missing). Start the clients of the session
# as that user too (run-as-sway-user.sh): XWayland refuses other users.
#
# Usage: start-sway.sh [--no-xwayland] [--config-extra FILE] [--timeout SECONDS]
# Stop:  stop-sway.sh "$SWAY_PID" "$SWAY_DIR"
set -euo pipefail

xwayland=force
extra=
timeout=30
while [ $# -gt 0 ]; do
    case "$1" in
    --no-xwayland) xwayland=disable ;;
    --config-extra) extra="$2"; shift ;;
    --timeout) timeout="$2"; shift ;;
    *) echo "start-sway.sh: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done

command -v sway >/dev/null || { echo "start-sway.sh: sway is not installed" >&2; exit 3; }

if [ "$(id -u)" -eq 0 ]; then
    user=scnferry-test
    if ! id "$user" >/dev/null 2>&1; then
        useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$user"
    fi
    # XWayland puts its socket here; it must be there and shared by all users.
    mkdir -p /tmp/.X11-unix && chmod 1777 /tmp/.X11-unix
else
    user=$(id -un)
fi
uid=$(id -u "$user")
gid=$(id -g "$user")

dir=$(mktemp -d /tmp/scnferry-sway.XXXXXX)
mkdir -p "$dir/runtime" "$dir/home"
chmod 0700 "$dir/runtime"
chmod 0755 "$dir"

# The session announces its sockets once it runs: WAYLAND_DISPLAY and
# DISPLAY are only known to sway itself.
cat >"$dir/announce.sh" <<ANNOUNCE
#!/bin/sh
printf 'WAYLAND_DISPLAY=%s\nDISPLAY=%s\n' "\$WAYLAND_DISPLAY" "\${DISPLAY:-}" >"$dir/session.tmp"
mv "$dir/session.tmp" "$dir/session.env"
ANNOUNCE
chmod 0755 "$dir/announce.sh"

cat >"$dir/config" <<CONFIG
xwayland $xwayland
output * resolution 1280x720
default_border none
focus_follows_mouse no
exec $dir/announce.sh
CONFIG
if [ -n "$extra" ]; then
    cat "$extra" >>"$dir/config"
fi
chown -R "$uid:$gid" "$dir"

run=()
if [ "$(id -u)" -eq 0 ]; then
    run=(setpriv --reuid="$uid" --regid="$gid" --init-groups --)
fi
# setsid: the session is not part of the caller's process group, so a
# terminal's Ctrl+C does not reach it; it is stopped by its pid.
setsid "${run[@]}" env -i \
    PATH=/usr/local/bin:/usr/bin:/bin \
    HOME="$dir/home" \
    USER="$user" \
    XDG_RUNTIME_DIR="$dir/runtime" \
    WLR_BACKENDS=headless \
    WLR_HEADLESS_OUTPUTS=1 \
    WLR_LIBINPUT_NO_DEVICES=1 \
    WLR_RENDERER=pixman \
    sway ${SCNFERRY_SWAY_DEBUG:+--debug} --config "$dir/config" </dev/null >"$dir/sway.log" 2>&1 &
pid=$!
echo "$pid" >"$dir/sway.pid"

deadline=$((SECONDS + timeout))
until [ -s "$dir/session.env" ]; do
    if ! kill -0 "$pid" 2>/dev/null || [ $SECONDS -ge $deadline ]; then
        echo "start-sway.sh: sway did not start; its log:" >&2
        tail -n 30 "$dir/sway.log" >&2 || true
        kill "$pid" 2>/dev/null || true
        exit 1
    fi
    sleep 0.05
done

# shellcheck disable=SC1091
. "$dir/session.env"
case "$WAYLAND_DISPLAY" in
/*) ;;
*) WAYLAND_DISPLAY="$dir/runtime/$WAYLAND_DISPLAY" ;;
esac
until [ -S "$WAYLAND_DISPLAY" ]; do
    if [ $SECONDS -ge $deadline ]; then
        echo "start-sway.sh: no Wayland socket at $WAYLAND_DISPLAY" >&2
        kill "$pid" 2>/dev/null || true
        exit 1
    fi
    sleep 0.05
done
if [ -n "${DISPLAY:-}" ]; then
    xsocket="/tmp/.X11-unix/X${DISPLAY#:}"
    until [ -S "$xsocket" ]; do
        if [ $SECONDS -ge $deadline ]; then
            echo "start-sway.sh: no XWayland socket at $xsocket" >&2
            kill "$pid" 2>/dev/null || true
            exit 1
        fi
        sleep 0.05
    done
fi

printf 'export SWAY_PID=%q\n' "$pid"
printf 'export SWAY_USER=%q\n' "$user"
printf 'export SWAY_DIR=%q\n' "$dir"
printf 'export XDG_RUNTIME_DIR=%q\n' "$dir/runtime"
printf 'export WAYLAND_DISPLAY=%q\n' "$WAYLAND_DISPLAY"
printf 'export DISPLAY=%q\n' "${DISPLAY:-}"
