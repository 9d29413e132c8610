#!/usr/bin/env bash
# An install staged with DESTDIR under a prefix chosen only at install time is usable as it
# lies: the library's example program builds as C++11 and runs against it through pkg-config
# alone and through find_package(tarncrypt) alone, and dbcipher.so names that prefix's libdir.
#   install_consumers.sh <cmake> <builddir> <example.cpp> <consumer-project-dir>
set -euo pipefail
cmake=$1
build=$2
example=$3
consumer=$4
prefix=/opt/tarncrypt-relocated
work=$(mktemp -d /tmp/tarncrypt-consumers.XXXXXX)
trap 'rm -rf "$work"' EXIT
tree=$work/stage$prefix

fail() { echo "install_consumers: $*" >&2; exit 1; }

for component in library dev dbcipher; do
    DESTDIR=$work/stage "$cmake" --install "$build" --prefix "$prefix" --component "$component" >/dev/null
done

# Runs a consumer without any loader help and checks which libtarncrypt it got.
runs_against_tree() {
    local program=$1 lib
    env -u LD_LIBRARY_PATH "$program" >/dev/null || fail "$program did not run"
    lib=$(env -u LD_LIBRARY_PATH ldd "$program" | awk '/libtarncrypt/ { print $3 }')
    case "$lib" in
        "$tree"/*) echo "$(basename "$program"): runs against $lib" ;;
        *) fail "$program loaded '$lib', not the staged tree's library" ;;
    esac
}

# pkg-config alone, and only this tree's .pc file.
pc() { PKG_CONFIG_PATH='' PKG_CONFIG_LIBDIR=$(dirname "$(find "$tree" -name tarncrypt.pc)") pkg-config "$@"; }
# shellcheck disable=SC2016
grep -q '^prefix=${pcfiledir}/' "$(find "$tree" -name tarncrypt.pc)" || fail "tarncrypt.pc names a fixed prefix"
# shellcheck disable=SC2046
c++ -std=c++11 -o "$work/pkg_config_consumer" "$example" $(pc --cflags --libs tarncrypt) \
    -Wl,-rpath,"$(pc --variable=libdir tarncrypt)"
runs_against_tree "$work/pkg_config_consumer"

# find_package alone: no pkg-config, nothing but this tree on the search path.
"$cmake" -S "$consumer" -B "$work/cmake_consumer" -DCMAKE_PREFIX_PATH="$tree" \
    -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
    -DTARN_EXAMPLE_SOURCE="$example" >"$work/consumer.log" 2>&1 || { cat "$work/consumer.log"; fail "configure"; }
"$cmake" --build "$work/cmake_consumer" >>"$work/consumer.log" 2>&1 || { cat "$work/consumer.log"; fail "build"; }
runs_against_tree "$work/cmake_consumer/consumer"
grep -q -- '-std=c++11 ' "$work/cmake_consumer/compile_commands.json" ||
    fail "the C++11 consumer was not compiled as C++11: $(grep -o -- '-std=[^ ]*' "$work/cmake_consumer/compile_commands.json")"

module=$(find "$work/stage" -name dbcipher.so)
runpath=$(readelf -d "$module" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
[ "$runpath" = "$(dirname "$(find "$tree" -name 'libtarncrypt.so.*' -print -quit)" | sed "s|^$work/stage||")" ] ||
    fail "dbcipher.so has RUNPATH '$runpath', not the libdir of $prefix"
echo "dbcipher.so: RUNPATH $runpath"
