#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Checks the Debian packages that scripts/package.sh built in DEB_DIR, from the sources in
# SOURCE: lintian --pedantic has no error or warning and every informational tag left is
# named in debian/README.source; the three packages hold what they should, in multiarch
# paths; the programs are dynamic, position-independent and bound at load; the units
# verify and the registry's exposure is at most 2.0; and the README's sample service
# builds against the unpacked libzorlek-dev with its zorlek-idl and pkg-config and serves
# the unpacked registry, called by the unpacked tool by code and by method name.
# Usage: package_test.sh DEB_DIR SOURCE
set -u
debs=$1 source=$2
. "$(dirname "$0")/processes.sh"
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

changes=$(echo "$debs"/zorlek_*.changes)
[ -f "$changes" ] || { echo "FAIL: no zorlek_*.changes in $debs"; exit 1; }
echo "== lintian --pedantic $(basename "$changes")"
lintian --pedantic -EviIL +pedantic --tag-display-limit 0 "$changes" >"$tmp/lintian" 2>&1
grep -v '^N:' "$tmp/lintian" | grep -v 'running with root privileges' | sed 's/^/  /'
grep -E '^(E|W):' "$tmp/lintian" >/dev/null && fail "lintian reports errors or warnings"
for tag in $(sed -n 's/^I: [^ ]*: \([^ ]*\).*/\1/p' "$tmp/lintian" | sort -u); do
    grep -q "^I: $tag" "$source/debian/README.source" || fail "I: $tag is not named in debian/README.source"
done

multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
declare -A holds=(
    [zorlek]="usr/bin/zorlek usr/share/man/man1/zorlek.1.gz usr/share/bash-completion/completions/zorlek
        usr/share/zorlek/wireshark/zorlek.lua usr/share/doc/zorlek/copyright"
    [zorlek-registry]="usr/sbin/zorlek-registry usr/bin/zorlek-echo lib/systemd/system/zorlek-registry.service
        lib/systemd/system/zorlek-registry.socket lib/systemd/system/zorlek-echo.service
        usr/lib/sysusers.d/zorlek.conf usr/lib/tmpfiles.d/zorlek.conf
        usr/share/zorlek/registry.d/zorlek-echo.conf usr/share/man/man8/zorlek-registry.8.gz
        usr/share/man/man1/zorlek-echo.1.gz usr/bin/zorlek-sample-adder usr/bin/zorlek-sample-ticker
        usr/share/man/man1/zorlek-sample-adder.1.gz usr/share/man/man1/zorlek-sample-ticker.1.gz"
    [libzorlek-dev]="usr/include/zorlek/platform/ipc.h usr/include/zorlek/platform/hosting.h
        usr/lib/$multiarch/libzorlek_ipc.a usr/lib/$multiarch/libzorlek_text.a
        usr/lib/$multiarch/pkgconfig/zorlek.pc usr/lib/$multiarch/cmake/zorlek/zorlek-config.cmake
        usr/lib/$multiarch/cmake/zorlek/zorlek-interface.cmake usr/bin/zorlek-idl
        usr/share/man/man1/zorlek-idl.1.gz usr/share/doc/libzorlek-dev/examples/adder.zi
        usr/share/doc/libzorlek-dev/examples/ticker.zi"
)
root=$tmp/root
for package in zorlek zorlek-registry libzorlek-dev; do
    deb=$(echo "$debs/${package}_"*.deb)
    [ -f "$deb" ] || { fail "no $package package"; continue; }
    dpkg-deb -c "$deb" | awk '{ print $2, $6 }' >"$tmp/$package.contents"
    for path in ${holds[$package]}; do
        grep -qx "root/root ./$path" "$tmp/$package.contents" || fail "$package lacks /$path"
    done
    dpkg-deb -x "$deb" "$root"
done
grep -h ' \./usr/lib/[^/]*\.a$\| \./usr/lib/pkgconfig/' "$tmp"/*.contents && fail "a library outside multiarch"
dpkg-deb -f "$debs"/zorlek_*.deb Depends | grep -q libc6 || fail "zorlek does not depend on libc6"

for program in usr/bin/zorlek usr/bin/zorlek-echo usr/sbin/zorlek-registry usr/bin/zorlek-idl \
    usr/bin/zorlek-sample-adder usr/bin/zorlek-sample-ticker; do
    dynamic=$(readelf -d "$root/$program")
    readelf -h "$root/$program" | grep -q 'Type: *DYN' || fail "$program is not position-independent"
    grep -q 'NEEDED.*libc\.so' <<<"$dynamic" || fail "$program does not link libc dynamically"
    grep -q 'FLAGS_1.*NOW.*PIE' <<<"$dynamic" || fail "$program is not a PIE bound now"
    readelf -lW "$root/$program" | grep -q GNU_RELRO || fail "$program has no RELRO"
done
readelf -d "$root/usr/bin/zorlek" | grep -q 'NEEDED.*libstdc++' && fail "the tool loads libstdc++"

echo "== the units"
units=$root/lib/systemd/system
mkdir -p "$root/bin"
cp -an /lib/systemd/system/. "$units/"
cp /bin/kill "$root/bin/"
MANPATH=$root/usr/share/man systemd-analyze verify --root="$root" zorlek-registry.service zorlek-registry.socket \
    zorlek-echo.service || fail "systemd-analyze verify"
for unit in zorlek-registry.service zorlek-echo.service; do
    exposure=$(cd "$units" && systemd-analyze security --offline=true "./$unit" 2>&1 |
        sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
    echo "  $unit: exposure $exposure (offline)"
    awk -v e="${exposure:-99}" 'BEGIN { exit !(e <= 2.0) }' || fail "$unit exposure ${exposure:-?} > 2.0"
done

echo "== the README's sample against the unpacked packages"
pcdir=$root/usr/lib/$multiarch/pkgconfig
flags=$(PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_LIBDIR=$pcdir pkg-config --cflags --libs zorlek) ||
    fail "pkg-config does not find zorlek"
"$root/usr/bin/zorlek-idl" -o "$tmp/adder.zi.h" "$source/services/sample/adder.zi" ||
    fail "the packaged zorlek-idl does not generate the sample's header"
# shellcheck disable=SC2086
${CXX:-c++} -std=c++20 -I"$tmp" -o "$tmp/adder" "$source/services/sample/adder.cpp" $flags ||
    fail "the sample does not build with $flags"
export ZORLEK_REGISTRY=$tmp/registry.sock
"$root/usr/sbin/zorlek-registry" --policy-dir "$root/usr/share/zorlek/registry.d" 2>"$tmp/registry.log" &
pids+=($!)
for _ in $(seq 200); do [ -S "$ZORLEK_REGISTRY" ] && break; sleep 0.05; done
if [ -x "$tmp/adder" ]; then
    start_ready "$tmp/adder"
    got=$("$root/usr/bin/zorlek" call sample.adder 1 i32 2 i32 40)
    expected=$'Result: Parcel(4 bytes)\n  00000000: 0000002a                             *...'
    [ "$got" = "$expected" ] || fail "the sample answered: $got"
    got=$("$root/usr/bin/zorlek" invoke sample.adder add a=2 b=40)
    [ "$got" = '{"sum": 42}' ] || fail "the sample answered invoke: $got"
fi
grep -q 'unknown user' "$tmp/registry.log" && echo "  (the packaged policy names zorlek-echo, not made here)"

if [ "$failures" -ne 0 ]; then
    echo "package checks: $failures failed"
    exit 1
fi
echo "package checks passed"
