#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The commands `zorlek help` lists are the ones the manual page's synopsis and the bash
# completion offer, so that a command added to the table and forgotten elsewhere is seen.
# Usage: commands_listed_test.sh BIN_DIR SOURCE_DIR
set -u
bin=$1 src=$2
# The words of the help's "Commands:" section, sorted.
table=$(ZORLEK_REGISTRY=/nonexistent "$bin/zorlek" help |
    sed -n '/^Commands:$/,/^[^ ]/{/^   [a-z]/{s/^   \([^ ]*\).*/\1/;p}}' | LC_ALL=C sort)
# The words after "zorlek" in the synopsis's ".B zorlek WORD" lines.
manual=$(sed -n '/^\.SH SYNOPSIS/,/^\.SH /{s/^\.B zorlek \([a-z][a-z]*\)$/\1/p;s/^\.B zorlek \([a-z][a-z]*\) .*/\1/p}' \
    "$src/docs/zorlek.1" | LC_ALL=C sort -u)
# What the completion offers for an empty command word.
. "$src/dist/zorlek.bash-completion"
COMP_WORDS=(zorlek '')
COMP_CWORD=1
COMPREPLY=()
_zorlek "$bin/zorlek"
completion=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort)

failures=0
[ -n "$table" ] || { echo "FAIL zorlek help lists no commands"; failures=1; }
for what in manual completion; do
    if [ "${!what}" != "$table" ]; then
        echo "FAIL the $what lists other commands than zorlek help"
        echo "  help:  ${table//$'\n'/ }"
        echo "  $what: ${!what//$'\n'/ }"
        failures=1
    fi
done
[ $failures -eq 0 ] && echo "help, manual and completion list: ${table//$'\n'/ }"
exit $failures
