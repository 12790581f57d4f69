#!/bin/bash
# SPDX-License-Identifier: MIT
#
# Builds the serial byte decoder's benchmark for release in build-bench/ and
# prints its throughput on 1 MiB of mixed scans (median of the runs).
#
# Usage: bench/decoder_bench.sh [runs]
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build="$root/build-bench"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DSCNFERRY_WERROR=ON >/dev/null
cmake --build "$build" -j2 --target scnferry_decoder_bench >/dev/null
exec "$build/bench/scnferry_decoder_bench" "$@"
