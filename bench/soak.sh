#!/bin/bash
# SPDX-License-Identifier: MIT
#
# Builds ScnFerry for release in build-bench/ (as bench/run.sh does) and runs
# the soak: 100,000 mixed scans into a receiving window under Xvfb + openbox,
# and under headless sway with a native Wayland and an XWayland receiver.
# Writes the table to bench/SOAK.md and docs/BENCHMARKS.md.
#
# Usage: bench/soak.sh [options of bench/soak.py, e.g. --scans 2000 --only x11]
# Needs root for the sway part (its session runs as an unprivileged user).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build="$root/build-bench"

shown="bench/soak.sh${*:+ $*}"
revision=$(git -C "$root" describe --always --dirty 2>/dev/null || echo "an unversioned tree")
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DSCNFERRY_WERROR=ON >/dev/null
cmake --build "$build" -j2 --target ScnFerry scnferry_receiver >/dev/null

# The scoring decides what counts as a lost scan: check it first.
(cd "$here" && python3 -m unittest -q test_soak test_fuzz_bench)

cd "$here"
exec python3 soak.py \
    --app "$build/ScnFerry" \
    --receiver "$build/tests/tools/scnferry_receiver" \
    --json "$build/soak-results.json" \
    --command "$shown" --revision "$revision" "$@"
