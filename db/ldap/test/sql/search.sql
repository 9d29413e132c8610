-- Searches and the walking of their results.
CREATE EXTENSION quenby_ldap;
SELECT pg_backend_pid() AS backend \gset
SELECT pg_ldap_open(:'ldap_host', :ldap_port) AS s \gset
SELECT pg_ldap_bind(:s, :'bind_dn', :'bind_pw');

-- Searches, counts and walks a result; the walk reads each entry's first value of `attr`.
CREATE FUNCTION walk(s bigint, base text, scope int, filter text, attr text,
                     OUT code bigint, OUT counted int, OUT walked text, OUT freed int)
LANGUAGE plpgsql AS $$
DECLARE
    r bigint[] := pg_ldap_search(s, base, scope, filter, ARRAY[attr]);
    e bigint;
BEGIN
    code := r[2];
    IF r[1] = 0 THEN RETURN; END IF;
    counted := pg_ldap_count_entries(s, r[1]);
    e := pg_ldap_get_first_entry(s, r[1]);
    walked := '';
    WHILE e <> 0 LOOP
        walked := walked || coalesce(pg_ldap_get_attrib_value(s, e, attr), '-') || ' ';
        e := pg_ldap_get_next_entry(s, e);
    END LOOP;
    freed := pg_ldap_msgfree(r[1]);
END $$;

-- The three scopes, filters, a search that finds nothing, and failed searches (a missing base
-- DN, a filter the library cannot parse): code 32 and -7 come with message handle 0.
SELECT base, scope, filter, w.*
FROM (VALUES ('ou=people,dc=tarn,dc=test', 0, '(objectClass=*)', 'ou'),
             ('ou=people,dc=tarn,dc=test', 1, '(objectClass=*)', 'uid'),
             ('ou=people,dc=tarn,dc=test', 2, '(objectClass=*)', 'cn'),
             ('dc=tarn,dc=test', 2, '(&(objectClass=inetOrgPerson)(uid=*o*))', 'uid'),
             ('ou=empty,dc=tarn,dc=test', 1, '(objectClass=*)', 'cn'),
             ('ou=missing,dc=tarn,dc=test', 2, '(objectClass=*)', 'cn'),
             ('dc=tarn,dc=test', 2, '(((', 'cn')) AS searches(base, scope, filter, attr),
     LATERAL walk(:s, base, scope, filter, attr) AS w;

-- The result array is one-based: the message handle, then the code.
SELECT pg_ldap_search(:s, 'ou=missing,dc=tarn,dc=test', 2, '(objectClass=*)', '{cn}') AS r \gset
SELECT (:'r'::bigint[])[1] AS message, (:'r'::bigint[])[2] AS code;

-- The trace of a search: DEBUG1 lines, NULL elements of the name array skipped, lengths in
-- bytes.
SET client_min_messages = debug1;
SELECT (pg_ldap_search(:s, 'dc=tarn,dc=test', 0, '(cn=Café)', ARRAY[NULL, 'cn', NULL, 'naïve']))[2];
-- No name at all: no search, NULL.
SELECT pg_ldap_search(:s, 'dc=tarn,dc=test', 0, '(objectClass=*)', '{}') IS NULL AS empty_array;
SELECT pg_ldap_search(:s, 'dc=tarn,dc=test', 0, '(objectClass=*)', ARRAY[NULL]::text[]) IS NULL AS all_null;
-- 200 names: only the first 127 are requested.
SELECT pg_ldap_search(:s, 'cn=wide,dc=tarn,dc=test', 0, '(objectClass=*)',
                      ARRAY(SELECT format('tarnAttr%s', to_char(i, 'FM000')) FROM generate_series(1, 200) AS i)) AS r \gset
RESET client_min_messages;
SELECT pg_ldap_get_first_entry(:s, (:'r'::bigint[])[1]) AS e \gset
SELECT array_length(a, 1) AS names, a[1] AS first, a[127] AS last
FROM pg_ldap_get_attributes(:s, :e) AS a;
SELECT pg_ldap_msgfree((:'r'::bigint[])[1]);

-- The wide entry: 130 attributes, of which pg_ldap_get_attributes lists 128 and
-- pg_ldap_get_ad_info shows all.
SELECT pg_ldap_search(:s, 'cn=wide,dc=tarn,dc=test', 0, '(objectClass=*)', '{*}') AS r \gset
SELECT pg_ldap_get_first_entry(:s, (:'r'::bigint[])[1]) AS e \gset
SELECT array_length(a, 1) AS names, a[1] AS first, a[128] AS last
FROM pg_ldap_get_attributes(:s, :e) AS a;
SELECT pg_ldap_get_ad_info(:s, :e);
SELECT pg_ldap_msgfree((:'r'::bigint[])[1]);

-- One entry, read every way, with the trace. The first entry of a result that begins with
-- an entry is the result message itself; it is both a live message and a live entry.
SELECT pg_ldap_search(:s, :'bind_dn', 0, '(objectClass=*)', '{cn,mail,uid,objectClass}') AS r \gset
SELECT (:'r'::bigint[])[1] AS m \gset
SELECT pg_ldap_get_first_entry(:s, :m) AS e \gset
SELECT :e = :m AS entry_is_message, pg_ldap_count_entries(:s, :m);
SET client_min_messages = debug2;
SELECT pg_ldap_get_attributes(:s, :e);
SELECT pg_ldap_get_attrib_vals(:s, :e, 'mail');
SELECT pg_ldap_get_attrib_value(:s, :e, 'cn');
SELECT pg_ldap_get_attrib_vals(:s, :e, 'telephoneNumber');
SELECT pg_ldap_get_attrib_value(:s, :e, 'telephoneNumber');
SELECT pg_ldap_get_ad_info(:s, :e);
RESET client_min_messages;
-- The value was not requested: NULL after the WARNING.
SELECT pg_ldap_get_attrib_value(:s, :e, 'sn');
SELECT pg_ldap_get_next_entry(:s, :e) AS after_last;
SELECT pg_ldap_msgfree(:m);

-- Binary values: cut at the first zero byte; a first value that starts with one is NULL
-- without a WARNING; a value that is not UTF-8 never becomes text, and shows in hex in the
-- INFO lines.
SELECT pg_ldap_search(:s, 'cn=binary,dc=tarn,dc=test', 0, '(objectClass=*)', '{*}') AS r \gset
SELECT pg_ldap_get_first_entry(:s, (:'r'::bigint[])[1]) AS e \gset
SELECT pg_ldap_get_attrib_vals(:s, :e, 'tarnBlob') AS blob_values,
       pg_ldap_get_attrib_value(:s, :e, 'tarnBlob') AS blob_value,
       pg_ldap_get_attrib_vals(:s, :e, 'tarnLeadZero') AS lead_zero_values,
       pg_ldap_get_attrib_value(:s, :e, 'tarnLeadZero') IS NULL AS lead_zero_value_is_null;
SELECT pg_ldap_get_attrib_vals(:s, :e, 'tarnBadText');
SELECT pg_ldap_get_attrib_value(:s, :e, 'tarnBadText');
SELECT pg_ldap_get_ad_info(:s, :e);
SELECT pg_ldap_msgfree((:'r'::bigint[])[1]);

-- A subtree search from above a referral (ou=elsewhere, to a server that refuses anonymous
-- searches) is not chased: code 0 and every entry of this server, the DNs ldapsearch prints
-- without -C.
\set ldapsearch_dns `ldapsearch -x -LLL -o ldif-wrap=no -H "$LDAP_URI" -b "$LDAP_BASE" -s sub '(objectClass=*)' 1.1 | python3 -c 'import sys, base64; print("|".join(sorted(base64.b64decode(l[5:]).decode() if l.startswith("dn:: ") else l[4:] for l in sys.stdin.read().splitlines() if l.startswith("dn:"))))'`
SELECT pg_ldap_search(:s, :'base', 2, '(objectClass=*)', '{entryDN}') AS r \gset
WITH RECURSIVE walk(e) AS (
    SELECT pg_ldap_get_first_entry(:s, (:'r'::bigint[])[1])
    UNION ALL
    SELECT pg_ldap_get_next_entry(:s, e) FROM walk WHERE e <> 0)
SELECT (:'r'::bigint[])[2] AS code, count(*) AS entries,
       string_agg(dn, '|' ORDER BY dn COLLATE "C") = :'ldapsearch_dns' AS same_as_ldapsearch
FROM walk, pg_ldap_get_attrib_value(:s, e, 'entryDN') AS dn WHERE e <> 0;
SELECT pg_ldap_msgfree((:'r'::bigint[])[1]);

-- Entry names: each entry of a subtree walk, and the root DSE's empty one.
SELECT pg_ldap_search(:s, 'ou=people,dc=tarn,dc=test', 2, '(objectClass=*)', '{1.1}') AS r \gset
WITH RECURSIVE walk(n, entry) AS (
    SELECT 1, pg_ldap_get_first_entry(:s, (:'r'::bigint[])[1])
    UNION ALL
    SELECT n + 1, pg_ldap_get_next_entry(:s, entry) FROM walk WHERE entry <> 0)
SELECT n, pg_ldap_get_dn(:s, entry) FROM walk WHERE entry <> 0 ORDER BY n;
SELECT pg_ldap_msgfree((:'r'::bigint[])[1]);
SELECT pg_ldap_search(:s, '', 0, '(objectClass=*)', '{namingContexts}') AS r \gset
SELECT pg_ldap_get_dn(:s, pg_ldap_get_first_entry(:s, (:'r'::bigint[])[1])) = '' AS root_dse_dn_empty;
SELECT pg_ldap_msgfree((:'r'::bigint[])[1]);

-- Values as bytes, whole: zero bytes, bytes that are no UTF-8, several values; NULL after the
-- WARNING when there is none.
SELECT pg_ldap_search(:s, 'dc=tarn,dc=test', 2, '(|(cn=binary)(uid=alice))', '{*}') AS r \gset
SELECT pg_ldap_get_first_entry(:s, (:'r'::bigint[])[1]) AS e \gset
SELECT pg_ldap_get_next_entry(:s, :e) AS e2 \gset
SELECT pg_ldap_get_dn(:s, entry), attribute, pg_ldap_get_attrib_bytes(:s, entry, attribute)
FROM (VALUES (:e, 'mail'), (:e2, 'tarnBlob'), (:e2, 'tarnLeadZero'), (:e2, 'tarnBadText'),
             (:e2, 'mail')) AS a(entry, attribute);
SELECT pg_ldap_msgfree((:'r'::bigint[])[1]);

-- Searches as rows: one per value of each requested attribute of each entry, in the server's
-- order; the name as the server spells it.
SELECT * FROM pg_ldap_search_rows(:s, 'ou=people,dc=tarn,dc=test', 2, '(objectClass=*)', '{UID,mail,ou}');
-- In pages of 1, 2, 3 or more entries than there are, the rows are those of one plain search.
CREATE FUNCTION tree_rows(page_size int) RETURNS text[] LANGUAGE sql AS $$
    SELECT array_agg(format('%s|%s|%s', dn, attribute, value) ORDER BY n)
    FROM pg_ldap_search_rows(current_setting('quenby.s')::bigint, 'dc=tarn,dc=test', 2,
                             '(objectClass=*)', '{cn,ou,uid,mail}', page_size)
         WITH ORDINALITY AS r(dn, attribute, value, n) $$;
SELECT set_config('quenby.s', :'s', false) \gset
SELECT page_size, cardinality(tree_rows(page_size)) AS rows, tree_rows(page_size) = tree_rows(0) AS same_rows
FROM (VALUES (0), (1), (2), (3), (1000)) AS p(page_size);
-- No name: no search, no row.
SELECT count(*) FROM pg_ldap_search_rows(:s, 'dc=tarn,dc=test', 0, '(objectClass=*)', ARRAY[NULL]::text[]);
-- Failures are ERRORs naming the result code, never a short set: a missing base DN, a filter
-- the library cannot parse, values that are no text (on the third page; a zero byte is no text
-- either: such values are for pg_ldap_get_attrib_bytes), a negative page size. The session
-- stays usable.
SELECT * FROM pg_ldap_search_rows(:s, 'ou=missing,dc=tarn,dc=test', 2, '(objectClass=*)', '{cn}', 2);
SELECT * FROM pg_ldap_search_rows(:s, 'dc=tarn,dc=test', 2, '(((', '{cn}');
SELECT * FROM pg_ldap_search_rows(:s, 'dc=tarn,dc=test', 1, '(objectClass=*)', '{ou,tarnBadText}', 1);
SELECT * FROM pg_ldap_search_rows(:s, 'cn=binary,dc=tarn,dc=test', 0, '(objectClass=*)', '{tarnBlob}');
SELECT * FROM pg_ldap_search_rows(:s, 'dc=tarn,dc=test', 0, '(objectClass=*)', '{dc}', -1);
SELECT * FROM pg_ldap_search_rows(:s, 'dc=tarn,dc=test', 0, '(objectClass=*)', '{dc}', 1);

-- Handle 0 in each position.
SELECT pg_ldap_search(0, 'dc=tarn,dc=test', 2, '(cn=*)', '{cn}');
SELECT pg_ldap_count_entries(0, 0);
SELECT pg_ldap_get_first_entry(0, 0);
SELECT pg_ldap_get_next_entry(0, 0);
SELECT pg_ldap_get_attributes(0, 0);
SELECT pg_ldap_get_attrib_vals(0, 0, 'cn');
SELECT pg_ldap_get_attrib_value(0, 0, 'cn');
SELECT pg_ldap_get_ad_info(0, 0);
SELECT pg_ldap_get_dn(0, 0);
SELECT pg_ldap_get_attrib_bytes(0, 0, 'cn');
SELECT * FROM pg_ldap_search_rows(0, 'dc=tarn,dc=test', 2, '(cn=*)', '{cn}');
SELECT pg_ldap_msgfree(0);
SELECT pg_ldap_get_next_entry(:s, 0);
SELECT pg_ldap_get_ad_info(7, 0);

SELECT pg_ldap_unbind(:s);
SELECT pg_backend_pid() = :backend AS same_backend;

-- A database whose encoding cannot hold a name: the name is an ERROR, as a value is.
CREATE DATABASE quenby_search_euc_jp ENCODING 'EUC_JP' LOCALE 'C' TEMPLATE template0;
\c quenby_search_euc_jp
CREATE EXTENSION quenby_ldap;
SELECT pg_ldap_open(:'ldap_host', :ldap_port) AS s \gset
SELECT pg_ldap_bind(:s, :'bind_dn', :'bind_pw');
SELECT pg_ldap_search(:s, 'dc=tarn,dc=test', 2, '(cn=price*)', '{objectClass}') AS r \gset
SELECT pg_ldap_get_dn(:s, pg_ldap_get_first_entry(:s, (:'r'::bigint[])[1]));
SELECT * FROM pg_ldap_search_rows(:s, 'dc=tarn,dc=test', 2, '(cn=price*)', '{objectClass}');
SELECT pg_ldap_unbind(:s);
