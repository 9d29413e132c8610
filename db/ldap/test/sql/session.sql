-- Sessions: result texts, open, bind, unbind, server test, StartTLS with client certificates.
CREATE EXTENSION quenby_ldap;
SELECT pg_backend_pid() AS backend \gset

CREATE VIEW quenby_functions AS
SELECT p.* FROM pg_proc p
JOIN pg_depend d ON d.classid = 'pg_proc'::regclass AND d.objid = p.oid AND d.deptype = 'e'
JOIN pg_extension x ON x.oid = d.refobjid AND x.extname = 'quenby_ldap';

-- Every function is strict, volatile, parallel unsafe and commented, and PUBLIC may not
-- execute it.
SELECT proname, proisstrict, provolatile, proparallel,
       obj_description(oid, 'pg_proc') IS NOT NULL AS commented,
       has_function_privilege('public', oid, 'EXECUTE') AS public_may_execute
FROM quenby_functions
ORDER BY proname;

-- Each older version updated declares the same functions and the same foreign-data wrapper
-- as a fresh install, to the comment and the privileges.
CREATE VIEW quenby_declarations AS
SELECT format('%s(%s) %s %s %s %s %s %s %s %s', proname, pg_get_function_arguments(oid),
              pg_get_function_result(oid), prosrc, proisstrict, provolatile, proparallel,
              prorows, proacl, obj_description(oid, 'pg_proc')) AS declaration
FROM quenby_functions
UNION ALL
SELECT format('wrapper %s %s %s %s %s %s', fdwname, fdwhandler::regproc, fdwvalidator::regproc,
              fdwacl, fdwoptions, obj_description(oid, 'pg_foreign_data_wrapper'))
FROM pg_foreign_data_wrapper;
CREATE TABLE fresh AS SELECT * FROM quenby_declarations;
CREATE FUNCTION update_from(old text, OUT functions_before bigint, OUT updated_to text,
                            OUT functions bigint, OUT differing bigint) LANGUAGE plpgsql AS $$
BEGIN
    DROP EXTENSION quenby_ldap;
    EXECUTE format('CREATE EXTENSION quenby_ldap VERSION %L', old);
    functions_before := (SELECT count(*) FROM quenby_functions);
    ALTER EXTENSION quenby_ldap UPDATE;
    updated_to := (SELECT extversion FROM pg_extension WHERE extname = 'quenby_ldap');
    functions := (SELECT count(*) FROM quenby_functions);
    differing := (SELECT count(*) FROM ((TABLE fresh EXCEPT TABLE quenby_declarations)
                                        UNION ALL
                                        (TABLE quenby_declarations EXCEPT TABLE fresh)) AS d);
END $$;
SELECT old, u.* FROM unnest('{1.0,1.1,1.2}'::text[]) AS old, LATERAL update_from(old) AS u;

-- An application role needs a grant.
CREATE ROLE quenby_app;
SET ROLE quenby_app;
SELECT pg_ldap_err2text(0);
RESET ROLE;
GRANT EXECUTE ON FUNCTION pg_ldap_err2text(integer) TO quenby_app;
SET ROLE quenby_app;
SELECT pg_ldap_err2text(0);
RESET ROLE;
REVOKE EXECUTE ON FUNCTION pg_ldap_err2text(integer) FROM quenby_app;
DROP ROLE quenby_app;

-- The library's texts, for codes of the server and of the library itself.
SELECT code, pg_ldap_err2text(code)
FROM (VALUES (0), (4), (32), (49), (-1), (-7), (-11), (999)) AS codes(code);

-- A NULL argument never reaches the module.
SELECT pg_ldap_err2text(NULL) IS NULL AS strict_null,
       pg_ldap_open(NULL, 389) IS NULL AS open_null;

-- Nothing listens: WARNING with host and port, handle 0.
SELECT pg_ldap_open(:'ldap_host', :dead_port);

-- Ports outside 1..65535 are connections that cannot be made; none wraps around to a port
-- where a server listens.
SELECT label, pg_ldap_open(:'ldap_host', port) AS session,
       pg_ldap_server_test(:'ldap_host', port, :'bind_dn', :'bind_pw') AS test
FROM (VALUES ('slapd''s port + 65536', :ldap_port + 65536), ('0', 0), ('-1', -1),
             ('65536', 65536)) AS p(label, port);

-- Binds on a live session: wrong password, unknown user, anonymous, the known user.
SELECT pg_ldap_open(:'ldap_host', :ldap_port) AS s \gset
SELECT :s <> 0 AS opened;
SELECT who, pg_ldap_bind(:s, who, password) AS code
FROM (VALUES (:'bind_dn', 'wrong'),
             ('uid=nobody,ou=people,dc=tarn,dc=test', 'x'),
             ('', ''),
             (:'bind_dn', :'bind_pw')) AS binds(who, password);
SELECT pg_ldap_unbind(:s);
-- The session is gone.
SELECT pg_ldap_unbind(:s);
SELECT pg_ldap_bind(:s, :'bind_dn', :'bind_pw');

-- Handle 0: a WARNING and 1 for unbind; an ERROR for bind that never shows the password.
SELECT pg_ldap_unbind(0);
SELECT pg_ldap_bind(0, 'cn=someone', 'Pa55-secret');

-- The one-call test: good credentials, wrong password, anonymous, nothing listening.
SELECT pg_ldap_server_test(:'ldap_host', :ldap_port, :'bind_dn', :'bind_pw') AS good,
       pg_ldap_server_test(:'ldap_host', :ldap_port, :'bind_dn', 'wrong') AS wrong,
       pg_ldap_server_test(:'ldap_host', :ldap_port, '', '') AS anonymous,
       pg_ldap_server_test(:'ldap_host', :dead_port, :'bind_dn', :'bind_pw') AS unreachable;

-- Failed binds leave no connection behind in the backend.
CREATE FUNCTION open_descriptors() RETURNS bigint LANGUAGE sql AS $$
    SELECT count(*) FROM pg_ls_dir('/proc/' || pg_backend_pid() || '/fd') $$;
SELECT open_descriptors() AS fds_before \gset
SELECT count(*) FILTER (WHERE pg_ldap_server_test(:'ldap_host', :ldap_port, :'bind_dn', 'wrong') = 49)
FROM generate_series(1, 20);
SELECT open_descriptors() - :fds_before AS fds_left_open;

-- StartTLS: the checks come in order, before any file is probed or option set.
SELECT pg_ldap_open_ssl(0, 0, :'client_cert', :'client_key');
SELECT pg_ldap_open_ssl(42, 0, :'client_cert', :'client_key');
SELECT pg_ldap_open(:'ldap_host', :ldap_port) AS s \gset
SELECT pg_ldap_open_ssl(:s, 5, '/nonexistent/client.crt', '/nonexistent/client.key');
SELECT pg_ldap_open_ssl(:s, -1, '/nonexistent/client.crt', '/nonexistent/client.key');
SELECT pg_ldap_open_ssl(:s, 0, '/nonexistent/client.crt', '/nonexistent/client.key');
SELECT pg_ldap_open_ssl(:s, 0, :'client_cert', '/nonexistent/client.key');
-- Files that open but hold no certificate: the session's TLS context cannot be made.
SELECT pg_ldap_open_ssl(:s, 0, :'client_key', :'client_cert');
SELECT pg_ldap_unbind(:s);

-- The server demands a client certificate of its own CA, and no CA file is named on the
-- session: levels 0 (never) and 3 (allow) complete the handshake, and the bind that follows
-- proves that the client certificate was presented; 1, 2 and 4 refuse the server.
CREATE FUNCTION tls_level(level integer, cert text, key text) RETURNS text LANGUAGE plpgsql AS $$
DECLARE
    s bigint := pg_ldap_open(current_setting('quenby.host'), current_setting('quenby.port')::int);
    outcome text;
BEGIN
    BEGIN
        outcome := 'open_ssl ' || pg_ldap_open_ssl(s, level, cert, key)
            || ', bind ' || pg_ldap_bind(s, current_setting('quenby.dn'), current_setting('quenby.pw'));
    EXCEPTION WHEN OTHERS THEN
        outcome := SQLERRM;
    END;
    PERFORM pg_ldap_unbind(s);
    RETURN outcome;
END $$;
SELECT set_config('quenby.host', :'ldap_host', false), set_config('quenby.port', :'ldap_port', false),
       set_config('quenby.dn', :'bind_dn', false), set_config('quenby.pw', :'bind_pw', false) \gset
SELECT level, tls_level(level, :'client_cert', :'client_key') FROM generate_series(0, 4) AS level;
-- A certificate of another CA is refused: with TLS 1.3 the refusal shows at the bind.
SELECT level, tls_level(level, :'rogue_cert', :'rogue_key') FROM (VALUES (0), (3)) AS l(level);

-- A search over TLS.
SELECT pg_ldap_open(:'ldap_host', :ldap_port) AS s \gset
SELECT pg_ldap_open_ssl(:s, 0, :'client_cert', :'client_key');
SELECT pg_ldap_bind(:s, :'bind_dn', :'bind_pw');
SELECT (pg_ldap_search(:s, :'bind_dn', 0, '(objectClass=*)', '{uid}'))[2] AS code,
       pg_ldap_count_entries(:s, (pg_ldap_search(:s, :'bind_dn', 0, '(objectClass=*)', '{uid}'))[1]);
-- TLS is in place already.
SELECT pg_ldap_open_ssl(:s, 0, :'client_cert', :'client_key');
SELECT pg_ldap_unbind(:s);

-- Once StartTLS was asked for and failed, the session sends no byte in clear: a refused
-- StartTLS (what a machine in the middle answers), a server certificate the client refuses, a
-- handshake cut mid-record, a key file that is missing. Every later call answers as on a lost
-- connection, and the relays in front of slapd never see the password.
-- The password comes in as an argument: server messages inside the function quote the line of
-- the function they arise in, never its caller's statement.
CREATE FUNCTION after_failed_tls(port int, level int, cert text, key text, pw text) RETURNS text
LANGUAGE plpgsql AS $$
DECLARE
    s bigint := pg_ldap_open(current_setting('quenby.host'), port);
    outcome text;
BEGIN
    BEGIN
        outcome := 'TLS ' || pg_ldap_open_ssl(s, level, cert, key);
    EXCEPTION WHEN OTHERS THEN
        outcome := SQLERRM;
    END;
    outcome := outcome || '; bind ' || pg_ldap_bind(s, current_setting('quenby.dn'), pw)
        || '; search ' || (pg_ldap_search(s, 'dc=tarn,dc=test', 0, '(objectClass=*)', '{cn}'))[2]
        || '; sessions show ' || (SELECT tls FROM pg_ldap_sessions() WHERE session = s);
    PERFORM pg_ldap_unbind(s);
    RETURN outcome;
END $$;
SET client_min_messages = error;
SELECT relay, after_failed_tls(port, level, cert, key, 'Wire-Passw0rd')
FROM (VALUES ('refuse_starttls', :relay_refuse_starttls, 0, :'client_cert', :'client_key'),
             ('pass', :relay_pass, 2, :'client_cert', :'client_key'),
             ('cut_handshake', :relay_cut_handshake, 0, :'client_cert', :'client_key'),
             ('pass', :relay_pass, 0, :'client_cert', '/nonexistent/client.key'))
     AS cases(relay, port, level, cert, key);
RESET client_min_messages;
\! for relay in refuse_starttls cut_handshake pass; do echo "$relay: $("$QUENBY_TEST_DIR/wire_holds.sh" "$relay" Wire-Passw0rd)"; done

-- quenby_ldap.require_tls: a bind on a session without TLS is refused (13) without sending;
-- with TLS it binds. The server test runs StartTLS first, with the library's default trust
-- settings (here an ldaprc in the data folder that trusts the test CA, read by a new backend):
-- it tells a good password from a wrong one, and against a server without StartTLS it sends no
-- password.
\! "$QUENBY_TEST_DIR/default_trust.sh" on
\c
SELECT pg_backend_pid() AS backend \gset
SET quenby_ldap.require_tls = on;
\! "$QUENBY_TEST_DIR/wire_holds.sh" --forget pass
SELECT pg_ldap_open(:'ldap_host', :relay_pass) AS s \gset
SELECT pg_ldap_bind(:s, :'bind_dn', 'Wire-Passw0rd') AS without_tls;
SELECT pg_ldap_open_ssl(:s, 0, :'client_cert', :'client_key'),
       pg_ldap_bind(:s, :'bind_dn', :'bind_pw') AS with_tls;
SELECT pg_ldap_unbind(:s);
\! echo "pass: $("$QUENBY_TEST_DIR/wire_holds.sh" pass Wire-Passw0rd)"
SELECT pg_ldap_server_test(:'ldap_host', :ldap_port, :'bind_dn', :'bind_pw') AS good,
       pg_ldap_server_test(:'ldap_host', :ldap_port, :'bind_dn', 'wrong') AS wrong,
       pg_ldap_server_test(:'ldap_host', :stall_no_starttls, 'cn=x', 'Wire-Passw0rd') AS no_starttls;
\! echo "no_starttls: $("$QUENBY_TEST_DIR/wire_holds.sh" no_starttls Wire-Passw0rd)"
RESET quenby_ldap.require_tls;
\! "$QUENBY_TEST_DIR/default_trust.sh" off

-- Messages carry the function's name and the file that raised them as their location.
\set VERBOSITY verbose
SELECT pg_ldap_unbind(0);
SELECT pg_ldap_msgfree(0);
SELECT pg_ldap_count_entries(42, 42);
\set VERBOSITY default

SELECT pg_backend_pid() = :backend AS same_backend;
