#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds zorlek, starts a private registry, two echo services and the sample adder in a
# temporary folder, shows list, check, call, status, wait, describe and invoke against
# them, and stops everything it started, also when interrupted.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/prerequisites.sh
zorlek_require_packages "${ZORLEK_BUILD_PACKAGES[@]}"

echo "== building (build/)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZORLEK_TESTS=OFF -DZORLEK_BENCH=OFF >/dev/null
ninja -C build zorlek zorlek-registry zorlek-echo zorlek-sample-adder >/dev/null
bin=$PWD/build/bin

tmp=$(mktemp -d "${TMPDIR:-/tmp}/zorlek-demo.XXXXXX")
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

export ZORLEK_REGISTRY=$tmp/registry.sock
"$bin/zorlek-registry" 2>"$tmp/registry.log" &
pids+=($!)
for _ in $(seq 100); do [ -S "$ZORLEK_REGISTRY" ] && break; sleep 0.05; done

# Starts a service (the program, then its arguments) and waits for its "ready" line.
start_ready() {
    local out=$tmp/service.$#.$RANDOM
    mkfifo "$out"
    "$@" >"$out" &
    pids+=($!)
    read -r -t 10 line <"$out" && [ "$line" = ready ] || { echo "$* did not start" >&2; exit 1; }
}
start_ready "$bin/zorlek-echo" --descriptor demo.IGreeter greeter hello
start_ready "$bin/zorlek-echo" --no-descriptor silent
start_ready "$PWD/build/samples/zorlek-sample-adder"

show() {
    echo
    echo "\$ zorlek $*"
    local status=0
    "$bin/zorlek" "$@" || status=$?
    echo "(exit status $status)"
}

show
show list
show check greeter
show check nobody
show call greeter 3 i32 7 s16 hi
show call hello 1 null i32 -5
show call greeter 9 intent action=demo.VIEW launchFlags=16 categories=a,b
show call greeter 1 i32 99999999999
show call nobody 1
show status greeter
show wait --timeout 1 greeter hello
show wait --timeout 0.2 nobody
show describe sample.adder
show invoke sample.adder add a=2 b=40
echo
echo "== registry log"
cat "$tmp/registry.log"
