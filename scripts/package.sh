#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian packages of zorlek (zorlek, zorlek-registry and libzorlek-dev) with
# "dpkg-buildpackage -us -uc -b" from a clean copy of the source tree in build-deb/: the
# files git knows (committed or not, never a build folder), or the whole tree when it is
# not a git checkout. Prints the paths of the .changes and .deb files; install them with
# "apt install ./build-deb/*.deb". Arguments go to dpkg-buildpackage; DEB_BUILD_OPTIONS
# is honoured (parallel=N by default the number of processors; nocheck skips the tests).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/prerequisites.sh
zorlek_require_packages "${ZORLEK_BUILD_PACKAGES[@]}" "${ZORLEK_PACKAGE_PACKAGES[@]}"

out=$PWD/build-deb
rm -rf "$out"
mkdir -p "$out/zorlek"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d '' file; do [ -e "$file" ] && printf '%s\0' "$file"; done |
        tar -c --null -T - -f - | tar -x -C "$out/zorlek"
else
    tar -c --exclude='./build' --exclude='./build-*' -f - . | tar -x -C "$out/zorlek"
fi
export DEB_BUILD_OPTIONS=${DEB_BUILD_OPTIONS:-parallel=$(nproc 2>/dev/null || echo 2)}
if ! (cd "$out/zorlek" && dpkg-buildpackage -us -uc -b "$@") >"$out/build.log" 2>&1; then
    tail -60 "$out/build.log" >&2
    echo "dpkg-buildpackage failed; the whole log is $out/build.log" >&2
    exit 1
fi
ls "$out"/*.changes "$out"/*.deb
