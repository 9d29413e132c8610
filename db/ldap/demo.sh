#!/usr/bin/env bash
# quenby_ldap from SQL against the throwaway slapd of scripts/slapd_sandbox.sh: open a session,
# start TLS with the client certificate, bind as the test user, search the people subtree,
# walk the entries printing an attribute of each, and release everything.
#
# Needs the environment of a running scripts/pg_sandbox.sh (PGHOST, PGPORT, ...) whose build
# has the extension, and of a running scripts/slapd_sandbox.sh (LDAP_HOST, LDAP_PORT, ...).
set -euo pipefail

psql -X -q -v ON_ERROR_STOP=1 \
    -v host="$LDAP_HOST" -v port="$LDAP_PORT" -v base="ou=people,$LDAP_BASE" \
    -v dn="$LDAP_BIND_DN" -v pw="$LDAP_BIND_PW" \
    -v cert="$LDAP_CLIENT_CERT" -v key="$LDAP_CLIENT_KEY" <<'SQL'
CREATE EXTENSION IF NOT EXISTS quenby_ldap;

\echo '-- open a session, start TLS presenting the client certificate, bind'
SELECT pg_ldap_open(:'host', :port) AS session \gset
SELECT pg_ldap_open_ssl(:session, 0, :'cert', :'key') AS starttls,
       pg_ldap_bind(:session, :'dn', :'pw') AS bind;

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
