#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# What an installed copy of the build folder BUILD (sources in SOURCE) gives a system and
# a developer; one check per run:
#   units PREFIX          installed for PREFIX, everything lands inside PREFIX, the units
#                         name the programs there and pass systemd-analyze verify
#   sample pkg-config     the README's sample service builds out of tree against the
#   sample find-package   installed library, either way, and serves a real registry
# (The Debian package is built and checked by scripts/package-check.sh.)
# Usage: install_test.sh BUILD SOURCE CHECK [ARG]. Exits 77 (skipped) only when a tool
# the check needs is missing. Every wait is bounded; all that was started is stopped.
set -u
build=$1 source=$2 check=$3 arg=${4:-}
. "$(dirname "$0")/processes.sh"
fail() {
    echo "FAIL: $*"
    exit 1
}
need() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
    done
}

# The build installed under ROOT (as DESTDIR) for PREFIX.
install_to() {
    DESTDIR=$1 cmake --install "$build" --prefix "$2" >"$tmp/install.log" 2>&1 ||
        { cat "$tmp/install.log"; fail "cmake --install --prefix $2"; }
}

# The units under ROOT, installed for PREFIX, checked as systemd would load them there,
# with the host's own units beside them for the targets they name.
verify_units() {
    local root=$1 prefix=$2
    local units=$root$prefix/lib/systemd/system
    grep -qx "ExecStart=$prefix/sbin/zorlek-registry" "$units/zorlek-registry.service" ||
        fail "the registry's unit does not start $prefix/sbin/zorlek-registry"
    grep -qx "ExecStart=$prefix/bin/zorlek-echo zorlek.echo" "$units/zorlek-echo.service" ||
        fail "the echo unit does not start $prefix/bin/zorlek-echo"
    # The host's units for the targets they name, and kill for the reload.
    mkdir -p "$root/lib/systemd/system" "$root/bin"
    cp -a /lib/systemd/system/. "$root/lib/systemd/system/"
    rm -f "$root"/lib/systemd/system/zorlek*
    cp /bin/kill "$root/bin/"
    MANPATH=$root$prefix/share/man systemd-analyze verify --root="$root" \
        zorlek-registry.service zorlek-registry.socket zorlek-echo.service ||
        fail "systemd-analyze verify ($prefix)"
}

case $check in
units)
    need systemd-analyze
    install_to "$tmp/root" "$arg"
    # Nothing outside the prefix: not the completion, not the rules.
    outside=$(cd "$tmp/root" && find . -type f | sed 's#^\.##' | grep -v "^$arg/")
    [ -z "$outside" ] || fail "installed outside $arg: $outside"
    for file in share/bash-completion/completions/zorlek lib/tmpfiles.d/zorlek.conf \
        lib/sysusers.d/zorlek.conf share/zorlek/registry.d/zorlek-echo.conf; do
        [ -f "$tmp/root$arg/$file" ] || fail "no $arg/$file"
    done
    verify_units "$tmp/root" "$arg"
    ;;
sample)
    install_to "" "$tmp/prefix"
    cxx=${CXX:-c++}
    if [ "$arg" = pkg-config ]; then
        need pkg-config
        pc=$(find "$tmp/prefix" -name zorlek.pc)
        # Every path from ${prefix}, the prefix installed to; no standard forced on the user.
        grep -qx "prefix=$tmp/prefix" "$pc" || fail "zorlek.pc: $(grep prefix= "$pc")"
        ! grep -E '\.\./|-std=' "$pc" || fail "zorlek.pc has a relative path or forces a standard"
        flags=$(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags --libs zorlek) ||
            fail "pkg-config does not find zorlek"
        flags=${flags% }
        [ "$flags" = "-I$tmp/prefix/include/zorlek -L$tmp/prefix/lib -lzorlek_ipc -lzorlek_text" ] ||
            fail "pkg-config gives $flags"
        # As the README says: the headers need C++20, which the user asks for.
        # shellcheck disable=SC2086
        "$cxx" -std=c++20 -o "$tmp/adder" "$source/services/sample/adder.cpp" $flags ||
            fail "$cxx -std=c++20 $flags"
    else
        cmake -S "$(dirname "$0")/sample_project" -B "$tmp/sample" -DCMAKE_CXX_COMPILER="$cxx" \
            -DCMAKE_PREFIX_PATH="$tmp/prefix" -DZORLEK_SAMPLE_SOURCE="$source/services/sample/adder.cpp" \
            >"$tmp/sample.log" 2>&1 && cmake --build "$tmp/sample" >>"$tmp/sample.log" 2>&1 ||
            { cat "$tmp/sample.log"; fail "find_package build"; }
        cp "$tmp/sample/adder" "$tmp/adder"
    fi
    start_registry "$build/bin"
    start_ready "$tmp/adder"
    expected=$'Result: Parcel(4 bytes)\n  00000000: 0000002a                             *...'
    got=$("$build/bin/zorlek" call sample.adder 1 i32 2 i32 40)
    [ "$got" = "$expected" ] || fail "the sample answered: $got"
    ;;
*)
    fail "unknown check $check"
    ;;
esac
echo "passed: $check $arg"
