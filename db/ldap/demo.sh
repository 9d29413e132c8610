#!/usr/bin/env bash
# quenby_ldap from SQL against the throwaway slapd of scripts/slapd_sandbox.sh: define the
# directory server once with the password sealed under the server key, connect by its name
# (StartTLS with the client certificate, bind as the test user), search the people subtree,
# walk the entries printing an attribute of each, and release everything.
#   demo.sh <morvex-binary> <keydir>
# <morvex-binary> must be a build whose key directory is <keydir>, a throwaway folder: the demo
# writes the server key there (.pg.genericKey.dat) and gives the cluster a copy of it.
#
# Needs the environment of a running scripts/pg_sandbox.sh (PGHOST, PGPORT, ...) whose build
# has the extension, and of a running scripts/slapd_sandbox.sh (LDAP_HOST, LDAP_PORT, ...).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
morvex=$1
keydir=$2

printf 'GENERIC_KEY: %s\n' 'Demo-ServerKey16' >"$keydir/.pg.genericKey.dat"
chmod 600 "$keydir/.pg.genericKey.dat"
export SERVER_KEY=$keydir/.pg.genericKey.dat
shared=$("$root/scripts/pg_sandbox.sh" share SERVER_KEY)
eval "$shared"
echo "server key: $keydir/.pg.genericKey.dat, dbcipher.key_file = $SERVER_KEY"
# The setting is dbcipher's: the server knows it once dbcipher is loaded.
psql -X -q -v ON_ERROR_STOP=1 -c "LOAD 'dbcipher'" \
    -c "ALTER SYSTEM SET dbcipher.key_file = '$SERVER_KEY'" -c "SELECT pg_reload_conf()" >/dev/null
for _ in $(seq 100); do
    [ "$(psql -X -At -c "LOAD 'dbcipher'" -c 'SHOW dbcipher.key_file')" = "$SERVER_KEY" ] && break
    sleep 0.1
done
sealed=$(printf '%s\n' "$LDAP_BIND_PW" | "$morvex" -E PG)
echo "the bind password sealed by morvex -E PG: $sealed"

psql -X -q -v ON_ERROR_STOP=1 \
    -v host="$LDAP_HOST" -v port="$LDAP_PORT" -v base="ou=people,$LDAP_BASE" \
    -v dn="$LDAP_BIND_DN" -v sealed="$sealed" -v ca="$LDAP_CA_CERT" \
    -v cert="$LDAP_CLIENT_CERT" -v key="$LDAP_CLIENT_KEY" <<'SQL'
CREATE EXTENSION IF NOT EXISTS quenby_ldap;

\echo '-- define the directory server once, and the account every role binds with'
CREATE SERVER demo_directory FOREIGN DATA WRAPPER quenby_ldap_fdw
    OPTIONS (host :'host', port :'port', ca_file :'ca', cert_file :'cert', key_file :'key');
CREATE USER MAPPING FOR PUBLIC SERVER demo_directory OPTIONS (bind_dn :'dn', password :'sealed');
SELECT srvname, umoptions FROM pg_user_mappings;

\echo '-- connect by name: StartTLS presenting the client certificate, then the bind'
SELECT pg_ldap_connect('demo_directory') AS session \gset
SELECT server, tls, bound_dn FROM pg_ldap_sessions();

\echo '-- search the people subtree for persons'
SELECT pg_ldap_search(:session, :'base', 2, '(objectClass=inetOrgPerson)', '{uid,cn,mail}') AS search \gset
SELECT (:'search'::bigint[])[2] AS result_code,
       pg_ldap_count_entries(:session, (:'search'::bigint[])[1]) AS entries;

\echo '-- walk the entries'
WITH RECURSIVE walk(n, entry) AS (
    SELECT 1, pg_ldap_get_first_entry(:session, (:'search'::bigint[])[1])
    UNION ALL
    SELECT n + 1, pg_ldap_get_next_entry(:session, entry) FROM walk WHERE entry <> 0)
SELECT n, pg_ldap_get_attrib_value(:session, entry, 'uid') AS uid,
       pg_ldap_get_attrib_value(:session, entry, 'cn') AS cn
FROM walk WHERE entry <> 0 ORDER BY n;

\echo '-- release the result and close the session'
SELECT pg_ldap_msgfree((:'search'::bigint[])[1]) AS msgfree, pg_ldap_unbind(:session) AS unbind;
SQL
