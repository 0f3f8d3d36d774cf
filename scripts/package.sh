#!/usr/bin/env bash
# Builds the Debian package of zorlek: a Release build in build-package/ (without tests),
# packed by CPack. Prints the package's path; install it with
# "apt install ./build-package/zorlek_*.deb".
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/prerequisites.sh
zorlek_require_packages "${ZORLEK_BUILD_PACKAGES[@]}" "${ZORLEK_PACKAGE_PACKAGES[@]}"

cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DZORLEK_TESTS=OFF \
    -DZORLEK_BENCH=OFF >/dev/null
cmake --build build-package >/dev/null
rm -f build-package/zorlek_*.deb
(cd build-package && cpack -G DEB >/dev/null)
ls "$PWD"/build-package/zorlek_*.deb
