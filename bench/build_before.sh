#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Builds zorlek-echo as it was at COMMIT (by default the last one before calls could be
# watched), with the build type of BUILD_DIR, for the baseline of `perf_table monitor`:
#
#     eval "$(bench/build_before.sh)" && ./build/bench/perf_table monitor
#
# Usage: build_before.sh [COMMIT [BUILD_DIR]]; prints ZORLEK_BENCH_BEFORE_ECHO=PATH.
set -eu
commit=${1:-f8a9aec}
build=${2:-build}
top=$(cd "$(dirname "$0")/.." && pwd)
type=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$top/$build/CMakeCache.txt" 2>/dev/null || true)
out=$top/$build/before-$commit
mkdir -p "$out/src"
git -C "$top" archive "$commit" | tar -x -C "$out/src"
cmake -S "$out/src" -B "$out/build" -G Ninja -DCMAKE_BUILD_TYPE="${type:-RelWithDebInfo}" \
    -DZORLEK_TESTS=OFF >&2
cmake --build "$out/build" --target zorlek-echo >&2
echo "export ZORLEK_BENCH_BEFORE_ECHO=$out/build/bin/zorlek-echo"
