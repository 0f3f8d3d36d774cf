#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# zorlek across PID namespaces, as root with unshare: a host in a PID namespace of its own
# serves calls from outside it (the kernel names such a caller with pid 0), calls back cross
# the boundary both ways, and status run in another PID namespace than the registry's reads
# nothing of /proc. Exits 77 where it cannot run (not root, no unshare, no PID namespaces).
# Usage: pid_namespace_test.sh BIN_DIR
set -u
bin=$1
[ "$(id -u)" -eq 0 ] || { echo "skipped: PID namespaces need root here"; exit 77; }
command -v unshare >/dev/null || { echo "skipped: no unshare"; exit 77; }
unshare --pid --fork --mount-proc true 2>/dev/null || { echo "skipped: no PID namespaces"; exit 77; }
. "$(dirname "$0")/processes.sh"
start_registry "$bin"
failures=0
expect() {  # WHAT EXPECTED GOT
    if [ "$2" != "$3" ]; then
        printf 'FAIL %s\n  expected: %s\n  got:      %s\n' "$1" "${2//$'\n'/|}" "${3//$'\n'/|}"
        failures=$((failures + 1))
    fi
}

# A host in a PID namespace of its own, called from outside it: served, and it is told the
# caller's pid is not known (the echo's reply carries no pid; the call's status says it was
# served, where it was refused with -EACCES).
start_ready unshare --pid --fork --mount-proc --kill-child "$bin/zorlek-echo" inside
# unshare leaves SIGTERM to its child, the echo, which is stopped by its own pid.
unshared=${pids[-1]}
pids+=($(cat "/proc/$unshared/task/$unshared/children"))
expect "a call into another PID namespace is served" \
    $'Result: Parcel(36 bytes)\n  00000000: 00000007 0000000c 006f007a 006c0072  ........z.o.r.l.\n  00000010: 006b0065 0049002e 00630045 006f0068  e.k...I.E.c.h.o.\n  00000020: 00000000                             ....\nstatus 0' \
    "$("$bin/zorlek" call inside 7 2>&1; echo "status $?")"
expect "list shows its interface" $'Found 1 services:\n0\tinside: [zorlek.IEcho]' \
    "$("$bin/zorlek" list 2>&1)"

# Calls back across the boundary, both ways. The ticker inside, the tool's object outside:
# the ticker's subscribers come from pid 0, and its ticks reach the tool.
ticker=$bin/../samples/zorlek-sample-ticker
tick='{"method": "tick", "args": {"n": '
start_ready unshare --pid --fork --mount-proc --kill-child "$ticker"
unshared=${pids[-1]}
pids+=($(cat "/proc/$unshared/task/$unshared/children"))
expect "ticks from a ticker in another PID namespace" \
    $'{"subscribers": 1}\n'"${tick}1}}"$'\n'"${tick}2}}"$'\nstatus 0' \
    "$(timeout 20 "$bin/zorlek" invoke --count 2 sample.ticker subscribe listener=@ period_ms=20 2>&1; echo "status $?")"
# The tool inside, the ticker outside: the calls back come into the tool from pid 0 and are
# served, one-way and two-way (its object answers the ping with its failure, not a refusal).
expect "ticks into another PID namespace" \
    $'{"subscribers": 1}\n'"${tick}1}}"$'\n'"${tick}2}}"$'\nstatus 0' \
    "$(timeout 20 unshare --pid --fork "$bin/zorlek" invoke --count 2 sample.ticker subscribe listener=@ period_ms=20 2>&1; echo "status $?")"
expect "a two-way call back into another PID namespace" \
    $'zorlek: Transaction failed with status -95 (Operation not supported)\nstatus 10' \
    "$(timeout 20 unshare --pid --fork "$bin/zorlek" invoke sample.ticker probe listener=@ n=7 2>&1; echo "status $?")"

# status run in another PID namespace than the registry's: the holder's pid is the
# registry's number, which may name any process here; nothing of /proc is shown.
got=$(unshare --pid --fork --mount-proc "$bin/zorlek" status inside 2>&1)
expect "status in another PID namespace says the process is not seen here" "PID: (not seen here)" \
    "$(sed -n 's/^PID: [0-9]* \(.*\)$/PID: \1/p' <<<"$got")"
expect "and shows no command line or unit" "" "$(grep -E '^(Command|Unit):' <<<"$got")"
got=$(unshare --pid --fork "$bin/zorlek" status --json inside 2>&1)
expect "also with the host's /proc" '"process": "elsewhere"' "$(grep -o '"process": "[a-z]*"' <<<"$got")"
# In the registry's own namespace the holder is seen: the echo, under its number here.
got=$("$bin/zorlek" status inside 2>&1)
expect "status in the registry's namespace shows the holder" "Command: $bin/zorlek-echo inside" \
    "$(grep '^Command: ' <<<"$got")"

[ "$failures" -eq 0 ] && echo "all PID namespace checks passed"
exit $((failures != 0))
