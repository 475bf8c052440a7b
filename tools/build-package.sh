#!/usr/bin/env bash
# Builds the Debian package: a Release build of the product alone, with
# Debian's hardening flags, packed by CPack (dpkg-shlibdeps works out the
# library dependencies). The .deb lands in BUILD_DIR.
# Usage: tools/build-package.sh BUILD_DIR
set -euo pipefail

build_dir=${1:?usage: $0 BUILD_DIR}
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# Optimisation comes from the Release build type; the binary is stripped
# anyway, so no debug information is compiled in.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(DEB_CXXFLAGS_MAINT_STRIP='-g -O2' dpkg-buildflags --get CXXFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)

# Installing must not build the demo, the tests or the benchmarks.
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DVISTAMO_TESTS=OFF -DVISTAMO_BENCH=OFF \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
  "-DCMAKE_CXX_FLAGS=$cxxflags" "-DCMAKE_EXE_LINKER_FLAGS=$ldflags" >/dev/null
cmake --build "$build_dir" -j2 --target vistamo
rm -f "$build_dir"/vistamo_*.deb
(cd "$build_dir" && cpack -G DEB >/dev/null)
ls "$build_dir"/vistamo_*.deb
