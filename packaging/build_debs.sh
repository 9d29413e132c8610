#!/usr/bin/env bash
# Builds the kit's Debian packages: a release tree for the system prefix with Debian's build
# flags, packed by CPack, one package per install component.
#   build_debs.sh <builddir>      (the .debs land in <builddir>)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
build=$(cd "$1" && pwd)

eval "$(dpkg-buildflags --export=sh)"
export CXXFLAGS="$CXXFLAGS $CPPFLAGS" CFLAGS="$CFLAGS $CPPFLAGS"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DTARN_TESTS=OFF -DTARN_BENCHMARKS=OFF >"$build.configure.log" 2>&1 ||
    { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc)" >"$build.build.log" 2>&1 || { tail -n 40 "$build.build.log"; exit 1; }
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >"$build.cpack.log" 2>&1) || { cat "$build.cpack.log"; exit 1; }
ls "$build"/*.deb
