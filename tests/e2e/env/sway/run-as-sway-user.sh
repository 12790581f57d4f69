#!/bin/bash
# SPDX-License-Identifier: MIT
#
# Runs a command as the user of the session that start-sway.sh printed (its
# exports must be in the environment), with that session's environment plus
# QT_QPA_PLATFORM, SCNFERRY_* and the sanitizer options when set.
# Usage: run-as-sway-user.sh COMMAND [ARGS...]
set -euo pipefail
: "${SWAY_USER:?run start-sway.sh first and eval its output}"

env=(
    PATH=/usr/local/bin:/usr/bin:/bin
    HOME="$SWAY_DIR/home"
    USER="$SWAY_USER"
    XDG_RUNTIME_DIR="$XDG_RUNTIME_DIR"
    WAYLAND_DISPLAY="$WAYLAND_DISPLAY"
    DISPLAY="$DISPLAY"
    LANG=C.UTF-8
)
if [ -n "${QT_QPA_PLATFORM:-}" ]; then
    env+=(QT_QPA_PLATFORM="$QT_QPA_PLATFORM")
fi
# The program's own settings (SCNFERRY_KEYBOARD ...) and sanitizer options.
while IFS='=' read -r name value; do
    env+=("$name=$value")
done < <(env | grep -E '^(SCNFERRY_[A-Z_]*|ASAN_OPTIONS|UBSAN_OPTIONS)=' || true)
if [ "$(id -u)" -eq 0 ] && [ "$SWAY_USER" != root ]; then
    exec setpriv --reuid="$(id -u "$SWAY_USER")" --regid="$(id -g "$SWAY_USER")" --init-groups -- env -i "${env[@]}" "$@"
fi
exec env -i "${env[@]}" "$@"
