-- Handles that this backend did not hand out, or has released, are refused with an ERROR and
-- never used as addresses; the backend survives every one of them.
CREATE EXTENSION quenby_ldap;
SELECT pg_backend_pid() AS backend \gset

-- Runs a statement and returns its ERROR text, or 'ok'.
CREATE FUNCTION outcome(statement text) RETURNS text LANGUAGE plpgsql AS $$
BEGIN
    EXECUTE statement;
    RETURN 'ok';
EXCEPTION WHEN OTHERS THEN
    RETURN SQLERRM;
END $$;

-- Every function that takes a handle, with %1$s for a session, %2$s for a message and %3$s for
-- an entry, and the kind of handle it is about.
CREATE TABLE calls(call text, takes text);
INSERT INTO calls VALUES
    ('SELECT pg_ldap_open_ssl(%1$s, 0, ''/dev/null'', ''/dev/null'')', 'session'),
    ('SELECT pg_ldap_bind(%1$s, ''cn=x'', ''y'')', 'session'),
    ('SELECT pg_ldap_search(%1$s, ''dc=tarn,dc=test'', 0, ''(cn=*)'', ''{cn}'')', 'session'),
    ('SELECT pg_ldap_unbind(%1$s)', 'session'),
    ('SELECT pg_ldap_search_rows(%1$s, ''dc=tarn,dc=test'', 0, ''(cn=*)'', ''{cn}'', 1)', 'session'),
    ('SELECT pg_ldap_count_entries(%1$s, %2$s)', 'message'),
    ('SELECT pg_ldap_get_first_entry(%1$s, %2$s)', 'message'),
    ('SELECT pg_ldap_msgfree(%2$s)', 'message'),
    ('SELECT pg_ldap_get_next_entry(%1$s, %3$s)', 'entry'),
    ('SELECT pg_ldap_get_attributes(%1$s, %3$s)', 'entry'),
    ('SELECT pg_ldap_get_attrib_vals(%1$s, %3$s, ''cn'')', 'entry'),
    ('SELECT pg_ldap_get_attrib_value(%1$s, %3$s, ''cn'')', 'entry'),
    ('SELECT pg_ldap_get_ad_info(%1$s, %3$s)', 'entry'),
    ('SELECT pg_ldap_get_dn(%1$s, %3$s)', 'entry'),
    ('SELECT pg_ldap_get_attrib_bytes(%1$s, %3$s, ''cn'')', 'entry'),
    ('SELECT pg_ldap_search_bytes(%1$s, ''dc=tarn,dc=test'', 0, ''(cn=*)'', ''{cn}'', 1)', 'session');

-- A live session, a live result and one of its entries (not the first: that one is the
-- result message itself), so that each slot can be given a live handle of another kind.
SELECT pg_ldap_open(:'ldap_host', :ldap_port) AS s \gset
SELECT pg_ldap_bind(:s, :'bind_dn', :'bind_pw');
SELECT (pg_ldap_search(:s, 'ou=people,dc=tarn,dc=test', 1, '(objectClass=*)', '{cn}'))[1] AS m \gset
SELECT pg_ldap_get_next_entry(:s, pg_ldap_get_first_entry(:s, :m)) AS e \gset
SELECT :m <> :e AS distinct_handles;

-- Numbers that were never handles, and live handles of the wrong kind.
SELECT label, call, outcome(format(call, session, message, entry))
FROM (VALUES ('42', 42::bigint, 42::bigint, 42::bigint, NULL),
             ('-1', -1, -1, -1, NULL),
             ('entry as session', :e, :m, :e, 'session'),
             ('entry as message', :s, :e, :e, 'message'),
             ('session as entry', :s, :m, :s, 'entry')) AS h(label, session, message, entry, kind),
     calls
WHERE kind IS NULL OR kind = takes
ORDER BY label, takes, call;

-- The objects are still intact.
SELECT pg_ldap_count_entries(:s, :m), pg_ldap_get_attrib_value(:s, :e, 'cn');

-- Released: the result, and its entries with it.
SELECT pg_ldap_msgfree(:m);
SELECT call, outcome(format(call, :s, :m, :e)) FROM calls WHERE takes <> 'session'
ORDER BY takes, call;

-- A session takes its results with it.
SELECT (pg_ldap_search(:s, 'ou=people,dc=tarn,dc=test', 2, '(objectClass=*)', '{cn}'))[1] AS m \gset
SELECT pg_ldap_get_first_entry(:s, :m) AS e \gset
SELECT pg_ldap_unbind(:s);
SELECT call, outcome(format(call, :s, :m, :e)) FROM calls ORDER BY takes, call;

-- Handles are private to the backend that made them: a second connection knows none.
SELECT pg_ldap_open(:'ldap_host', :ldap_port) AS s \gset
SELECT (pg_ldap_search(:s, 'dc=tarn,dc=test', 0, '(objectClass=*)', '{dc}'))[1] AS m \gset
\c
SELECT outcome(format('SELECT pg_ldap_count_entries(%s, %s)', :s, :m));
SELECT outcome(format('SELECT pg_ldap_unbind(%s)', :s));
SELECT pg_backend_pid() <> :backend AS new_backend;
SELECT pg_backend_pid() AS backend \gset

-- Many sessions and results at once, released in an order unlike the one they were made in.
CREATE TABLE held AS
SELECT i, pg_ldap_open(:'ldap_host', :ldap_port) AS s FROM generate_series(1, 20) AS i;
ALTER TABLE held ADD COLUMN m bigint;
UPDATE held SET m = (pg_ldap_search(s, 'dc=tarn,dc=test', 1, '(objectClass=*)', '{ou}'))[1];
SELECT count(*) FILTER (WHERE pg_ldap_count_entries(s, m) = 4) AS counted FROM held;
SELECT count(*) FILTER (WHERE pg_ldap_msgfree(m) = 101) AS freed FROM held WHERE i % 2 = 0;
SELECT count(*) FILTER (WHERE pg_ldap_unbind(s) = 0) AS closed FROM held;
SELECT count(*) FILTER (WHERE outcome(format('SELECT pg_ldap_msgfree(%s)', m)) LIKE '%Invalid%')
    AS refused FROM held;

-- Two roles in one backend: objects belong to the current user that made them. To any other
-- role every function answers as for a number that was never a handle, also after
-- DISCARD ALL and SET SESSION AUTHORIZATION.
CREATE ROLE quenby_owner;
CREATE ROLE quenby_other;
GRANT EXECUTE ON ALL FUNCTIONS IN SCHEMA public TO quenby_owner, quenby_other;
GRANT SELECT ON calls TO quenby_owner, quenby_other;
SET ROLE quenby_owner;
SELECT pg_ldap_open(:'ldap_host', :ldap_port) AS s \gset
SELECT pg_ldap_bind(:s, :'bind_dn', :'bind_pw');
SELECT (pg_ldap_search(:s, 'ou=people,dc=tarn,dc=test', 1, '(objectClass=*)', '{cn}'))[1] AS m \gset
SELECT pg_ldap_get_next_entry(:s, pg_ldap_get_first_entry(:s, :m)) AS e \gset
-- pg_ldap_sessions lists the role's live sessions: server, TLS, bound DN, results held.
SELECT session = :s AS listed, host = :'ldap_host' AS host, port = :ldap_port AS port, tls,
       bound_dn = :'bind_dn' AS bound_dn, results, age < interval '1 minute' AS young
FROM pg_ldap_sessions();
SET ROLE quenby_other;
SELECT count(*) AS sessions_of_other_role FROM pg_ldap_sessions();
SELECT call, outcome(format(call, :s, :m, :e)) AS outcome,
       outcome(format(call, :s, :m, :e)) = outcome(format(call, 42, 42, 42)) AS as_unknown
FROM calls ORDER BY takes, call;
RESET ROLE;
DISCARD ALL;
SET SESSION AUTHORIZATION quenby_other;
SELECT count(*) FILTER (WHERE outcome(format(call, :s, :m, :e)) = outcome(format(call, 42, 42, 42)))
    AS as_unknown FROM calls;
RESET SESSION AUTHORIZATION;
SET ROLE quenby_owner;
SELECT pg_ldap_count_entries(:s, :m), pg_ldap_get_attrib_value(:s, :e, 'cn');
SELECT pg_ldap_unbind(:s);
SELECT count(*) AS sessions_after_unbind FROM pg_ldap_sessions();
RESET ROLE;

-- 1,200 sessions in one backend: the server's budget of descriptors for outside connections
-- runs out first. Opens beyond it give the WARNING with the reason and 0 (a server test 1),
-- the server's own files still open, and unbinding gives every descriptor back.
-- Established connections to slapd, read from the kernel's table (the backend's other
-- descriptors, relation files, come and go with its caches).
CREATE FUNCTION ldap_connections(port int) RETURNS bigint LANGUAGE sql AS $$
    SELECT count(*) FROM regexp_split_to_table(pg_read_file('/proc/net/tcp'), E'\n') AS line,
         regexp_split_to_array(btrim(line), '\s+') AS f
    WHERE f[3] = '0100007F:' || upper(lpad(to_hex(port), 4, '0')) AND f[4] = '01' $$;
SET client_min_messages = error;
CREATE TABLE many AS
SELECT i, pg_ldap_open(:'ldap_host', :ldap_port) AS s FROM generate_series(1, 1200) AS i;
RESET client_min_messages;
SELECT count(*) FILTER (WHERE s <> 0) > 100 AS many_opened,
       bool_and(s = 0) FILTER (WHERE i > 1100) AS last_refused,
       count(*) FILTER (WHERE s <> 0) = ldap_connections(:ldap_port) AS one_connection_each
FROM many;
SELECT pg_ldap_open(:'ldap_host', :ldap_port);
SELECT pg_ldap_server_test(:'ldap_host', :ldap_port, :'bind_dn', :'bind_pw');
SELECT count(*) > 0 AS catalog_readable, length(pg_read_file('postmaster.pid')) > 0 AS file_readable
FROM pg_class;
SELECT count(*) FILTER (WHERE pg_ldap_unbind(s) <> 0) AS failed_unbinds FROM many WHERE s <> 0;
SELECT ldap_connections(:ldap_port) AS connections_left;
SELECT pg_ldap_unbind(pg_ldap_open(:'ldap_host', :ldap_port)) AS opens_again;

SELECT pg_backend_pid() = :backend AS same_backend;
