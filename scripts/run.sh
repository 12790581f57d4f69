#!/usr/bin/env bash
# Installs what is missing, builds, and starts ScnFerry with the given argument:
#   scripts/run.sh /dev/ttyACM0,9600,N,8,1
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSCNFERRY_TESTS=OFF >/dev/null
cmake --build "$top/build" -j"$(nproc)"
exec "$top/build/ScnFerry" "$@"
