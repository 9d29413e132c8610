#!/usr/bin/env bash
# Walking 10,000 directory entries from SQL (search, count, first/next, one attribute value per
# entry) against ldapsearch fetching the same entries, side by side in one run, both against
# the same throwaway slapd. Goal: SQL within 2x of ldapsearch.
#
#   db/ldap/bench/walk_bench.sh [builddir]      (default: build; a build with the extension)
set -euo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)
entries=10000

if [ "${1:-}" != --in-sandbox ]; then
    build=$(cd "${1:-$root/build}" && pwd)
    exec "$root/scripts/pg_sandbox.sh" run "$build" -- "$0" --in-sandbox
fi

slapd_work=$(mktemp -d /tmp/quenby_bench_slapd.XXXXXX)
trap '"$root/scripts/slapd_sandbox.sh" stop "$slapd_work"' EXIT
"$root/scripts/slapd_sandbox.sh" start "$slapd_work" "$entries"
# shellcheck disable=SC1091
. "$slapd_work/env"

psql -X -q -v ON_ERROR_STOP=1 <<'SQL'
CREATE EXTENSION quenby_ldap;
CREATE FUNCTION walk_all(host text, port int, base text) RETURNS int LANGUAGE plpgsql AS $$
DECLARE
    s bigint := pg_ldap_open(host, port);
    r bigint[] := pg_ldap_search(s, base, 1, '(objectClass=inetOrgPerson)', '{uid,cn,mail}');
    e bigint := pg_ldap_get_first_entry(s, r[1]);
    walked int := 0;
BEGIN
    IF pg_ldap_count_entries(s, r[1]) <> 10000 THEN
        RAISE EXCEPTION 'unexpected entry count';
    END IF;
    WHILE e <> 0 LOOP
        IF pg_ldap_get_attrib_value(s, e, 'cn') IS NOT NULL THEN
            walked := walked + 1;
        END IF;
        e := pg_ldap_get_next_entry(s, e);
    END LOOP;
    PERFORM pg_ldap_msgfree(r[1]);
    PERFORM pg_ldap_unbind(s);
    RETURN walked;
END $$;
SQL

sql_walk="psql -X -q -At -c \"SELECT walk_all('$LDAP_HOST', $LDAP_PORT, '$LDAP_BULK_BASE')\""
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
