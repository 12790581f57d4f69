#!/bin/bash
# SPDX-License-Identifier: MIT
#
# Stops a session started by start-sway.sh, by its pid, and removes its
# directory. Usage: stop-sway.sh SWAY_PID [SWAY_DIR]
set -uo pipefail

pid=${1:?usage: stop-sway.sh SWAY_PID [SWAY_DIR]}
dir=${2:-}

# start-sway.sh made sway the leader of its own process group; XWayland and
# its helpers stay in that group and do not always follow sway out, so the
# whole group goes.
alive() { kill -0 -- "-$pid" 2>/dev/null; }
if kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid"
    deadline=$((SECONDS + 10))
    while kill -0 "$pid" 2>/dev/null && [ $SECONDS -lt $deadline ]; do
        sleep 0.05
    done
fi
if alive; then
    kill -TERM -- "-$pid" 2>/dev/null
    deadline=$((SECONDS + 3))
    while alive && [ $SECONDS -lt $deadline ]; do
        sleep 0.05
    done
    alive && kill -KILL -- "-$pid" 2>/dev/null
fi

# Only ever a directory this kit made.
case "$dir" in
/tmp/scnferry-sway.*) rm -rf -- "$dir" ;;
"") ;;
*) echo "stop-sway.sh: not removing $dir" >&2 ;;
esac
exit 0
