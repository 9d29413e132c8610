#!/usr/bin/env bash
# Reading 10,000 directory entries from SQL against ldapsearch fetching the same entries, side by
# side in one run, all against the same throwaway slapd:
#   1. the handle walk (search, count, first/next, one attribute value per entry) against a plain
#      ldapsearch; goal: SQL within 2x of ldapsearch;
#   2. count(*) over pg_ldap_search_rows in pages of 500 against ldapsearch -E pr=500 and
#      against the handle walk, attribute mail; goal: at most ldapsearch's time;
#   3. CPU time of the backend (from /proc) against ldapsearch's (rusage), since wall times on a
#      shared machine vary by half;
#   4. in interleaved rounds, the backend CPU of one pg_ldap_search_rows in pages of 500 against
#      ldapsearch -E pr=500's, and against the same call of another build of the module when
#      one is given; goal: at most 0.8x ldapsearch. Medians and bests per run.
#
#   db/ldap/bench/walk_bench.sh [builddir] [other quenby_ldap.so]
#                                          (default: build; a build with the extension)
#   QUENBY_BENCH_ROUNDS_ONLY=1 runs part 4 alone.
set -euo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)
entries=10000

if [ "${1:-}" != --in-sandbox ]; then
    build=$(cd "${1:-$root/build}" && pwd)
    other=${2:+$(realpath "$2")}
    exec "$root/scripts/pg_sandbox.sh" run "$build" -- "$0" --in-sandbox "$other"
fi
other_module=${2:-}

# shellcheck source=db/ldap/bench/bench_slapd.sh
. "$root/db/ldap/bench/bench_slapd.sh"
bench_start_slapd "$entries"

psql -X -q -v ON_ERROR_STOP=1 <<'SQL'
CREATE EXTENSION quenby_ldap;
CREATE FUNCTION walk_all(host text, port int, base text, attributes text[] DEFAULT '{uid,cn,mail}',
                         attribute text DEFAULT 'cn') RETURNS int LANGUAGE plpgsql AS $$
DECLARE
    s bigint := pg_ldap_open(host, port);
    r bigint[] := pg_ldap_search(s, base, 1, '(objectClass=inetOrgPerson)', attributes);
    e bigint := pg_ldap_get_first_entry(s, r[1]);
    walked int := 0;
BEGIN
    IF pg_ldap_count_entries(s, r[1]) <> 10000 THEN
        RAISE EXCEPTION 'unexpected entry count';
    END IF;
    WHILE e <> 0 LOOP
        IF pg_ldap_get_attrib_value(s, e, attribute) IS NOT NULL THEN
            walked := walked + 1;
        END IF;
        e := pg_ldap_get_next_entry(s, e);
    END LOOP;
    PERFORM pg_ldap_msgfree(r[1]);
    PERFORM pg_ldap_unbind(s);
    RETURN walked;
END $$;
-- The backend's user and system CPU time in clock ticks (fields 14 and 15 of /proc/pid/stat,
-- counted after the command name).
CREATE FUNCTION cpu_ticks() RETURNS bigint LANGUAGE sql AS $$
    SELECT f[12]::bigint + f[13]::bigint
    FROM regexp_split_to_array(split_part(pg_read_file('/proc/' || pg_backend_pid() || '/stat'),
                                          ') ', 2), ' ') AS f $$;
CREATE FUNCTION count_rows(host text, port int, base text, page_size int) RETURNS bigint
LANGUAGE plpgsql AS $$
DECLARE
    s bigint := pg_ldap_open(host, port);
    counted bigint;
BEGIN
    SELECT count(*) INTO counted
    FROM pg_ldap_search_rows(s, base, 1, '(objectClass=inetOrgPerson)', '{mail}', page_size);
    PERFORM pg_ldap_unbind(s);
    RETURN counted;
END $$;
SQL

# The server's own psql: Debian's psql on the PATH is a Perl wrapper that costs some 40 ms a
# start, which would be charged to SQL.
psql_binary=$PG_SANDBOX_BIN/psql
ldapsearch_paged="ldapsearch -x -LLL -H $LDAP_URI -b '$LDAP_BULK_BASE' -s one -E pr=500/noprompt '(objectClass=inetOrgPerson)' mail"
if [ "${QUENBY_BENCH_ROUNDS_ONLY:-}" != 1 ]; then
sql_walk="$psql_binary -X -q -At -c \"SELECT walk_all('$LDAP_HOST', $LDAP_PORT, '$LDAP_BULK_BASE')\""
ldapsearch_fetch="ldapsearch -x -LLL -H $LDAP_URI -b '$LDAP_BULK_BASE' -s one '(objectClass=inetOrgPerson)' uid cn mail"
walked=$(eval "$sql_walk")
fetched=$(eval "$ldapsearch_fetch" | grep -c '^dn:')
echo "entries: SQL walk $walked, ldapsearch $fetched"
[ "$walked" -eq "$entries" ] && [ "$fetched" -eq "$entries" ] || { echo "entry counts differ" >&2; exit 1; }

hyperfine --warmup 3 --min-runs 20 --style basic \
    -n "SQL walk (psql, search + count + first/next + get_attrib_value)" "$sql_walk" \
    -n "ldapsearch (same entries and attributes, LDIF to /dev/null)" "$ldapsearch_fetch >/dev/null"

echo
echo "== in one backend, without process and connection start-up (5 walks)"
psql -X -q -At <<SQL
\timing on
SELECT walk_all('$LDAP_HOST', $LDAP_PORT, '$LDAP_BULK_BASE') FROM generate_series(1, 5);
SQL

echo
echo "== pg_ldap_search_rows in pages of 500 (attribute mail)"
sql_rows="$psql_binary -X -q -At -c \"SELECT count_rows('$LDAP_HOST', $LDAP_PORT, '$LDAP_BULK_BASE', 500)\""
sql_walk_mail="$psql_binary -X -q -At -c \"SELECT walk_all('$LDAP_HOST', $LDAP_PORT, '$LDAP_BULK_BASE', '{mail}', 'mail')\""
counted=$(eval "$sql_rows")
fetched=$(eval "$ldapsearch_paged" | grep -c '^mail:')
walked=$(eval "$sql_walk_mail")
echo "mail values: SQL rows $counted, ldapsearch $fetched, SQL walk $walked"
[ "$counted" -eq "$entries" ] && [ "$fetched" -eq "$entries" ] && [ "$walked" -eq "$entries" ] ||
    { echo "counts differ" >&2; exit 1; }

results=$(mktemp /tmp/quenby_bench_rows.XXXXXX.json)
hyperfine --warmup 3 --min-runs 20 --style basic --export-json "$results" \
    -n "SQL rows (psql, count(*) over pg_ldap_search_rows, pages of 500)" "$sql_rows" \
    -n "ldapsearch -E pr=500/noprompt (LDIF to /dev/null)" "$ldapsearch_paged >/dev/null" \
    -n "SQL walk (psql, search + first/next + get_attrib_value mail)" "$sql_walk_mail"
python3 - "$results" <<'PY'
import json, sys
runs = [r["mean"] for r in json.load(open(sys.argv[1]))["results"]]
print(f"ratio SQL rows / ldapsearch paged: {runs[0] / runs[1]:.2f}")
print(f"ratio SQL rows / SQL walk:         {runs[0] / runs[2]:.2f}")
PY
rm -f "$results"

echo
echo "== in one backend, without process and connection start-up (5 of each)"
psql -X -q -At <<SQL
\timing on
SELECT count_rows('$LDAP_HOST', $LDAP_PORT, '$LDAP_BULK_BASE', 500) FROM generate_series(1, 5);
SELECT walk_all('$LDAP_HOST', $LDAP_PORT, '$LDAP_BULK_BASE', '{mail}', 'mail') FROM generate_series(1, 5);
SQL

echo
echo "== CPU time of 5 runs each: the backend (from /proc) against ldapsearch (rusage)"
ticks=$(getconf CLK_TCK)
backend_cpu() {
    psql -X -q -At <<SQL
SELECT cpu_ticks() AS before \gset
SELECT $1 FROM generate_series(1, 5) \g /dev/null
SELECT (cpu_ticks() - :before) * 1000 / $ticks;
SQL
}
ldapsearch_cpu() {
    python3 - "$1" <<'PY'
import resource, subprocess, sys
for _ in range(5):
    subprocess.run(sys.argv[1], shell=True, stdout=subprocess.DEVNULL, check=True)
usage = resource.getrusage(resource.RUSAGE_CHILDREN)
print(round((usage.ru_utime + usage.ru_stime) * 1000))
PY
}
walk_ms=$(backend_cpu "walk_all('$LDAP_HOST', $LDAP_PORT, '$LDAP_BULK_BASE')")
plain_ms=$(ldapsearch_cpu "$ldapsearch_fetch")
rows_ms=$(backend_cpu "count_rows('$LDAP_HOST', $LDAP_PORT, '$LDAP_BULK_BASE', 500)")
paged_ms=$(ldapsearch_cpu "$ldapsearch_paged")
echo "backend walk ${walk_ms} ms, ldapsearch ${plain_ms} ms: ratio $(python3 -c "print(f'{$walk_ms / max($plain_ms, 1):.2f}')")"
echo "backend rows ${rows_ms} ms, ldapsearch paged ${paged_ms} ms: ratio $(python3 -c "print(f'{$rows_ms / max($paged_ms, 1):.2f}')")"
fi

echo
echo "== CPU per run, median of interleaved rounds: pg_ldap_search_rows(..., 500) in the backend"
echo "   (from /proc/pid/schedstat) against ldapsearch -E pr=500 (rusage)"
if [ -n "$other_module" ]; then
    # The other build under another name, reached only through functions of a schema of its
    # own, each measured in backends that load that module alone.
    cp "$other_module" "$PG_SANDBOX_DIR/root$(pg_config --pkglibdir)/quenby_ldap_other.so"
    psql -X -q -v ON_ERROR_STOP=1 <<'SQL'
CREATE SCHEMA other;
CREATE FUNCTION other.pg_ldap_open(text, integer) RETURNS bigint
    AS '$libdir/quenby_ldap_other', 'pg_ldap_open' LANGUAGE C STRICT;
CREATE FUNCTION other.pg_ldap_unbind(bigint) RETURNS integer
    AS '$libdir/quenby_ldap_other', 'pg_ldap_unbind' LANGUAGE C STRICT;
CREATE FUNCTION other.pg_ldap_search_rows(bigint, text, integer, text, text[], integer)
    RETURNS TABLE (dn text, attribute text, value text)
    AS '$libdir/quenby_ldap_other', 'pg_ldap_search_rows' LANGUAGE C STRICT;
CREATE FUNCTION other.count_rows(host text, port int, base text, page_size int) RETURNS bigint
LANGUAGE plpgsql AS $$
DECLARE
    s bigint := other.pg_ldap_open(host, port);
    counted bigint;
BEGIN
    SELECT count(*) INTO counted
    FROM other.pg_ldap_search_rows(s, base, 1, '(objectClass=inetOrgPerson)', '{mail}', page_size);
    PERFORM other.pg_ldap_unbind(s);
    RETURN counted;
END $$;
SQL
fi
runs_per_round=5
rounds=25
# backend_run_ms <schema>: CPU ms per count_rows run of that schema's module, one backend.
backend_run_ms() {
    psql -X -q -At <<SQL
SELECT split_part(pg_read_file('/proc/' || pg_backend_pid() || '/schedstat'), ' ', 1)::bigint AS before \gset
SELECT $1.count_rows('$LDAP_HOST', $LDAP_PORT, '$LDAP_BULK_BASE', 500) FROM generate_series(1, $runs_per_round) \g /dev/null
SELECT round((split_part(pg_read_file('/proc/' || pg_backend_pid() || '/schedstat'), ' ', 1)::bigint - :before) / 1e6 / $runs_per_round, 1);
SQL
}
ldapsearch_run_ms() {
    bench_ldapsearch_cpu_ms "$ldapsearch_paged" "$runs_per_round" 1
}
backend_run_ms public >/dev/null
rows=() others=() paged=()
for _ in $(seq 1 $rounds); do
    rows+=("$(backend_run_ms public)")
    paged+=("$(ldapsearch_run_ms)")
    [ -z "$other_module" ] || others+=("$(backend_run_ms other)")
done
python3 - "${rows[*]}" "${paged[*]}" "${others[*]:-}" <<'PY'
import statistics, sys
rows, paged = [list(map(float, a.split())) for a in sys.argv[1:3]]
others = list(map(float, sys.argv[3].split()))
for name, pick in (("median", statistics.median), ("best", min)):
    line = (f"{name}: this build {pick(rows):.1f} ms, ldapsearch {pick(paged):.1f} ms, "
            f"ratio {pick(rows) / pick(paged):.2f}")
    if others:
        line += (f"; other build {pick(others):.1f} ms, ratio {pick(others) / pick(paged):.2f}; "
                 f"this / other {pick(rows) / pick(others):.2f}")
    print(line)
print("rounds (this, ldapsearch" + (", other" if others else "") + "):",
      *zip(rows, paged, *([others] if others else [])))
PY
