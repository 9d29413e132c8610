#!/usr/bin/env bash
# Connecting by a server's name against connecting by hand, side by side in one backend, against
# the same throwaway slapd (StartTLS with the client certificate, then a simple bind):
#   by name:  pg_ldap_connect + pg_ldap_unbind (the password opened from its envelope under the
#             server key for each bind)
#   by hand:  pg_ldap_open + pg_ldap_open_ssl + pg_ldap_bind with the password passed +
#             pg_ldap_unbind
# 1,000 of each per round, rounds interleaved; reported: the backend's CPU time (from /proc) and
# wall time per connect, best of the rounds, and the backend's resident memory after every
# round (flat: nothing held per connect). Goal: by name within 1.1x of by hand.
#
#   db/ldap/bench/connect_bench.sh [builddir] [rounds]   (default: build, 3; a build with tests,
#                                                        whose morvex seals the password)
set -euo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)
connects=1000

if [ "${1:-}" != --in-sandbox ]; then
    build=$(cd "${1:-$root/build}" && pwd)
    export QUENBY_BENCH_BUILD=$build QUENBY_BENCH_ROUNDS=${2:-3}
    export PG_SANDBOX_KEY_FILE=$root/db/ldap/test/directory.key
    exec "$root/scripts/pg_sandbox.sh" run "$build" -- "$0" --in-sandbox
fi
build=$QUENBY_BENCH_BUILD
rounds=$QUENBY_BENCH_ROUNDS

# shellcheck source=db/ldap/bench/bench_slapd.sh
. "$root/db/ldap/bench/bench_slapd.sh"
bench_start_slapd 0
eval "$("$root/scripts/pg_sandbox.sh" share LDAP_CLIENT_CERT LDAP_CLIENT_KEY)"

# The test morvex reads its key folder; it gets the sandbox's server key.
morvex=$build/db/ldap/test/quenby_test_morvex
keys=$build/db/ldap/test/morvex_keys
cp "$PG_SANDBOX_KEY_FILE" "$keys/.pg.genericKey.dat"
chmod 600 "$keys/.pg.genericKey.dat"
sealed=$(printf '%s\n' "$LDAP_BIND_PW" | "$morvex" -E PG)

"$PG_SANDBOX_BIN/psql" -X -q -v ON_ERROR_STOP=1 -v host="$LDAP_HOST" -v port="$LDAP_PORT" \
    -v cert="$LDAP_CLIENT_CERT" -v key="$LDAP_CLIENT_KEY" -v dn="$LDAP_BIND_DN" \
    -v pw="$LDAP_BIND_PW" -v sealed="$sealed" -v rounds="$rounds" -v connects="$connects" <<'SQL'
SET client_min_messages = warning;
CREATE EXTENSION quenby_ldap;
-- Level 0 on both sides: the same handshake, without a trust store to set up for pg_ldap_open_ssl.
CREATE SERVER corp FOREIGN DATA WRAPPER quenby_ldap_fdw
    OPTIONS (host :'host', port :'port', cert_level 'never', cert_file :'cert', key_file :'key');
CREATE USER MAPPING FOR PUBLIC SERVER corp OPTIONS (bind_dn :'dn', password :'sealed');
-- The backend's user and system CPU time in clock ticks, and its resident memory in kB.
CREATE FUNCTION cpu_ticks() RETURNS bigint LANGUAGE sql AS $$
    SELECT f[12]::bigint + f[13]::bigint
    FROM regexp_split_to_array(split_part(pg_read_file('/proc/' || pg_backend_pid() || '/stat'),
                                          ') ', 2), ' ') AS f $$;
CREATE FUNCTION rss_kb() RETURNS bigint LANGUAGE sql AS $$
    SELECT (regexp_match(pg_read_file('/proc/' || pg_backend_pid() || '/status'),
                         'VmRSS:\s+(\d+)'))[1]::bigint $$;
CREATE FUNCTION by_name(n int) RETURNS void LANGUAGE plpgsql AS $$
BEGIN
    FOR i IN 1..n LOOP
        PERFORM pg_ldap_unbind(pg_ldap_connect('corp'));
    END LOOP;
END $$;
CREATE FUNCTION by_hand(n int, host text, port int, cert text, key text, dn text, pw text)
RETURNS void LANGUAGE plpgsql AS $$
DECLARE
    s bigint;
BEGIN
    FOR i IN 1..n LOOP
        s := pg_ldap_open(host, port);
        PERFORM pg_ldap_open_ssl(s, 0, cert, key);
        IF pg_ldap_bind(s, dn, pw) <> 0 THEN
            RAISE EXCEPTION 'bind failed';
        END IF;
        PERFORM pg_ldap_unbind(s);
    END LOOP;
END $$;
CREATE TEMP TABLE timings (round int, way text, cpu_ms float8, wall_ms float8, rss_kb bigint);
CREATE FUNCTION measure(round int, way text, n int, host text, port int, cert text, key text,
                        dn text, pw text) RETURNS void LANGUAGE plpgsql AS $$
DECLARE
    ticks bigint := cpu_ticks();
    started timestamptz := clock_timestamp();
BEGIN
    IF way = 'by name' THEN
        PERFORM by_name(n);
    ELSE
        PERFORM by_hand(n, host, port, cert, key, dn, pw);
    END IF;
    INSERT INTO timings VALUES (round, way,
        (cpu_ticks() - ticks) * 1000.0 / 100 / n,
        extract(epoch FROM clock_timestamp() - started) * 1000 / n, rss_kb());
END $$;
-- One of each first, so that neither pays for loading the module or the first TLS context.
\o /dev/null
SELECT by_name(1), by_hand(1, :'host', :port, :'cert', :'key', :'dn', :'pw');
INSERT INTO timings VALUES (0, 'start', NULL, NULL, rss_kb());
SELECT measure(r, way, :connects, :'host', :port, :'cert', :'key', :'dn', :'pw')
FROM generate_series(1, :rounds) AS r, unnest('{by name,by hand}'::text[]) AS way
ORDER BY r, way DESC;
\o
\echo 'per connect, best of the rounds (CPU time of the backend; clock ticks of 10 ms over 1,000):'
SELECT way, round(min(cpu_ms)::numeric, 3) AS cpu_ms, round(min(wall_ms)::numeric, 3) AS wall_ms
FROM timings WHERE round > 0 GROUP BY way ORDER BY way DESC;
SELECT round((SELECT min(cpu_ms) FROM timings WHERE way = 'by name')::numeric
             / (SELECT min(cpu_ms) FROM timings WHERE way = 'by hand')::numeric, 2) AS cpu_ratio,
       round((SELECT min(wall_ms) FROM timings WHERE way = 'by name')::numeric
             / (SELECT min(wall_ms) FROM timings WHERE way = 'by hand')::numeric, 2) AS wall_ratio;
\echo 'resident memory of the backend after each round of 1,000 (kB):'
SELECT round, way, rss_kb FROM timings ORDER BY round, way DESC;
SQL
