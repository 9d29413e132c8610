#!/usr/bin/env bash
# Sets up the machine and runs every test of the kit, each in the trees where it can find
# something:
#   build/       the release build (gcc), with the PostgreSQL and slapd tests
#   build-asan/  everything again under AddressSanitizer + UndefinedBehaviorSanitizer
#   build-fuzz/  the libFuzzer targets alone (clang) over their committed seed corpora
#   build-tsan/  the test programs that start threads (label `threads`) alone, under
#                ThreadSanitizer, where any report fails its test
# Every server a test needs (a throwaway PostgreSQL cluster on a private Unix socket, a
# throwaway slapd on a free loopback port) is started by the test itself and removed afterwards.
# The run ends with the ten slowest tests of all trees.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

"$root/scripts/setup.sh"

jobs=$(nproc)
# configure <dir> <build target> <cmake options>...
configure() {
    local dir=$1 target=$2
    shift 2
    mkdir -p "$root/$dir"
    cmake -S "$root" -B "$root/$dir" "$@" >"$root/$dir/configure.log" 2>&1 ||
        { cat "$root/$dir/configure.log"; exit 1; }
    cmake --build "$root/$dir" -j "$jobs" --target "$target" >"$root/$dir/build.log" 2>&1 ||
        { tail -n 80 "$root/$dir/build.log"; exit 1; }
    echo "built $dir ($target)"
}

configure build all -DCMAKE_BUILD_TYPE=RelWithDebInfo
configure build-asan all -DCMAKE_BUILD_TYPE=Debug -DTARN_SANITIZE=ON -DTARN_BENCHMARKS=OFF
configure build-fuzz fuzzers -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DTARN_SANITIZE=ON -DTARN_LIBFUZZER=ON \
    -DTARN_BENCHMARKS=OFF -DTARN_POSTGRES=ON
configure build-tsan threaded_tests -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_SANITIZE_THREAD=ON \
    -DTARN_POSTGRES=OFF -DTARN_BENCHMARKS=OFF

status=0
# run_ctest <dir> <ctest options>...: the output also goes to <dir>/ctest.log.
run_ctest() {
    local dir=$1
    shift
    echo "== ctest $dir $*"
    ctest --test-dir "$root/$dir" "$@" --output-on-failure -j "$jobs" 2>&1 |
        tee "$root/$dir/ctest.log" || status=1
}
run_ctest build
run_ctest build-asan
run_ctest build-fuzz -L fuzz
TSAN_OPTIONS="halt_on_error=1 exitcode=66" run_ctest build-tsan -L threads

echo "== the ten slowest tests"
for dir in build build-asan build-fuzz build-tsan; do
    sed -nE "s|^ *[0-9]+/[0-9]+ Test +#[0-9]+: ([^ ]+) .* ([0-9.]+) sec\$|\2 $dir \1|p" \
        "$root/$dir/ctest.log"
done | sort -rn | awk 'NR <= 10'
exit $status
