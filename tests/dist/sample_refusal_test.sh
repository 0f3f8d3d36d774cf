#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The README's sample service, refused its name by the registry's policy, says why as the
# registry said it. As root, running the sample as user 65534 against a private registry
# whose policy folder grants nothing; exits 77 elsewhere. Usage: sample_refusal_test.sh BIN_DIR
set -u
bin=$1
[ "$(id -u)" -eq 0 ] || { echo "skipped: needs root to run the sample as another user"; exit 77; }
command -v setpriv >/dev/null || { echo "skipped: no setpriv"; exit 77; }
. "$(dirname "$0")/processes.sh"
chmod 755 "$tmp"
mkdir "$tmp/policy"
export ZORLEK_REGISTRY=$tmp/registry.sock
"$bin/zorlek-registry" --policy-dir "$tmp/policy" 2>"$tmp/registry.log" &
pids+=($!)
for _ in $(seq 200); do [ -S "$ZORLEK_REGISTRY" ] && break; sleep 0.05; done
got=$(timeout 20 setpriv --reuid=65534 --regid=65534 --clear-groups \
    "$bin/../samples/zorlek-sample-adder" 2>&1)
status=$?
expected="adder: this user may not hold the name: no policy line grants it"
if [ "$got" != "$expected" ] || [ "$status" -ne 1 ]; then
    printf 'FAIL the sample says why it was refused\n  expected: %s (1)\n  got:      %s (%s)\n' \
        "$expected" "$got" "$status"
    exit 1
fi
echo "the sample says why it was refused"
