#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Drives the bash completion as bash does (COMP_WORDS, COMP_CWORD, then COMPREPLY) against
# a real registry and echo services on a private socket; every wait is bounded and all
# that was started is stopped at the end. Usage: completion_test.sh BIN_DIR COMPLETION_FILE
set -u
bin=$1
. "$2"
. "$(dirname "$0")/processes.sh"
start_registry "$bin"
# Shown as "c1\x85x" by list, which is not its name; "back\x41slash" is its own name.
start_ready "$bin/zorlek-echo" greeter hello 'with space' $'c1\xc2\x85x' 'back\x41slash' 'odd: [name'
# Names with the characters bash splits words at, and one outside ASCII.
start_ready "$bin/zorlek-echo" a=b 'weird:[x]' k:=v café
start_ready "$bin/zorlek-echo" --descriptor 'x: [y' plain
# Services that describe their interfaces: the README's sample and the test service.
start_ready "$bin/../samples/zorlek-sample-adder"
start_ready "$bin/../tests/zorlek-every-type" every

failures=0
# expect WHAT EXPECTED WORD... : completes the last WORD; EXPECTED is the sorted replies,
# one a line.
expect() {
    local what=$1 expected=$2
    shift 2
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMPREPLY=()
    _zorlek "$bin/zorlek"
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | sed '/^$/d')
    if [ "$got" != "$expected" ]; then
        printf 'FAIL %s\n  expected: %s\n  got:      %s\n' "$what" "${expected//$'\n'/ }" \
            "${got//$'\n'/ }"
        failures=$((failures + 1))
    fi
}
names=$'a=b\nback\\\\x41slash\ncafé\nevery\ngreeter\nhello\nk:=v\nodd:\\ \\[name\nplain\nsample.adder\nweird:\\[x\\]\nwith\\ space'
keys=$'action=\ncategories=\ncomponent=\ndata=\nlaunchFlags=\ntype='
expect "command words" $'call\ncapture\ncheck\ndescribe\nhelp\ninvoke\nlist\nmonitor\nstatus\nversion\nwait' zorlek ''
expect "live names for monitor" "$names" zorlek monitor --json --count 3 ''
expect "more names for capture" "$names" zorlek capture --wait greeter ''
expect "the options of monitor" $'--count\n--json\n--payload\n--snaplen\n--timeout\n--wait' zorlek monitor --
expect "the options of capture" $'--count\n--snaplen\n--timeout\n--wait' zorlek capture --
expect "the count of monitor" '' zorlek monitor --count ''
expect "the bytes of capture" '' zorlek capture --snaplen ''
expect "live names for wait" "$names" zorlek wait ''
expect "more names for wait" "$names" zorlek wait --gone greeter ''
expect "the options of wait" $'--gone\n--timeout' zorlek wait --
expect "the seconds of wait" '' zorlek wait --timeout ''
expect "live names for status" "$names" zorlek status ''
expect "live names for status --json" "$names" zorlek status --json ''
expect "the option of status" '--json' zorlek status --
expect "nothing after the name of status" '' zorlek status greeter ''
expect "command word prefix" $'call\ncapture\ncheck' zorlek c
expect "after an option" $'list' zorlek -h l
expect "live names for check" "$names" zorlek check ''
expect "live names for call" "$names" zorlek call ''
expect "name prefix" 'greeter' zorlek check gr
expect "quoted prefix" 'with\ space' zorlek call 'with\ '
# bash splits 'a=' into a and =, and readline then replaces only what follows the '='.
expect "after '=' in a name" 'b' zorlek check a =
expect "after ':' in a name" '\[x\]' zorlek check weird :
expect "after ':' and a space in a name" '\ \[name' zorlek check odd :
expect "after a run of '=' and ':'" 'v' zorlek call k :=
expect "a name typed whole after '='" 'b' zorlek check a = b
expect "outside ASCII" 'café' zorlek check caf
LC_ALL=C expect "outside ASCII, C locale" 'café' zorlek check caf
LC_ALL=C.UTF-8 expect "outside ASCII, UTF-8 locale" 'café' zorlek check caf
expect "nothing after check's name" '' zorlek check greeter ''
expect "nothing for list" '' zorlek list ''
expect "nothing for CODE" '' zorlek call greeter ''
expect "argument keywords" $'i32\nintent\nnull\ns16' zorlek call greeter 1 ''
expect "keywords after values" $'i32\nintent\nnull\ns16' zorlek call greeter 1 i32 5 s16 x null ''
expect "keyword prefix" $'i32\nintent' zorlek call greeter 1 i
expect "a value follows i32" '' zorlek call greeter 1 i32 ''
expect "'intent' as a value of s16" $'i32\nintent\nnull\ns16' zorlek call greeter 1 s16 intent ''
expect "intent keys" "$keys" zorlek call greeter 1 null intent ''
expect "intent key prefix" 'launchFlags=' zorlek call greeter 1 intent action=x l
expect "pieces bash split at '='" 'categories=' zorlek call greeter 1 intent action = x ca
expect "no key inside a value" '' zorlek call greeter 1 intent action=
expect "live names for describe" "$names" zorlek describe ''
expect "live names for invoke" "$names" zorlek invoke ''
expect "names after invoke's options" "$names" zorlek invoke --raw --interface x.zi ''
expect "invoke's options" $'--\n--interface\n--raw' zorlek invoke -
expect "describe's options" $'--\n--interface' zorlek describe -
expect "nothing after describe's name" '' zorlek describe every ''
expect "methods of a live service" 'add' zorlek invoke sample.adder ''
expect "method prefix" $'echoBool\nechoBytes\nechoEverything\nechoI32\nechoI64\nechoNullable\nechoS16' \
    zorlek invoke --raw every echo
expect "argument names" $'a=\nb=' zorlek invoke sample.adder add ''
expect "argument names not given yet" $'a=\nc=' zorlek invoke every reverse b = x ''
expect "argument name prefix" 'c=' zorlek invoke every reverse c
expect "nothing inside a value" '' zorlek invoke sample.adder add a=
expect "no arguments, no names" '' zorlek invoke every nothing ''
expect "methods of a file's interface" 'add' zorlek invoke --interface "$(dirname "$0")/../../services/sample/adder.zi" \
    sample.adder a
expect "a file that is not the service's" '' zorlek invoke --interface "$(dirname "$0")/../../services/sample/adder.zi" \
    every ''
expect "no methods of a service that describes none" '' zorlek invoke greeter ''
ZORLEK_REGISTRY=$tmp/none expect "no registry, no names" '' zorlek check ''

# Completing a name asks the registry for names only: a service that never answers is
# offered all the same, and the tool runs no command that queries services. The tool is
# run through a shim that notes each command line.
start_ready "$bin/zorlek-echo" --hang hung
printf '#!/bin/sh\necho "$1" >>"%s"\nexec "%s" "$@"\n' "$tmp/commands" "$bin/zorlek" >"$tmp/shim"
chmod +x "$tmp/shim"
COMP_WORDS=(zorlek check h)
COMP_CWORD=2
COMPREPLY=()
ZORLEK_CALL_TIMEOUT_MS=30000 _zorlek "$tmp/shim"
got=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | tr '\n' ' ')
# check only for the names list would show escaped (above), never list.
ran=$(LC_ALL=C sort -u "$tmp/commands" | tr '\n' ' ')
if [ "$got" != "hello hung " ] || [ "$ran" != "check names " ]; then
    echo "FAIL names only: expected hello hung, ran check names; got $got, ran $ran"
    failures=$((failures + 1))
fi
# The names printed are bounded in bytes, in whole lines: 300 names of 256 letters are
# more than the bound holds.
long=()
filler=$(printf 'n%.0s' $(seq 253))
for i in $(seq 100 399); do long+=("$i$filler"); done
start_ready "$bin/zorlek-echo" "${long[@]}"
printed=$("$bin/zorlek" names | wc -c)
cut=$("$bin/zorlek" names | awk '/^[0-9]+n+$/ && length($0) != 256 { bad++ } END { print bad + 0 }')
if [ "$printed" -gt 65536 ] || [ "$printed" -lt 60000 ] || [ "$cut" -ne 0 ]; then
    echo "FAIL names bounded: $printed bytes, $cut cut lines (expected 60000..65536, 0)"
    failures=$((failures + 1))
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures completion checks failed"
    exit 1
fi
echo "all completion checks passed"
