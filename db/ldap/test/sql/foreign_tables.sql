-- A directory as foreign tables: options, typed columns, conditions sent to the server with
-- exactly the rows PostgreSQL's own evaluation keeps, value ranges, and no writes.
CREATE EXTENSION quenby_ldap;
SET TimeZone = 'UTC';

CREATE SERVER corp FOREIGN DATA WRAPPER quenby_ldap_fdw
    OPTIONS (host :'ldap_host', port :'ldap_port', ca_file :'ca_cert', cert_file :'client_cert',
             key_file :'client_key');
CREATE USER MAPPING FOR PUBLIC SERVER corp OPTIONS (bind_dn :'bind_dn', password :'sealed_pw');

-- Every table and column option, good and bad.
CREATE FUNCTION try_table(options text, columns text DEFAULT 'cn text') RETURNS text
LANGUAGE plpgsql AS $$
BEGIN
    EXECUTE format('CREATE FOREIGN TABLE probe (%s) SERVER corp OPTIONS (%s)', columns, options);
    DROP FOREIGN TABLE probe;
    RETURN 'ok';
EXCEPTION WHEN OTHERS THEN
    RETURN SQLSTATE || ': ' || SQLERRM;
END $$;
SELECT options, columns, try_table(options, columns) AS outcome
FROM (VALUES ($$base 'dc=tarn,dc=test', scope 'one', filter '(cn=*)', page_size '10'$$, 'cn text'),
             ($$scope 'base'$$, 'cn text'),
             ($$scope 'sub'$$, 'cn text'),
             ($$page_size '0'$$, 'cn text'),
             ($$page_size '-1'$$, 'cn text'),
             ($$page_size 'many'$$, 'cn text'),
             ($$filter 'cn=x'$$, 'cn text'),
             ($$filter '(cn=x))('$$, 'cn text'),
             ($$filter '(&(cn=x)(sn=y))'$$, 'cn text'),
             ($$host 'elsewhere'$$, 'cn text'),
             ($$base 'dc=x'$$, $$mails text[] OPTIONS (attribute 'mail')$$),
             ($$base 'dc=x'$$, $$oid text OPTIONS (attribute '2.5.4.3')$$),
             ($$base 'dc=x'$$, $$photo bytea OPTIONS (attribute 'jpegPhoto;binary')$$),
             ($$base 'dc=x'$$, $$evil text OPTIONS (attribute 'cn=*)(uid')$$),
             ($$base 'dc=x'$$, $$c text OPTIONS (attr 'cn')$$)) AS t(options, columns);

-- The directory the queries below read, written through ldapadd from this table: the same
-- rows as a local table give the truth each foreign query must match.
CREATE TABLE truth (uid text, cn text, sn text, description text, employeenumber text);
INSERT INTO truth VALUES
    ('t01', 'plain', 'One', 'first', '42'),
    ('t02', 'Plain', 'Two', NULL, '042'),
    ('t03', 'PLAIN', 'Three', 'third', NULL),
    ('t04', 'Star*Name', 'Paren (x)', NULL, '7'),
    ('t05', '*)(uid=*', 'Inject', 'x*', NULL),
    ('t06', 'Paren (x)', 'Star*Name', 'paren', NULL),
    ('t07', 'Back\slash', 'Back\slash', NULL, NULL),
    ('t08', 'Zoë Ünicode', 'zoë ünicode', 'ünicode', NULL),
    ('t09', 'zoë ünicode', 'Zoë', NULL, NULL),
    ('t10', 'MiXeD Case', 'mixed case', 'MiXeD', NULL),
    ('t11', 'mixed case', 'MIXED CASE', NULL, NULL),
    ('t12', 'prefix one', 'P', 'p1', NULL),
    ('t13', 'Prefix two', 'P', NULL, NULL),
    ('t14', 'prefix  three', 'P', 'p3', NULL),
    ('t15', 'prefixless', 'P', NULL, NULL),
    ('t16', 'a  b', 'Space', NULL, NULL),
    ('t17', 'a b', 'Space', NULL, NULL),
    ('t18', 'x', 'End', 'x', NULL);
-- Each value base64, so that no byte of it means anything to LDIF or to COPY.
CREATE FUNCTION ldif(name text, value text) RETURNS text LANGUAGE sql AS $$
    SELECT name || ':: ' || translate(encode(convert_to(value, 'UTF8'), 'base64'), E'\n', '') $$;
CREATE TABLE ldif_lines (n serial, line text);
INSERT INTO ldif_lines (line) VALUES ('dn: ou=tables,dc=tarn,dc=test'),
    ('objectClass: organizationalUnit'), ('ou: tables'), ('');
INSERT INTO ldif_lines (line)
SELECT l FROM truth, LATERAL (VALUES (ldif('dn', 'uid=' || uid || ',ou=tables,dc=tarn,dc=test')),
    ('objectClass: inetOrgPerson'), (ldif('uid', uid)), (ldif('cn', cn)), (ldif('sn', sn)),
    (ldif('description', description)), (ldif('employeeNumber', employeenumber)), ('')) AS v(l)
WHERE l IS NOT NULL ORDER BY uid;
-- Values for the conversions: one entry each, the value in description.
CREATE TABLE conversions (cn text, type text, stored text[], expected text);
INSERT INTO conversions VALUES
    ('int4', 'int4', '{42}', '42'),
    ('int4 leading zero', 'int4', '{042}', '42'),
    ('int2 negative', 'int2', '{-7}', '-7'),
    ('int8', 'int8', '{9000000000}', '9000000000'),
    ('int4 too large', 'int4', '{9000000000}', NULL),
    ('int4 not digits', 'int4', '{4x2}', NULL),
    ('int4 plus sign', 'int4', '{+4}', NULL),
    ('int4 two values', 'int4', '{1,2}', NULL),
    ('int4 array', 'int4[]', '{3,1,2}', '{3,1,2}'),
    ('bool true', 'boolean', '{TRUE}', 'true'),
    ('bool false', 'boolean', '{FALSE}', 'false'),
    ('bool lower case', 'boolean', '{true}', NULL),
    ('generalized time', 'timestamptz', '{20240131235959.0Z}', '2024-01-31 23:59:59+00'),
    ('generalized time fraction', 'timestamptz', '{20240131235959.25Z}', '2024-01-31 23:59:59.25+00'),
    ('generalized time offset', 'timestamptz', '{20240201013000+0130}', '2024-02-01 00:00:00+00'),
    ('digits alone are a file time', 'timestamptz', '{20240131235959}', '1601-01-24 10:13:33.123595+00'),
    ('generalized time Feb 30', 'timestamptz', '{20240230000000Z}', NULL),
    ('file time', 'timestamptz', '{133497024000000000}', '2024-01-14 10:40:00+00'),
    ('file time never', 'timestamptz', '{9223372036854775807}', 'infinity'),
    ('file time zero', 'timestamptz', '{0}', '-infinity'),
    ('time words', 'timestamptz', '{yesterday}', NULL),
    ('bytea', 'bytea', '{abc}', '\x616263'),
    ('numeric by input', 'numeric', '{3.25}', '3.25'),
    ('uuid by input', 'uuid', '{not-a-uuid}', NULL),
    ('text array', 'text[]', '{b,a}', '{b,a}');
INSERT INTO ldif_lines (line) VALUES ('dn: ou=types,dc=tarn,dc=test'),
    ('objectClass: organizationalUnit'), ('ou: types'), ('');
INSERT INTO ldif_lines (line)
SELECT l FROM (SELECT cn, unnest(stored) AS value, generate_subscripts(stored, 1) AS i FROM conversions) c,
    LATERAL (VALUES (0, CASE WHEN i = 1 THEN ldif('dn', 'cn=' || cn || ',ou=types,dc=tarn,dc=test') END),
                    (1, CASE WHEN i = 1 THEN 'objectClass: device' END),
                    (2, CASE WHEN i = 1 THEN ldif('cn', cn) END),
                    (3, ldif('description', value)),
                    (4, CASE WHEN i = array_length((SELECT stored FROM conversions x WHERE x.cn = c.cn), 1) THEN '' END)) AS v(k, l)
WHERE l IS NOT NULL ORDER BY cn, i, k;
\set add_entries 'ldapadd -x -H ldap://' :ldap_host ':' :ldap_port ' -D cn=admin,dc=tarn,dc=test -w admin-secret >/dev/null'
COPY (SELECT line FROM ldif_lines ORDER BY n) TO PROGRAM :'add_entries';

-- Conversions, each with its ERROR.
CREATE FUNCTION converted(cn text, type text) RETURNS text LANGUAGE plpgsql AS $$
DECLARE
    result text;
BEGIN
    EXECUTE format('CREATE FOREIGN TABLE typed (cn text, description %s) SERVER corp '
                   'OPTIONS (base ''ou=types,dc=tarn,dc=test'', scope ''one'')', type);
    EXECUTE 'SELECT description::text FROM typed WHERE cn = $1' INTO STRICT result USING cn;
    DROP FOREIGN TABLE typed;
    RETURN result;
EXCEPTION WHEN OTHERS THEN
    RETURN SQLSTATE || ': ' || SQLERRM;
END $$;
SELECT cn, type, CASE WHEN outcome IS NOT DISTINCT FROM expected THEN 'as expected' ELSE outcome END
FROM conversions, converted(cn, type) AS outcome ORDER BY cn;

CREATE FOREIGN TABLE people (dn text, uid text, cn text, sn text, description text,
                             employeenumber int, title text, mails text[] OPTIONS (attribute 'mail'))
    SERVER corp OPTIONS (base 'ou=tables,dc=tarn,dc=test', filter '(objectClass=inetOrgPerson)');
CREATE FOREIGN TABLE alice (dn text, "MAIL" text[], Uid text, objectclass text[])
    SERVER corp OPTIONS (base 'uid=alice,ou=people,dc=tarn,dc=test', scope 'base');
CREATE VIEW truth_typed AS SELECT uid, cn, sn, description, employeenumber::int, NULL::text AS title FROM truth;

-- The rows with the conditions sent equal those of the table's filter alone, and the truth.
CREATE FUNCTION rows_of(relation text, condition text) RETURNS text[] LANGUAGE plpgsql AS $$
DECLARE
    uids text[];
BEGIN
    EXECUTE format('SELECT coalesce(array_agg(uid ORDER BY uid), ''{}'') FROM %s WHERE %s',
                   relation, condition) INTO uids;
    RETURN uids;
END $$;
CREATE FUNCTION sent_filter(condition text) RETURNS text LANGUAGE plpgsql AS $$
DECLARE
    line text;
BEGIN
    FOR line IN EXECUTE 'EXPLAIN (VERBOSE, COSTS OFF) SELECT uid FROM people WHERE ' || condition LOOP
        IF line LIKE '%LDAP filter:%' THEN
            RETURN substring(line FROM 'LDAP filter: (.*)$');
        END IF;
    END LOOP;
    RETURN NULL;
END $$;
CREATE TABLE queries (condition text);
INSERT INTO queries VALUES
    ($$cn = 'plain'$$), ($$cn = 'Plain'$$), ($$'PLAIN' = cn$$), ($$cn = 'nobody'$$),
    ($$cn = 'Star*Name'$$), ($$cn = '*)(uid=*'$$), ($$cn = 'Paren (x)'$$), ($$cn = 'Back\slash'$$),
    ($$cn = 'Zoë Ünicode'$$), ($$cn = 'zoë ünicode'$$), ($$cn = 'mixed case'$$),
    ($$cn = 'a b'$$), ($$cn = 'a  b'$$), ($$cn = ''$$), ($$cn = 'x '$$),
    ($$cn IN ('plain', 'MiXeD Case', 'nobody')$$), ($$uid = ANY ('{t01,NULL,t18}')$$),
    ($$sn IN ('Star*Name', 'Paren (x)')$$), ($$cn NOT IN ('plain', 'Plain')$$),
    ($$cn LIKE 'prefix%'$$), ($$cn LIKE 'Prefix%'$$), ($$cn LIKE 'prefix %'$$),
    ($$cn LIKE 'prefix  %'$$), ($$cn LIKE 'Star*%'$$), ($$cn LIKE '*)(%'$$),
    ($$cn LIKE 'Back\\%'$$), ($$cn LIKE 'pre_ix%'$$), ($$cn LIKE '%case'$$), ($$cn LIKE 'plain'$$),
    ($$cn LIKE 'Zoë%'$$), ($$cn ILIKE 'plain'$$), ($$cn LIKE '%'$$), ($$cn LIKE 'pre\%%'$$),
    ($$description IS NOT NULL$$), ($$description IS NULL$$), ($$title IS NULL$$),
    ($$NOT (cn = 'plain')$$), ($$cn <> 'plain'$$), ($$NOT (description IS NOT NULL)$$),
    ($$cn = 'plain' OR sn = 'Paren (x)'$$), ($$cn = 'plain' OR lower(cn) = 'plain'$$),
    ($$cn = 'plain' AND description IS NOT NULL$$),
    ($$(cn LIKE 'prefix%' OR uid = 't01') AND description IS NOT NULL$$),
    ($$(cn = 'Plain' AND lower(sn) = 'two') OR uid = 't18'$$),
    ($$employeenumber = 42$$), ($$employeenumber IS NOT NULL$$),
    ($$cn = 'mixed case' COLLATE "C"$$), ($$upper(cn) = 'PLAIN'$$);
SET quenby_ldap.pushdown = off;
CREATE TABLE filtered_locally AS SELECT condition, rows_of('people', condition) AS uids FROM queries;
RESET quenby_ldap.pushdown;
SELECT q.condition, cardinality(l.uids) AS rows,
       rows_of('people', q.condition) = l.uids AS pushed_equals_local,
       rows_of('truth_typed', q.condition) = l.uids AS equals_truth,
       sent_filter(q.condition) AS ldap_filter
FROM queries q JOIN filtered_locally l USING (condition) ORDER BY q.condition;

-- With pushdown off the table's filter goes alone.
SET quenby_ldap.pushdown = off;
SELECT sent_filter($$cn = 'plain'$$) AS ldap_filter;
RESET quenby_ldap.pushdown;

-- Multi-valued attributes as arrays, names matched whatever their case, dn the entry's name.
SELECT dn, "MAIL", uid, 'inetOrgPerson' = ANY (objectclass) AS person FROM alice;
SELECT count(*) AS entries, count(DISTINCT dn) AS names FROM people;

-- Binary values whole, as ldapsearch prints them.
\set blob `ldapsearch -x -LLL -H "$LDAP_URI" -b cn=binary,dc=tarn,dc=test -s base tarnBlob | sed -n 's/^tarnBlob:: //p'`
\set lead_zero `ldapsearch -x -LLL -H "$LDAP_URI" -b cn=binary,dc=tarn,dc=test -s base tarnLeadZero | sed -n 's/^tarnLeadZero:: //p'`
CREATE FOREIGN TABLE binary_values (tarnblob bytea, tarnleadzero bytea, tarnbadtext bytea)
    SERVER corp OPTIONS (base 'cn=binary,dc=tarn,dc=test', scope 'base');
SELECT encode(tarnblob, 'base64') = :'blob' AS blob_equal,
       encode(tarnleadzero, 'base64') = :'lead_zero' AS lead_zero_equal,
       length(tarnbadtext) AS bad_text_bytes FROM binary_values;
CREATE FOREIGN TABLE binary_as_text (tarnbadtext text)
    SERVER corp OPTIONS (base 'cn=binary,dc=tarn,dc=test', scope 'base');
SELECT * FROM binary_as_text;

-- Joins with application tables.
CREATE TABLE accounts (uid text PRIMARY KEY, plan text);
INSERT INTO accounts VALUES ('t01', 'gold'), ('t05', 'free'), ('t99', 'none');
SELECT a.uid, a.plan, p.cn FROM accounts a JOIN people p USING (uid) ORDER BY a.uid;
-- As the inner side of a nested loop, the scan starts again for each account.
SET enable_hashjoin = off;
SET enable_mergejoin = off;
SET enable_material = off;
SELECT count(*) AS joined FROM accounts a JOIN people p ON p.uid = a.uid;
RESET enable_hashjoin;
RESET enable_mergejoin;
RESET enable_material;

-- A scan keeps its connection for the next scan of the server by the same role, while the
-- servers and the mappings stay as they were (counted as the backend's descriptors): further
-- scans add none, a second scan of the server in one query connects for itself and closes
-- after it, and a scan stopped early (LIMIT) closes the kept one; a changed mapping takes
-- effect at the next scan.
CREATE SERVER corp_kept FOREIGN DATA WRAPPER quenby_ldap_fdw
    OPTIONS (host :'ldap_host', port :'ldap_port', ca_file :'ca_cert', cert_file :'client_cert',
             key_file :'client_key');
CREATE USER MAPPING FOR PUBLIC SERVER corp_kept OPTIONS (bind_dn :'bind_dn', password :'sealed_pw');
CREATE FOREIGN TABLE kept_people (uid text)
    SERVER corp_kept OPTIONS (base 'ou=tables,dc=tarn,dc=test', filter '(uid=*)');
CREATE FUNCTION descriptors() RETURNS int LANGUAGE sql AS $$
    SELECT count(*)::int FROM pg_ls_dir('/proc/' || pg_backend_pid() || '/fd') $$;
SELECT count(*) FROM kept_people;
SELECT descriptors() AS with_one_kept \gset
SELECT count(*) FROM kept_people WHERE uid = 't01' UNION ALL SELECT count(*) FROM kept_people;
SELECT count(*) FROM kept_people;
SELECT descriptors() - :with_one_kept AS added_by_scans;
SELECT uid FROM kept_people LIMIT 1;
SELECT descriptors() - :with_one_kept AS added_after_limit;
ALTER USER MAPPING FOR PUBLIC SERVER corp_kept OPTIONS (SET password :'sealed_wrong');
SELECT count(*) FROM kept_people;
DROP SERVER corp_kept CASCADE;

-- A role reads a table with SELECT on it and USAGE on its server, binding with the PUBLIC
-- mapping.
CREATE ROLE fdw_reader;
GRANT SELECT ON people TO fdw_reader;
SET ROLE fdw_reader;
SELECT count(*) FROM people;
RESET ROLE;
GRANT USAGE ON FOREIGN SERVER corp TO fdw_reader;
SET ROLE fdw_reader;
SELECT count(*) FROM people WHERE cn LIKE 'prefix%';
RESET ROLE;
DROP OWNED BY fdw_reader;
DROP ROLE fdw_reader;

-- Read only.
INSERT INTO people (uid) VALUES ('t99');
UPDATE people SET cn = 'x';
DELETE FROM people;

-- Every value of a ranged attribute, once, in the server's order; an inconsistent server ends
-- the scan with the ERROR naming the range.
CREATE FUNCTION group_members(port int) RETURNS text[] LANGUAGE plpgsql AS $$
DECLARE
    members text[];
BEGIN
    EXECUTE format('CREATE SERVER peer FOREIGN DATA WRAPPER quenby_ldap_fdw '
                   'OPTIONS (host ''127.0.0.1'', port %L, tls ''none'')', port);
    EXECUTE format('CREATE USER MAPPING FOR PUBLIC SERVER peer OPTIONS (bind_dn ''cn=x'', password %L)',
                   current_setting('quenby.sealed'));
    CREATE FOREIGN TABLE big_group (dn text, member text[]) SERVER peer OPTIONS (base 'dc=ranged', page_size '10');
    SELECT member INTO members FROM big_group;
    DROP FOREIGN TABLE big_group;
    DROP USER MAPPING FOR PUBLIC SERVER peer;
    DROP SERVER peer;
    RETURN members;
EXCEPTION WHEN OTHERS THEN
    RAISE NOTICE '%', SQLERRM;
    RETURN NULL;
END $$;
SET quenby.sealed = :'sealed_pw';
SELECT cardinality(group_members(:stall_ranged)) AS members,
       group_members(:stall_ranged) = group_members(:stall_unranged) AS ranged_equals_unranged;
SELECT group_members(:stall_range_skip) IS NULL AS skip_refused;
-- A server that never answers the next range: the wait for it ends with the statement.
CREATE SERVER silent_ranges FOREIGN DATA WRAPPER quenby_ldap_fdw
    OPTIONS (host :'ldap_host', port :'stall_range_silent', tls 'none');
CREATE USER MAPPING FOR PUBLIC SERVER silent_ranges OPTIONS (bind_dn 'cn=x', password :'sealed_pw');
CREATE FOREIGN TABLE silent_group (member text[]) SERVER silent_ranges OPTIONS (base 'dc=ranged');
SET statement_timeout = '300ms';
SELECT cardinality(member) FROM silent_group;
RESET statement_timeout;

-- Waits end with the statement: a server paging for ever meets statement_timeout, a silent one
-- quenby_ldap.io_timeout; the backend goes on scanning afterwards.
CREATE SERVER pages_forever FOREIGN DATA WRAPPER quenby_ldap_fdw
    OPTIONS (host :'ldap_host', port :'stall_page_forever', tls 'none');
CREATE SERVER answers_nothing FOREIGN DATA WRAPPER quenby_ldap_fdw
    OPTIONS (host :'ldap_host', port :'stall_silent', tls 'none', io_timeout '300ms');
CREATE USER MAPPING FOR PUBLIC SERVER pages_forever OPTIONS (bind_dn 'cn=x', password :'sealed_pw');
CREATE USER MAPPING FOR PUBLIC SERVER answers_nothing OPTIONS (bind_dn 'cn=x', password :'sealed_pw');
CREATE FOREIGN TABLE endless (dn text) SERVER pages_forever OPTIONS (base 'dc=x');
CREATE FOREIGN TABLE silent (dn text) SERVER answers_nothing OPTIONS (base 'dc=x');
SET statement_timeout = '500ms';
SELECT count(*) FROM endless;
RESET statement_timeout;
SELECT count(*) FROM silent;
SELECT count(*) AS entries FROM people;
