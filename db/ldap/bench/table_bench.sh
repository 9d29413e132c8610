#!/usr/bin/env bash
# A directory read through a foreign table against the same search by the rows function and by
# ldapsearch, and a condition sent to the server against the same condition filtered locally,
# side by side in one run against one throwaway slapd of 10,000 people (objectClass and uid
# indexed):
#   1. backend CPU of count(mail) over a foreign table of the 10,000 (pages of 500) against
#      count(*) over pg_ldap_search_rows(..., '{mail}', 500) and ldapsearch -E pr=500's CPU
#      (rusage); goal: the table within 1.1x the rows function;
#   2. backend CPU and wall time of one uid = '...' through the table with quenby_ldap.pushdown
#      on (the server's index answers) and off (every entry read and filtered in PostgreSQL);
#      goal: at least 100x faster sent.
# Rounds are interleaved; medians and bests of the per-run CPU (from /proc/pid/schedstat).
#
#   db/ldap/bench/table_bench.sh [builddir] [rounds]   (default: build, 9; a build with tests,
#                                                      whose morvex seals the password)
set -euo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)
entries=10000

if [ "${1:-}" != --in-sandbox ]; then
    build=$(cd "${1:-$root/build}" && pwd)
    export QUENBY_BENCH_BUILD=$build QUENBY_BENCH_ROUNDS=${2:-9}
    export PG_SANDBOX_KEY_FILE=$root/db/ldap/test/directory.key
    exec "$root/scripts/pg_sandbox.sh" run "$build" -- "$0" --in-sandbox
fi
build=$QUENBY_BENCH_BUILD
rounds=$QUENBY_BENCH_ROUNDS

# shellcheck source=db/ldap/bench/bench_slapd.sh
. "$root/db/ldap/bench/bench_slapd.sh"
SLAPD_SANDBOX_INDEX="objectClass,uid eq" bench_start_slapd "$entries"

morvex=$build/db/ldap/test/quenby_test_morvex
keys=$build/db/ldap/test/morvex_keys
cp "$PG_SANDBOX_KEY_FILE" "$keys/.pg.genericKey.dat"
chmod 600 "$keys/.pg.genericKey.dat"
sealed=$(printf '%s\n' "$LDAP_BIND_PW" | "$morvex" -E PG)

psql_binary=$PG_SANDBOX_BIN/psql
"$psql_binary" -X -q -v ON_ERROR_STOP=1 -v host="$LDAP_HOST" -v port="$LDAP_PORT" \
    -v dn="$LDAP_BIND_DN" -v sealed="$sealed" -v base="$LDAP_BULK_BASE" <<'SQL'
SET client_min_messages = warning;
CREATE EXTENSION quenby_ldap;
-- In clear on both sides, as pg_ldap_open talks.
CREATE SERVER bulk FOREIGN DATA WRAPPER quenby_ldap_fdw
    OPTIONS (host :'host', port :'port', tls 'none');
CREATE USER MAPPING FOR PUBLIC SERVER bulk OPTIONS (bind_dn :'dn', password :'sealed');
CREATE FOREIGN TABLE people (dn text, uid text, mail text)
    SERVER bulk OPTIONS (base :'base', scope 'one', filter '(objectClass=inetOrgPerson)');
CREATE FUNCTION count_rows(host text, port int, base text) RETURNS bigint LANGUAGE plpgsql AS $$
DECLARE
    s bigint := pg_ldap_open(host, port);
    counted bigint;
BEGIN
    SELECT count(*) INTO counted
    FROM pg_ldap_search_rows(s, base, 1, '(objectClass=inetOrgPerson)', '{mail}', 500);
    PERFORM pg_ldap_unbind(s);
    RETURN counted;
END $$;
SQL

table_scan="SELECT count(mail) FROM people"
rows_call="SELECT count_rows('$LDAP_HOST', $LDAP_PORT, '$LDAP_BULK_BASE')"
one_uid="SELECT count(*) FROM people WHERE uid = 'user05000'"
ldapsearch_paged="ldapsearch -x -LLL -H $LDAP_URI -b '$LDAP_BULK_BASE' -s one -E pr=500/noprompt '(objectClass=inetOrgPerson)' mail"

# backend_ms <runs> <setting> <query>: CPU ms and wall ms per run of the query in one backend.
backend_ms() {
    "$psql_binary" -X -q -At <<SQL
SET quenby_ldap.pushdown = $2;
$3 \g /dev/null
SELECT split_part(pg_read_file('/proc/' || pg_backend_pid() || '/schedstat'), ' ', 1)::bigint AS before,
       clock_timestamp() AS started \gset
$3 \g /dev/null
$(for _ in $(seq 2 "$1"); do echo "$3 \g /dev/null"; done)
SELECT round((split_part(pg_read_file('/proc/' || pg_backend_pid() || '/schedstat'), ' ', 1)::bigint - :before) / 1e6 / $1, 2),
       round(extract(epoch FROM clock_timestamp() - :'started') * 1000 / $1, 2);
SQL
}
ldapsearch_ms() {
    bench_ldapsearch_cpu_ms "$ldapsearch_paged" "$1" 2
}

echo "entries: table $("$psql_binary" -X -q -At -c "$table_scan"), rows $("$psql_binary" -X -q -At -c "$rows_call")," \
    "one uid sent $("$psql_binary" -X -q -At -c "$one_uid"), not sent" \
    "$("$psql_binary" -X -q -At -c "SET quenby_ldap.pushdown = off" -c "$one_uid")"
echo "filter sent: $("$psql_binary" -X -q -At -c "EXPLAIN (VERBOSE, COSTS OFF) $one_uid" | grep 'LDAP filter')"
table=() rows=() paged=() sent=() local=()
for _ in $(seq 1 "$rounds"); do
    table+=("$(backend_ms 5 on "$table_scan")")
    rows+=("$(backend_ms 5 on "$rows_call")")
    paged+=("$(ldapsearch_ms 5)")
    sent+=("$(backend_ms 20 on "$one_uid")")
    local+=("$(backend_ms 5 off "$one_uid")")
done
python3 - "${table[*]}" "${rows[*]}" "${paged[*]}" "${sent[*]}" "${local[*]}" <<'PY'
import statistics, sys
# Backend runs are "cpu|wall" pairs; ldapsearch's are CPU alone.
def pairs(text):
    numbers = list(map(float, text.replace("|", " ").split()))
    return numbers[0::2], numbers[1::2]
(table, _), (rows, _), (sent, sent_wall), (local, local_wall) = (pairs(sys.argv[i]) for i in (1, 2, 4, 5))
paged = list(map(float, sys.argv[3].split()))
for name, pick in (("median", statistics.median), ("best", min)):
    print(f"{name}: scan of 10,000: table {pick(table):.1f} ms, rows {pick(rows):.1f} ms, "
          f"ldapsearch {pick(paged):.1f} ms; table/rows {pick(table) / pick(rows):.2f}, "
          f"table/ldapsearch {pick(table) / pick(paged):.2f}")
    print(f"{name}: one uid, CPU: sent {pick(sent):.2f} ms, filtered locally {pick(local):.1f} ms; "
          f"{pick(local) / pick(sent):.0f}x")
    print(f"{name}: one uid, wall: sent {pick(sent_wall):.2f} ms, filtered locally "
          f"{pick(local_wall):.1f} ms; {pick(local_wall) / pick(sent_wall):.0f}x")
PY
