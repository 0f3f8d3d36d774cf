#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs every fuzz target (or the ones named) for SECONDS each, one after another, each over
# a copy of its seed corpus from fuzz/corpus/ in a temporary folder, then prints a table
# of executions, corpus size and findings. Exits non-zero on any finding and keeps the
# folder with the findings (named in the output); otherwise removes it.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]     (default 60 seconds, all targets)
#
# Builds the fuzz build in build-fuzz/ with clang first, unless ZORLEK_FUZZ_BIN names a
# folder of fuzz programs already built (the test suite's short runs do that).
set -uo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift $(($# > 0 ? 1 : 0))
case $seconds in '' | *[!0-9]*) echo "usage: $0 [SECONDS_PER_TARGET] [TARGET...]" >&2; exit 2 ;; esac

bin=${ZORLEK_FUZZ_BIN:-}
if [ -z "$bin" ]; then
    . "$source_dir/scripts/prerequisites.sh"
    zorlek_require_packages "${ZORLEK_BUILD_PACKAGES[@]}" clang libclang-rt-dev || exit 1
    build=$source_dir/build-fuzz
    CC=clang CXX=clang++ cmake -S "$source_dir" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DZORLEK_SANITIZE=ON -DZORLEK_FUZZ=ON -DZORLEK_TESTS=OFF -DZORLEK_BENCH=OFF >/dev/null &&
        ninja -C "$build" >/dev/null || { echo "fuzz build failed" >&2; ninja -C "$build" | tail -40; exit 1; }
    bin=$build/fuzz
fi

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for program in "$bin"/*_fuzz; do [ -x "$program" ] && targets+=("$(basename "$program")"); done
fi
[ ${#targets[@]} -gt 0 ] || { echo "no fuzz programs in $bin" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/zorlek-fuzz.XXXXXX")
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
found=0
printf '%-16s %8s %12s %8s %9s\n' target seconds executions corpus findings
for target in "${targets[@]}"; do
    dir=$work/$target
    mkdir -p "$dir/corpus" "$dir/findings"
    cp "$source_dir/fuzz/corpus/$target/"* "$dir/corpus/" 2>/dev/null
    dict=()
    [ -f "$source_dir/fuzz/$target.dict" ] && dict=(-dict="$source_dir/fuzz/$target.dict")
    # Slow inputs (call's requests near the parcel limit take a hundred times longer than
    # the rest) are picked less often, so they do not eat a target's time.
    "$bin/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 "${dict[@]}" \
        -entropic_scale_per_exec_time=1 -artifact_prefix="$dir/findings/" "$dir/corpus" \
        >"$dir/log" 2>&1
    rc=$?
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log")
    findings=$(find "$dir/findings" -type f | wc -l)
    # A run that failed without leaving an input (it could not start) counts too.
    [ "$rc" -ne 0 ] && [ "$findings" -eq 0 ] && findings=1
    printf '%-16s %8s %12s %8s %9s\n' "$target" "$seconds" "${executions:-?}" \
        "$(find "$dir/corpus" -type f | wc -l)" "$findings"
    if [ "$findings" -ne 0 ]; then
        found=1
        # The report from its first line: a failed check, a sanitizer or libFuzzer error.
        first=$(grep -n -m1 -E "fuzz check failed|ERROR|runtime error|deadly signal" "$dir/log" | cut -d: -f1)
        sed -n "${first:-1},+29p" "$dir/log" | sed "s/^/  $target: /" >&2
        for input in "$dir/findings"/*; do
            [ -f "$input" ] && echo "  reproduce: $bin/$target $input" >&2
        done
    fi
done
if [ $found -ne 0 ]; then
    echo "findings kept in $work" >&2
    exit 1
fi
rm -rf "$work"
