# SPDX-License-Identifier: Apache-2.0
# Sourced by the demo and test scripts: makes sure the Debian packages the build needs
# are there. As root it installs what is missing; otherwise it names it and stops.

zorlek_require_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing Debian packages: ${missing[*]}" >&2
        echo "install them with: sudo apt-get install ${missing[*]}" >&2
        return 1
    fi
    echo "installing: ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >&2 && apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}

# What building the programs needs.
ZORLEK_BUILD_PACKAGES=(cmake ninja-build g++)
# What making the Debian packages needs on top (dpkg-buildpackage with debhelper and the
# Build-Depends of debian/control), and checking them (lintian).
ZORLEK_PACKAGE_PACKAGES=(dpkg-dev build-essential debhelper libgtest-dev lintian)
# What building and running the tests and benchmarks needs on top: clang for the sanitizer
# pass; the package, pkg-config and systemd-analyze for the install and package tests;
# tshark, which reads a capture of `zorlek capture` with the dissector the package ships.
ZORLEK_TEST_PACKAGES=(libgtest-dev util-linux clang libclang-rt-dev "${ZORLEK_PACKAGE_PACKAGES[@]}"
    pkg-config systemd tshark)
