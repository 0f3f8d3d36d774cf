#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The test command's own logic, in isolation: the end that names each stage that failed
# (scripts/stages.sh), and the units the systemd check masks (scripts/systemd-units.sh),
# which must never be zorlek's own. Usage: test_command_test.sh SOURCE_DIR
set -u
src=$1
tmp=$(mktemp -d "${TMPDIR:-/tmp}/zorlek-test.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
failures=0
expect() {  # WHAT EXPECTED GOT
    if [ "$2" != "$3" ]; then
        printf 'FAIL %s\n  expected: %s\n  got:      %s\n' "$1" "${2//$'\n'/|}" "${3//$'\n'/|}"
        failures=$((failures + 1))
    fi
}

# Each run in a shell of its own, as the test command is: its output's last lines and its
# status.
ends() {
    bash -c ". '$src/scripts/stages.sh'; $1; stages_end; echo \"status \$?\"" 2>&1 | tail -3
}
expect "all stages pass" $'ran\n2 passed, 0 failed\nstatus 0' \
    "$(ends 'stage one true; stage two echo ran')"
expect "failed stages are named in order, whatever ran after them" \
    $'test stages failed: build (build-asan), systemd check\n2 passed, 2 failed\nstatus 1' \
    "$(ends 'stage "build (build-asan)" false; stage ok true; stage "systemd check" sh -c "exit 3"
        stage "tests (build)" true')"
expect "a stage not run for want of another counts as failed" \
    $'test stages failed: Debian packages, package checks\n0 passed, 2 failed\nstatus 1' \
    "$(ends 'stage "Debian packages" false || stage_failed "package checks"')"
expect "a stage returns its command's status" "status 3" \
    "$(bash -c ". '$src/scripts/stages.sh'; stage x sh -c 'exit 3'; echo status \$?")"
expect "the test runner's output stays above the end" $'100% tests passed\n0 passed, 1 failed' \
    "$(bash -c ". '$src/scripts/stages.sh'; stage x sh -c 'echo 100% tests passed; exit 1'
        stages_end" | sed -n '1p;$p')"

# The units of a host with zorlek's packages installed.
units=$tmp/lib/systemd/system etc=$tmp/etc/systemd/system
mkdir -p "$units/multi-user.target.wants" "$units/a.service.d" "$etc/sockets.target.wants"
for unit in a.service b.socket cron.service multi-user.target user.slice \
    systemd-journald.service systemd-journald.socket zorlek-registry.service \
    zorlek-registry.socket zorlek-echo.service; do
    : >"$units/$unit"
done
ln -s "$units/zorlek-registry.socket" "$etc/sockets.target.wants/zorlek-registry.socket"
ln -s /dev/null "$etc/masked.service"
ln -s "$tmp/none" "$etc/dangling.service"
. "$src/scripts/systemd-units.sh"
expect "the host's units are masked, zorlek's and the journal's are not" \
    $'a.service\nb.socket\ncron.service\nmasked.service' \
    "$(units_to_mask "$units" "$etc" | LC_ALL=C sort)"

[ "$failures" -eq 0 ] && echo "all test command checks passed"
exit $((failures != 0))
