#!/usr/bin/env bash
# Side by side in one run, on one throwaway cluster:
#   aes_encr encrypting / decrypting 16-byte texts, with the key passed and with the server's
#   key (dbcipher.key_file)  vs  pgcrypto's encode(encrypt_iv(...)) and decrypt_iv(decode(...))
#   on the same rows  vs  the floor: the same query with length() in place of the cipher;
#   encr / decr; aes_encr_rewrap against the server-key decryption and encryption in two calls;
#   then the aes_encr query with parallel workers against a single process.
#   Each figure is the best wall time and the least backend CPU time over the runs; the ratios
#   are of CPU time.
#
#   compare.sh <builddir> [rows] [rounds]   (default 1,000,000 rows, best of 5 interleaved runs)
#
# pgcrypto gets its own native input (bytea columns), so nothing is charged to it that it would
# not pay in use.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
rows=${2:-1000000}
rounds=${3:-5}

key=BenchMasterKey16
if [ -z "${PG_SANDBOX_LOG:-}" ]; then
    key_file=$(mktemp)
    trap 'rm -f "$key_file"' EXIT
    echo "GENERIC_KEY: $key" >"$key_file"
    # The previous key is the current one: a rewrap's cost does not depend on which key it is.
    PG_SANDBOX_KEY_FILE=$key_file PG_SANDBOX_PREVIOUS_KEY_FILE=$key_file \
        "$here/../../../scripts/pg_sandbox.sh" run "$build" -- \
        "$here/compare.sh" "$build" "$rows" "$rounds"
    exit
fi

salt=Xy
iv=$("$build/db/dbcipher/dbcipher_peer" iv "$salt")
sql() { "$PG_SANDBOX_BIN/psql" -X -q -At -v ON_ERROR_STOP=1 "$@"; }

echo "== preparing $rows rows of 16-byte texts"
sql <<SQL
SET client_min_messages = warning;
CREATE EXTENSION IF NOT EXISTS dbcipher;
CREATE EXTENSION IF NOT EXISTS pgcrypto;
CREATE TABLE bench_rows AS
SELECT plain, convert_to(plain, 'UTF8') AS plain_bytes,
       aes_encr(plain, 16, true, '$salt', '$key') AS aes_text, encr(plain) AS legacy_text
FROM (SELECT substr(md5(i::text), 1, 16) AS plain FROM generate_series(1, $rows) AS i) s;
VACUUM ANALYZE bench_rows;
SQL

# The AES texts of both peers must be the same, or the race means nothing.
mismatches=$(sql -c "SELECT count(*) FROM bench_rows
    WHERE aes_text <> encode(encrypt_iv(plain_bytes, '$key'::bytea, '\\x$iv'::bytea, 'aes-cbc/pad:none'), 'base64')")
[ "$mismatches" = 0 ] || { echo "compare: aes_encr and pgcrypto disagree on $mismatches rows" >&2; exit 1; }

declare -A best best_cpu
# The backend's own CPU time in nanoseconds (the scheduler's account: clock ticks are too coarse
# for a query of a few hundred milliseconds).
cpu_ns="SELECT split_part(pg_read_file('/proc/self/schedstat'), ' ', 1)::bigint"
# Runs the query once with the given settings and keeps, per label, the fastest wall time and
# the least CPU time of all runs: on a shared machine the CPU time is the steadier figure.
run_once() {
    local label=$1 settings=$2 query=$3 out ms cpu
    out=$(sql -c "$settings" -c "$cpu_ns" -c '\timing on' -c "$query" -c '\timing off' -c "$cpu_ns")
    ms=$(sed -n 's/^Time: \([0-9.]*\) ms.*/\1/p' <<<"$out")
    cpu=$(grep -E '^[0-9]+$' <<<"$out" | sed -n '1p;$p' | awk 'NR == 1 { first = $1 } { last = $1 } END { printf "%.1f", (last - first) / 1e6 }')
    if [ -z "${best[$label]:-}" ] || awk -v a="$ms" -v b="${best[$label]}" 'BEGIN { exit !(a < b) }'; then
        best[$label]=$ms
    fi
    if [ -z "${best_cpu[$label]:-}" ] || awk -v a="$cpu" -v b="${best_cpu[$label]}" 'BEGIN { exit !(a < b) }'; then
        best_cpu[$label]=$cpu
    fi
}

serial='SET max_parallel_workers_per_gather = 0'
parallel='SET max_parallel_workers_per_gather = 2'
one_worker='SET max_parallel_workers_per_gather = 1'
declare -a labels=(floor_encrypt aes_encr_encrypt server_key_encrypt pgcrypto_encrypt
                   floor_decrypt aes_encr_decrypt server_key_decrypt pgcrypto_decrypt encr decr
                   server_key_rewrap server_key_two_calls
                   aes_encr_encrypt_1_worker aes_encr_encrypt_parallel)
declare -A settings=(
    [floor_encrypt]=$serial [floor_decrypt]=$serial [server_key_encrypt]=$serial
    [server_key_decrypt]=$serial [server_key_rewrap]=$serial [server_key_two_calls]=$serial
    [aes_encr_encrypt]=$serial [pgcrypto_encrypt]=$serial [aes_encr_decrypt]=$serial
    [pgcrypto_decrypt]=$serial [encr]=$serial [decr]=$serial
    [aes_encr_encrypt_1_worker]=$one_worker [aes_encr_encrypt_parallel]=$parallel)
declare -A queries=(
    [floor_encrypt]="SELECT sum(length(plain)) FROM bench_rows"
    [floor_decrypt]="SELECT sum(length(aes_text)) FROM bench_rows"
    [server_key_encrypt]="SELECT sum(length(aes_encr(plain, 16, true, '$salt'))) FROM bench_rows"
    [server_key_decrypt]="SELECT sum(length(aes_encr(aes_text, 0, false, '$salt'))) FROM bench_rows"
    [aes_encr_encrypt]="SELECT sum(length(aes_encr(plain, 16, true, '$salt', '$key'))) FROM bench_rows"
    [pgcrypto_encrypt]="SELECT sum(length(encode(encrypt_iv(plain_bytes, '$key'::bytea, '\\x$iv'::bytea, 'aes-cbc/pad:none'), 'base64'))) FROM bench_rows"
    [aes_encr_decrypt]="SELECT sum(length(aes_encr(aes_text, 0, false, '$salt', '$key'))) FROM bench_rows"
    [pgcrypto_decrypt]="SELECT sum(length(decrypt_iv(decode(aes_text, 'base64'), '$key'::bytea, '\\x$iv'::bytea, 'aes-cbc/pad:none'))) FROM bench_rows"
    [encr]="SELECT sum(length(encr(plain))) FROM bench_rows"
    [server_key_rewrap]="SELECT sum(length(aes_encr_rewrap(aes_text, '$salt'))) FROM bench_rows"
    [server_key_two_calls]="SELECT sum(length(aes_encr(aes_encr(aes_text, 0, false, '$salt'), 16, true, '$salt'))) FROM bench_rows"
    [decr]="SELECT sum(length(decr(legacy_text))) FROM bench_rows"
    [aes_encr_encrypt_1_worker]="SELECT sum(length(aes_encr(plain, 16, true, '$salt', '$key'))) FROM bench_rows"
    [aes_encr_encrypt_parallel]="SELECT sum(length(aes_encr(plain, 16, true, '$salt', '$key'))) FROM bench_rows")

echo "== timing (best of $rounds, runs interleaved)"
for _ in $(seq "$rounds"); do
    for label in "${labels[@]}"; do run_once "$label" "${settings[$label]}" "${queries[$label]}"; done
done

per_second() { awk -v ms="$1" -v n="$rows" 'BEGIN { printf "%.0f", n / (ms / 1000) }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b / a }'; }
printf '%-28s %10s %10s %14s\n' query ms cpu_ms rows/cpu_s
for label in "${labels[@]}"; do
    printf '%-28s %10.1f %10s %14s\n' "$label" "${best[$label]}" "${best_cpu[$label]}" \
        "$(per_second "${best_cpu[$label]}")"
done
echo
for way in encrypt decrypt; do
    echo "$way, throughput over pgcrypto: key passed $(ratio "${best_cpu[aes_encr_$way]}" "${best_cpu[pgcrypto_$way]}")x," \
         "server key $(ratio "${best_cpu[server_key_$way]}" "${best_cpu[pgcrypto_$way]}")x"
    echo "$way, time over the floor: key passed $(ratio "${best_cpu[floor_$way]}" "${best_cpu[aes_encr_$way]}")x," \
         "server key $(ratio "${best_cpu[floor_$way]}" "${best_cpu[server_key_$way]}")x"
done
echo "rewrap over decryption and encryption in two calls: $(ratio "${best_cpu[server_key_two_calls]}" "${best_cpu[server_key_rewrap]}")x"
echo "wall time, leader + 1 worker / single process, aes_encr encrypting: $(ratio "${best[aes_encr_encrypt_1_worker]}" "${best[aes_encr_encrypt]}")x"
echo "wall time, leader + 2 workers / single process, aes_encr encrypting: $(ratio "${best[aes_encr_encrypt_parallel]}" "${best[aes_encr_encrypt]}")x (on $(nproc) cores)"
echo
echo "== the parallel plan"
sql -c "$parallel" -c "EXPLAIN (ANALYZE, COSTS OFF, TIMING OFF) ${queries[aes_encr_encrypt_parallel]}"

# Where a server-key decryption spends its time: perf (Debian's linux-perf) on the backend that
# runs it, by shared object and symbol.
if command -v perf >/dev/null; then
    echo
    echo "== profile of server_key_decrypt (self time, top 25)"
    coproc PROFILED { "$PG_SANDBOX_BIN/psql" -X -q -At; }
    echo "$serial; SELECT pg_backend_pid();" >&"${PROFILED[1]}"
    read -r backend <&"${PROFILED[0]}"
    profile=$PG_SANDBOX_DIR/decrypt.perf
    perf record -q -o "$profile" -p "$backend" >/dev/null 2>&1 &
    recorder=$!
    # perf has attached once it has written its header.
    for _ in $(seq 100); do [ -s "$profile" ] && break; sleep 0.05; done
    for _ in 1 2 3; do
        echo "${queries[server_key_decrypt]};" >&"${PROFILED[1]}"
        read -r _ <&"${PROFILED[0]}"
    done
    kill -INT "$recorder"
    wait "$recorder" || true
    echo '\q' >&"${PROFILED[1]}"
    perf report -i "$profile" --no-children --sort dso,sym --stdio 2>/dev/null |
        grep -E '^ +[0-9]' | head -n 25
fi
