#!/usr/bin/env bash
# The transform with a key per call and with a prepared key, under each AES engine the library
# can be made to take (TARN_AES_ENGINE), in interleaved rounds so that load from elsewhere on
# the machine falls on every engine alike. Prints the best CPU time (ns) of each row.
#   engines.sh <build dir> [rounds]
set -euo pipefail
bench=$1/policy/FMWK/bench/tarncrypt_bench
rounds=${2:-5}
engines=(default evp low-level aes-ni)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for ((round = 0; round < rounds; round++)); do
    for engine in "${engines[@]}"; do
        env_engine=()
        [[ $engine != default ]] && env_engine=(TARN_AES_ENGINE="$engine")
        env "${env_engine[@]}" "$bench" --benchmark_filter='^(TransformEncrypt|PreparedEncrypt)/' \
            --benchmark_format=csv --benchmark_min_time=0.2 2>/dev/null |
            grep -E '^"(Transform|Prepared)' >>"$out/$engine.csv"
    done
done
printf '%-10s %-24s %10s\n' engine row cpu_ns
for engine in "${engines[@]}"; do
    awk -F, -v e="$engine" '{gsub(/"/, "", $1); if (!($1 in best) || $4 < best[$1]) best[$1] = $4}
        END {for (r in best) printf "%-10s %-24s %10.0f\n", e, r, best[r]}' "$out/$engine.csv" |
        sort -k2
done
