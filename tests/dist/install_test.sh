#!/usr/bin/env bash
# What an installed copy of the build folder BUILD (sources in SOURCE) gives a system and
# a developer; one check per run:
#   units PREFIX          installed for PREFIX, the units name the programs there and
#                         pass systemd-analyze verify
#   sample pkg-config     the README's sample service builds out of tree against the
#   sample find-package   installed library, either way, and serves a real registry
#   package               the Debian package holds the programs, manual pages, units,
#                         tmpfiles rule, completion and library, and its units verify
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
    local unit=$root$prefix/lib/systemd/system/zorlek-registry.service
    grep -qx "ExecStart=$prefix/sbin/zorlek-registry" "$unit" ||
        fail "$unit does not start $prefix/sbin/zorlek-registry: $(grep ExecStart "$unit")"
    mkdir -p "$root/lib/systemd/system"
    cp -a /lib/systemd/system/. "$root/lib/systemd/system/"
    rm -f "$root"/lib/systemd/system/zorlek*
    MANPATH=$root$prefix/share/man systemd-analyze verify --root="$root" \
        zorlek-registry.service zorlek-registry.socket || fail "systemd-analyze verify ($prefix)"
}

case $check in
units)
    need systemd-analyze
    install_to "$tmp/root" "$arg"
    verify_units "$tmp/root" "$arg"
    ;;
sample)
    install_to "" "$tmp/prefix"
    cxx=${CXX:-c++}
    if [ "$arg" = pkg-config ]; then
        need pkg-config
        flags=$(PKG_CONFIG_PATH=$(dirname "$(find "$tmp/prefix" -name zorlek.pc)") \
            pkg-config --cflags --libs zorlek) || fail "pkg-config does not find zorlek"
        # shellcheck disable=SC2086
        "$cxx" -o "$tmp/adder" "$source/services/sample/adder.cpp" $flags || fail "$cxx $flags"
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
package)
    need cpack dpkg-deb dpkg-shlibdeps systemd-analyze
    cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/package" >"$tmp/cpack.log" 2>&1 ||
        { cat "$tmp/cpack.log"; fail "cpack"; }
    deb=$(echo "$tmp"/package/zorlek_*.deb)
    [ -f "$deb" ] || fail "no zorlek_*.deb in $(ls "$tmp/package")"
    dpkg-deb -c "$deb" | awk '{ print $2, $6 }' >"$tmp/contents"
    for path in usr/bin/zorlek usr/bin/zorlek-echo usr/sbin/zorlek-registry \
        usr/share/man/man1/zorlek.1 usr/share/man/man1/zorlek-echo.1 \
        usr/share/man/man8/zorlek-registry.8 usr/lib/systemd/system/zorlek-registry.service \
        usr/lib/systemd/system/zorlek-registry.socket usr/lib/tmpfiles.d/zorlek.conf \
        usr/share/bash-completion/completions/zorlek usr/include/zorlek/platform/ipc.h \
        usr/include/zorlek/platform/text.h usr/lib/cmake/zorlek/zorlek-config.cmake; do
        grep -qx "root/root ./$path" "$tmp/contents" || fail "the package lacks /$path (or not root's)"
    done
    for pattern in 'lib.*/libzorlek_ipc\.a' 'lib.*/libzorlek_text\.a' 'lib.*/pkgconfig/zorlek\.pc'; do
        grep -q "^root/root \./usr/$pattern\$" "$tmp/contents" || fail "the package lacks $pattern"
    done
    ! grep -v '^root/root ' "$tmp/contents" || fail "files not owned by root"
    [ "$(dpkg-deb -f "$deb" Package)" = zorlek ] || fail "package name"
    dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "no dependency on libc6"
    dpkg-deb -x "$deb" "$tmp/root"
    verify_units "$tmp/root" /usr
    ;;
*)
    fail "unknown check $check"
    ;;
esac
echo "passed: $check $arg"
