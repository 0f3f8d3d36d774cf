# SPDX-License-Identifier: Apache-2.0
# Sourced by scripts/systemd-check.sh inside its namespaces, and by its test.
# units_to_mask DIR...: prints, one a line, the names of the units in the DIRs that the
# booted systemd must not start: every unit of the host but the targets, slices and
# folders of drop-ins and wants, the journal's (which the check reads), and zorlek's own,
# which the packages under test bring (masking them would mask the packages' units).
units_to_mask() {
    local dir unit name
    for dir in "$@"; do
        for unit in "$dir"/*; do
            [ -e "$unit" ] || continue
            name=${unit##*/}
            case $name in
            *.target | *.slice | *.wants | *.requires | *.d) continue ;;
            systemd-journald.service | systemd-journald.socket | systemd-journald-dev-log.socket) continue ;;
            zorlek-* | zorlek.* | zorlek@*) continue ;;
            esac
            printf '%s\n' "$name"
        done
    done
}
