#!/usr/bin/env bash
# quenby_ldap against ldapsearch on one directory, limited like Active Directory's MaxPageSize
# (a plain search returns at most 500 entries, a paged one all of them) and holding 10,000 bulk
# entries: what SQL reads must be what ldapsearch prints. Both bind as the ordinary test user,
# since the rootdn is exempt from limits.
#
# Needs the environment of scripts/pg_sandbox.sh (PGHOST, PGPORT, ...) with this build's
# extension; starts its own slapd.
set -euo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)
bulk=10000

slapd_work=$(mktemp -d /tmp/quenby_versus.XXXXXX)
trap '"$root/scripts/slapd_sandbox.sh" stop "$slapd_work"' EXIT
"$root/scripts/slapd_sandbox.sh" start "$slapd_work" "$bulk" --max-page-size 500
# shellcheck disable=SC1091
. "$slapd_work/env"
psql -X -q -v ON_ERROR_STOP=1 <<'SQL'
CREATE EXTENSION quenby_ldap;
-- The values of the first entry under the base that the filter finds, in LDIF's base64 form.
CREATE FUNCTION ldif_bytes(s bigint, base text, filter text, attributes text[])
RETURNS SETOF text LANGUAGE sql AS $$
    SELECT a || ':: ' || encode(v, 'base64')
    FROM (SELECT pg_ldap_get_first_entry(s, (pg_ldap_search(s, base, 2, filter, attributes))[1])
             AS e) AS found,
         unnest(attributes) WITH ORDINALITY AS names(a, n),
         unnest(pg_ldap_get_attrib_bytes(s, e, a)) WITH ORDINALITY AS bytes(v, m)
    ORDER BY n, m $$;
SQL

# Runs SQL in a backend with an open and bound session :s; prints the rows tab-separated.
query() {
    psql -X -q -At -F $'\t' -v ON_ERROR_STOP=1 -v host="$LDAP_HOST" -v port="$LDAP_PORT" \
        -v dn="$LDAP_BIND_DN" -v pw="$LDAP_BIND_PW" <<SQL
\o /dev/null
SELECT pg_ldap_open(:'host', :port) AS s \gset
SELECT pg_ldap_bind(:s, :'dn', :'pw');
\o
$1
SQL
}

ldap() {
    ldapsearch -x -LLL -o ldif-wrap=no -H "$LDAP_URI" -D "$LDAP_BIND_DN" -w "$LDAP_BIND_PW" "$@"
}

# awk: the value of an LDIF line "name: value" or "name:: base64".
readonly ldif_text='
    function text(line, name,    command, decoded) {
        if (index(line, name ":: ") != 1) return substr(line, length(name) + 3)
        command = "printf %s \"" substr(line, length(name) + 4) "\" | base64 -d"
        command | getline decoded
        close(command)
        return decoded
    }'

# LDIF as "dn<TAB>attribute<TAB>value" lines (paged results add comment lines).
ldif_rows() {
    awk "$ldif_text"'
        /^$/ || /^#/ { next }
        /^dn::? / { dn = text($0, "dn"); next }
        { name = $0; sub(/::? .*/, "", name); print dn "\t" name "\t" text($0, name) }'
}

ldif_dns() {
    awk "$ldif_text"' /^dn::? / { print text($0, "dn") }'
}

# The entry count, row count and checksum of a row listing.
summary() {
    local rows
    rows=$(cat)
    printf 'entries %s, rows %s, md5 %s\n' "$(cut -f1 <<<"$rows" | uniq | wc -l)" \
        "$(wc -l <<<"$rows")" "$(md5sum <<<"$rows" | cut -d' ' -f1)"
}

status=0
same() {
    local what=$1 from_sql=$2 from_ldapsearch=$3
    if [ "$from_sql" = "$from_ldapsearch" ]; then
        echo "ok: $what: $(head -n 1 <<<"$from_sql")"
    else
        echo "FAILED: $what (< SQL, > ldapsearch)"
        diff <(echo "$from_sql") <(echo "$from_ldapsearch") | head -n 20 || true
        status=1
    fi
}

persons='(objectClass=inetOrgPerson)'
same "paged rows (page size 200)" \
    "$(query "SELECT * FROM pg_ldap_search_rows(:s, '$LDAP_BULK_BASE', 1, '$persons',
                                                 '{cn,mail}', page_size => 200)" | summary)" \
    "$(ldap -E pr=200/noprompt -b "$LDAP_BULK_BASE" -s one "$persons" cn mail | ldif_rows | summary)"

code_of_ldapsearch=0
ldap -b "$LDAP_BULK_BASE" -s one "$persons" cn >/dev/null 2>&1 || code_of_ldapsearch=$?
same "plain search past the limit" \
    "$(query "SELECT count(*) FROM pg_ldap_search_rows(:s, '$LDAP_BULK_BASE', 1, '$persons',
                                                        '{cn}', page_size => 0)" 2>&1 |
        sed -n 's/.*LDAP search error: \([0-9]*\) .*/code \1/p')" \
    "code $code_of_ldapsearch"

# Every bulk entry's jpegPhoto (binary, zero bytes included) read whole, paged past the limit.
same "paged whole values as bytes (page size 500)" \
    "$(query "SELECT dn || E'\t' || attribute || E'\t' || translate(encode(value, 'base64'), E'\n', '')
              FROM pg_ldap_search_bytes(:s, '$LDAP_BULK_BASE', 1, '$persons', '{jpegPhoto}',
                                        page_size => 500)" | summary)" \
    "$(ldap -E pr=500/noprompt -b "$LDAP_BULK_BASE" -s one "$persons" jpegPhoto |
        awk '/^dn: / { dn = substr($0, 5) } /^jpegPhoto:: / { print dn "\tjpegPhoto\t" substr($0, 13) }' |
        summary)"

binary='{tarnBlob,tarnLeadZero,tarnBadText}'
same "whole values as bytes" \
    "$(query "SELECT ldif_bytes(:s, '$LDAP_BASE', '(cn=binary)', '$binary');
              SELECT ldif_bytes(:s, '$LDAP_BASE', '(cn=price*)', '{cn}');")" \
    "$(ldap -b "$LDAP_BASE" '(cn=binary)' tarnBlob tarnLeadZero tarnBadText | grep -v -e '^dn' -e '^$' -e '^#'
       ldap -b "$LDAP_BASE" '(cn=price*)' cn | grep -v -e '^dn' -e '^$' -e '^#')"

tree='(!(uid=user*))'
same "DNs of a subtree search" \
    "$(query "SELECT pg_ldap_search(:s, '$LDAP_BASE', 2, '$tree', '{1.1}') AS r \gset
              WITH RECURSIVE walk(n, entry) AS (
                  SELECT 1, pg_ldap_get_first_entry(:s, (:'r'::bigint[])[1])
                  UNION ALL
                  SELECT n + 1, pg_ldap_get_next_entry(:s, entry) FROM walk WHERE entry <> 0)
              SELECT pg_ldap_get_dn(:s, entry) FROM walk WHERE entry <> 0 ORDER BY n")" \
    "$(ldap -b "$LDAP_BASE" -s sub "$tree" 1.1 | ldif_dns)"

exit $status
