#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds everything and runs the whole test suite twice, with warnings as errors: once in
# build-asan/ with clang, AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer,
# then in build/ with g++ as shipped. In between it builds the Debian packages from a clean
# copy of the tree (scripts/package.sh, in build-deb/), checks them with lintian and
# tests/dist/package_test.sh, and boots them under a real systemd
# (scripts/systemd-check.sh) when the machine allows it, saying why when it does not.
# Exits non-zero when anything fails. The g++ pass's test summary comes last of the test
# runner's output; then, when a stage failed, a line that names each one, and as the very
# last line the count of stages, "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."
. scripts/prerequisites.sh
. scripts/stages.sh
stage "prerequisites" \
    zorlek_require_packages "${ZORLEK_BUILD_PACKAGES[@]}" "${ZORLEK_TEST_PACKAGES[@]}" ||
    { stages_end; exit 1; }

jobs=$(nproc 2>/dev/null || echo 2)

build_in() {  # build-dir, extra cmake arguments...
    local dir=$1
    shift
    echo "== building in $dir"
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZORLEK_TESTS=ON -DZORLEK_BENCH=ON \
        -DZORLEK_WERROR=ON "$@" >/dev/null &&
        ninja -C "$dir" >/dev/null || { echo "build in $dir failed" >&2; ninja -C "$dir" | tail -40; return 1; }
}

test_in() {  # build-dir
    echo "== testing in $1"
    (cd "$1" && ctest --output-on-failure -j "$jobs" --timeout 300)
}

run_suite() {  # build-dir, extra cmake arguments...
    if stage "build ($1)" build_in "$@"; then
        stage "tests ($1)" test_in "$1"
    else
        stage_failed "tests ($1)"
    fi
}

systemd_check() {
    ./scripts/systemd-check.sh build-deb
    case $? in 0 | 77) return 0 ;; *) return 1 ;; esac
}

# The sanitizer pass first, so that the run ends with the summary of the build as shipped.
# Each pass names its compiler, so that a folder configured earlier with another one is
# set up afresh rather than mixed. The sanitizer pass builds with clang, and with it the
# fuzz targets, each run for a few seconds.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite build-asan -DZORLEK_SANITIZE=ON -DZORLEK_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++

# The Debian packages, built as a packager would from a clean tree; their build runs only
# the unit tests (a few seconds), the suites here run everything else.
echo "== building the Debian packages (build-deb/)"
if stage "Debian packages" ./scripts/package.sh >/dev/null; then
    stage "package checks" bash tests/dist/package_test.sh build-deb .
    echo "== systemd check"
    stage "systemd check" systemd_check
else
    stage_failed "package checks"
    stage_failed "systemd check"
fi

run_suite build -DCMAKE_CXX_COMPILER=g++
stages_end
