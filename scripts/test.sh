#!/usr/bin/env bash
# Builds everything and runs the whole test suite twice: once in build/ as shipped, once
# in build-asan/ with AddressSanitizer and UndefinedBehaviorSanitizer. Exits non-zero
# when anything fails; the last lines are the test runner's summary.
set -uo pipefail
cd "$(dirname "$0")/.."
. scripts/prerequisites.sh
zorlek_require_packages "${ZORLEK_BUILD_PACKAGES[@]}" "${ZORLEK_TEST_PACKAGES[@]}" || exit 1

jobs=$(nproc 2>/dev/null || echo 2)
status=0

run_suite() {  # build-dir, extra cmake arguments...
    local dir=$1
    shift
    echo "== building in $dir"
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZORLEK_TESTS=ON -DZORLEK_BENCH=ON "$@" >/dev/null &&
        ninja -C "$dir" >/dev/null || { echo "build in $dir failed" >&2; ninja -C "$dir" | tail -40; return 1; }
    echo "== testing in $dir"
    (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 300)
}

# The sanitizer pass first, so that the run ends with the summary of the build as shipped.
CC=clang CXX=clang++ ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite build-asan -DZORLEK_SANITIZE=ON -DZORLEK_FUZZ=ON || status=1
run_suite build || status=1
exit $status
