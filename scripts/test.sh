#!/usr/bin/env bash
# Sets up the machine and runs every test of the kit, three times over:
#   build/       the release build (gcc), with the PostgreSQL and slapd tests
#   build-asan/  everything again under AddressSanitizer + UndefinedBehaviorSanitizer
#   build-fuzz/  the libFuzzer targets (clang) over their committed seed corpora
# and the library and morvex tests once more under ThreadSanitizer (build-tsan/), where any
# report fails its test.
# Every server a test needs (a throwaway PostgreSQL cluster on a private Unix socket, a
# throwaway slapd on a free loopback port) is started by the test itself and removed afterwards.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

"$root/scripts/setup.sh"

jobs=$(nproc)
configure() {
    local dir=$1
    shift
    mkdir -p "$root/$dir"
    cmake -S "$root" -B "$root/$dir" "$@" >"$root/$dir/configure.log" 2>&1 ||
        { cat "$root/$dir/configure.log"; exit 1; }
    cmake --build "$root/$dir" -j "$jobs" >"$root/$dir/build.log" 2>&1 ||
        { tail -n 80 "$root/$dir/build.log"; exit 1; }
    echo "built $dir"
}

configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo
configure build-asan -DCMAKE_BUILD_TYPE=Debug -DTARN_SANITIZE=ON -DTARN_BENCHMARKS=OFF
configure build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DTARN_SANITIZE=ON -DTARN_LIBFUZZER=ON \
    -DTARN_BENCHMARKS=OFF -DTARN_POSTGRES=ON
configure build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_SANITIZE_THREAD=ON \
    -DTARN_POSTGRES=OFF -DTARN_BENCHMARKS=OFF

status=0
run_ctest() {
    echo "== ctest $*"
    ctest --test-dir "$@" --output-on-failure -j "$jobs" || status=1
}
run_ctest build
run_ctest build-asan
run_ctest build-fuzz -L fuzz
TSAN_OPTIONS="halt_on_error=1 exitcode=66" run_ctest build-tsan
exit $status
