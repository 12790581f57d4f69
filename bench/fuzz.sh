#!/bin/bash
# SPDX-License-Identifier: MIT
#
# Builds the libFuzzer targets with clang (ASan + UBSan) in build-fuzz/ and
# runs each of them a given number of times over its corpus in
# tests/fuzz/corpus/: the command-line reader, the keystroke planner and the
# byte decoder. Fails on any crash, trap or sanitizer report; writes the
# table to bench/FUZZING.md and docs/BENCHMARKS.md.
#
# Usage: bench/fuzz.sh [--runs N] [--max-seconds S] [--only NAME ...]
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build="$root/build-fuzz"

shown="bench/fuzz.sh${*:+ $*}"
revision=$(git -C "$root" describe --always --dirty 2>/dev/null || echo "an unversioned tree")
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target fuzz_command_line fuzz_keystrokes fuzz_decoder >/dev/null

(cd "$here" && python3 -m unittest -q test_fuzz_bench)
exec python3 "$here/fuzz_bench.py" --build "$build" --command "$shown" --revision "$revision" "$@"
