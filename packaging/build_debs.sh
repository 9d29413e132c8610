#!/usr/bin/env bash
# Builds the kit's Debian packages: a release tree for the system prefix with Debian's build
# flags (all hardening, -z now included), packed by CPack, one package per install component.
# Dates come from the last commit, and neither the source nor the build folder's path reaches
# the binaries: two builds of one commit give the same bytes.
#   build_debs.sh <builddir>      (the .debs land in <builddir>)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
build=$(cd "$1" && pwd)

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct)
fi
export SOURCE_DATE_EPOCH
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(cd "$root" && dpkg-buildflags --export=sh)"
prefix_map="-ffile-prefix-map=$build=."
export CXXFLAGS="$CXXFLAGS $CPPFLAGS $prefix_map" CFLAGS="$CFLAGS $CPPFLAGS $prefix_map"
# The link flags are given each time, not left to a cached first configure: a tree reused
# after an experiment gets Debian's again. Binaries are linked with their install RUNPATH, so
# that no build folder is left in their string tables when the install removes it.
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" -DCMAKE_SHARED_LINKER_FLAGS="$LDFLAGS" \
    -DCMAKE_MODULE_LINKER_FLAGS="$LDFLAGS" -DCMAKE_BUILD_WITH_INSTALL_RPATH=ON \
    -DTARN_TESTS=OFF -DTARN_BENCHMARKS=OFF >"$build.configure.log" 2>&1 ||
    { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc)" >"$build.build.log" 2>&1 || { tail -n 40 "$build.build.log"; exit 1; }
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >"$build.cpack.log" 2>&1) || { cat "$build.cpack.log"; exit 1; }
ls "$build"/*.deb
