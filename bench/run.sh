#!/bin/bash
# SPDX-License-Identifier: MIT
#
# Builds ScnFerry for release in build-bench/, runs every benchmark (start-up,
# typing under Xvfb + openbox and under headless sway, idle), prints the
# tables and writes docs/BENCHMARKS.md.
#
# Usage: bench/run.sh [--quick] [options of bench/scnferry_bench.py]
#   --quick   fewer runs, for trying the harness out (figures not for quoting)
# Needs root for the sway part (its session runs as an unprivileged user).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build="$root/build-bench"

shown="bench/run.sh${*:+ $*}"
extra=()
doc="$root/docs/BENCHMARKS.md"
if [ "${1:-}" = "--quick" ]; then
    shift
    extra=(--startup-runs 5 --scans 10 --reps 1 --idle-seconds 5)
    doc="$build/BENCHMARKS-quick.md"
fi

# What is built: the commit, "-dirty" when the tree has changes beyond it.
revision=$(git -C "$root" describe --always --dirty 2>/dev/null || echo "an unversioned tree")
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DSCNFERRY_WERROR=ON >/dev/null
cmake --build "$build" -j2 --target ScnFerry scnferry_receiver scnferry_window_watch >/dev/null

# The scoring and the clock decide what counts as a lost key: check them first.
(cd "$here" && python3 -m unittest -q test_payloads test_harness)

cd "$here"
exec python3 scnferry_bench.py \
    --app "$build/ScnFerry" \
    --receiver "$build/tests/tools/scnferry_receiver" \
    --window-watch "$build/bench/scnferry_window_watch" \
    --doc "$doc" --json "$build/bench-results.json" \
    --command "$shown" --revision "$revision" \
    "${extra[@]}" "$@"
