#!/usr/bin/env bash
# Builds the Debian package: a release build for the prefix /usr, packed by CPack's DEB generator
# (packaging/CMakeLists.txt) with the dependencies dpkg-shlibdeps finds in the binaries. Leaves
# build/package/tessivar_VERSION_ARCH.deb (another folder with TESSIVAR_PACKAGE_DIR; the build
# itself in build/package-build, or TESSIVAR_PACKAGE_BUILD_DIR) and prints its path as the last
# line. Install it with: apt install ./build/package/tessivar_VERSION_ARCH.deb
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# The compiler cache lives in the build folder, so it needs no home directory.
export CCACHE_DIR=${CCACHE_DIR:-$PWD/build/ccache}
out=$(realpath -m "${TESSIVAR_PACKAGE_DIR:-build/package}")
build=$(realpath -m "${TESSIVAR_PACKAGE_BUILD_DIR:-build/package-build}")
# Debian's flags for packaged programs with every hardening feature (stack protector, fortified
# functions, read-only relocations bound at start), given on the command line so that they also
# apply to a build folder configured before.
# No debug information: the package ships stripped binaries.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all DEB_CFLAGS_MAINT_STRIP=-g DEB_CXXFLAGS_MAINT_STRIP=-g
cppflags=$(dpkg-buildflags --get CPPFLAGS)
ldflags=$(dpkg-buildflags --get LDFLAGS)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
      -DTESSIVAR_TESTS=OFF -DTESSIVAR_BENCH=OFF -DTESSIVAR_SANITIZE=OFF \
      -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CFLAGS) $cppflags" \
      -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $cppflags" \
      -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" \
      -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" >/dev/null
cmake --build "$build" -j "$(nproc)"
rm -rf "$build/cpack"
# fakeroot: the files in the package belong to root whoever builds it.
(cd "$build" && fakeroot cpack -G DEB -B "$build/cpack" >/dev/null)
debs=("$build"/cpack/tessivar_*.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || { echo "package.sh: cpack made no package" >&2; exit 1; }
mkdir -p "$out"
rm -f "$out"/tessivar_*.deb
mv "${debs[0]}" "$out/"
echo "$out/$(basename "${debs[0]}")"
