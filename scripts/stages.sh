# SPDX-License-Identifier: Apache-2.0
# Sourced by scripts/test.sh: runs the test command's stages and keeps which failed, so
# that its end names them. `stage NAME COMMAND...` runs COMMAND as the stage NAME and
# returns its status; `stages_end` prints "test stages failed: NAME, NAME" when any did,
# then, as the very last line, "N passed, N failed" (counting stages), and returns 1 when
# any failed.
stages_passed=0
stages_failed=()

stage() {
    local name=$1
    shift
    "$@"
    local status=$?
    if [ "$status" -eq 0 ]; then
        stages_passed=$((stages_passed + 1))
    else
        stages_failed+=("$name")
    fi
    return "$status"
}

# Records the stage NAME as failed without running anything (a step it needed failed).
stage_failed() {
    stages_failed+=("$1")
}

stages_end() {
    local count=${#stages_failed[@]}
    if [ "$count" -gt 0 ]; then
        local joined
        joined=$(printf ', %s' "${stages_failed[@]}")
        echo "test stages failed: ${joined#, }"
    fi
    echo "$stages_passed passed, $count failed"
    [ "$count" -eq 0 ]
}
