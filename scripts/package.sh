#!/usr/bin/env bash
# Builds the Debian package build-deb/tarnwick_<version>_<arch>.deb with CPack
# and prints its path. The build is a plain Release build as a user would
# make one (no -Werror), with the prefix /usr and Debian's compiler and linker
# flags (dpkg-buildflags: hardening); CPack strips the programs and computes
# the library dependencies with dpkg-shlibdeps.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
tarnwick_install >&2

dir="$tarnwick_root/build-deb"
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
tarnwick_configure "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DTARNWICK_TESTS=OFF -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >&2
cmake --build "$dir" -j2 >&2
rm -f "$dir"/tarnwick_*.deb
(cd "$dir" && cpack -G DEB) >&2
ls "$dir"/tarnwick_*.deb
