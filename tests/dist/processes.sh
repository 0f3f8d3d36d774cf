# SPDX-License-Identifier: Apache-2.0
# Sourced by the shell tests: a temporary folder ($tmp) and the processes started, both
# removed at exit, also on failure; a private registry; programs waited for until ready.
tmp=$(mktemp -d "${TMPDIR:-/tmp}/zorlek-test.XXXXXX")
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
    rm -rf "$tmp"
}
trap cleanup EXIT

# Starts BIN_DIR/zorlek-registry on a socket in $tmp, for this shell and its children, and
# waits (up to 10 s) for the socket.
start_registry() {
    export ZORLEK_REGISTRY=$tmp/registry.sock
    unset ZORLEK_CALL_TIMEOUT_MS
    "$1/zorlek-registry" 2>"$tmp/registry.log" &
    pids+=($!)
    for _ in $(seq 200); do [ -S "$ZORLEK_REGISTRY" ] && break; sleep 0.05; done
}

# Starts PROGRAM [ARG...] in the background and waits up to 10 s for its "ready" line; the
# test fails when it does not come.
start_ready() {
    rm -f "$tmp/ready"
    mkfifo "$tmp/ready"
    "$@" >"$tmp/ready" &
    pids+=($!)
    local line=
    read -r -t 10 line <"$tmp/ready"
    [ "$line" = ready ] || { echo "FAIL: $* did not get ready"; exit 1; }
}
