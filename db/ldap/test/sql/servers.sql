-- Directory servers defined once: the options' checks, sessions by a server's name, who may do
-- what, and where the sealed password shows.
CREATE EXTENSION quenby_ldap;
SELECT pg_backend_pid() AS backend \gset

-- Every option, good and bad, as CREATE SERVER, CREATE USER MAPPING, ALTER SERVER and the
-- wrapper itself take it.
CREATE SERVER probe_host FOREIGN DATA WRAPPER quenby_ldap_fdw OPTIONS (host 'dc1.corp.test');
CREATE FUNCTION try_options(kind text, options text) RETURNS text LANGUAGE plpgsql AS $$
BEGIN
    CASE kind
    WHEN 'server' THEN
        EXECUTE format('CREATE SERVER probe FOREIGN DATA WRAPPER quenby_ldap_fdw OPTIONS (%s)',
                       options);
        DROP SERVER probe;
    WHEN 'alter' THEN
        EXECUTE format('ALTER SERVER probe_host OPTIONS (%s)', options);
        RAISE EXCEPTION 'ok';  -- undoes the change
    WHEN 'mapping' THEN
        EXECUTE format('CREATE USER MAPPING FOR PUBLIC SERVER probe_host OPTIONS (%s)', options);
        DROP USER MAPPING FOR PUBLIC SERVER probe_host;
    WHEN 'wrapper' THEN
        EXECUTE format('ALTER FOREIGN DATA WRAPPER quenby_ldap_fdw OPTIONS (%s)', options);
    END CASE;
    RETURN 'ok';
EXCEPTION WHEN OTHERS THEN
    RETURN CASE WHEN SQLERRM = 'ok' THEN 'ok' ELSE SQLSTATE || ': ' || SQLERRM END;
END $$;
-- (Sealed passwords differ from run to run: they show as what was done to them.)
SELECT kind, coalesce(shown, options) AS options, try_options(kind, options) AS outcome
FROM (VALUES ('server', $$host 'dc1', port '389'$$, NULL),
             ('server', $$host ''$$, NULL),
             ('server', $$port '636', tls 'ldaps'$$, NULL),
             ('server', $$port '0'$$, NULL),
             ('server', $$port '65536'$$, NULL),
             ('server', $$port 'ldap'$$, NULL),
             ('server', $$port '389 '$$, NULL),
             ('server', $$tls 'starttls'$$, NULL),
             ('server', $$tls 'none'$$, NULL),
             ('server', $$tls 'StartTLS'$$, NULL),
             ('server', $$tls 'ssl'$$, NULL),
             ('server', $$cert_level 'never'$$, NULL),
             ('server', $$cert_level 'try'$$, NULL),
             ('server', $$cert_level '4'$$, NULL),
             ('server', $$cert_level '5'$$, NULL),
             ('server', $$cert_level '-1'$$, NULL),
             ('server', $$cert_level 'strict'$$, NULL),
             ('server', $$cert_file '/c.crt', key_file '/c.key'$$, NULL),
             ('server', $$cert_file '/c.crt'$$, NULL),
             ('server', $$key_file '/c.key'$$, NULL),
             ('server', $$ca_file '/ca.crt'$$, NULL),
             ('server', $$ca_file ''$$, NULL),
             ('server', $$connect_timeout '5000'$$, NULL),
             ('server', $$connect_timeout '5s', io_timeout '2min'$$, NULL),
             ('server', $$io_timeout '0'$$, NULL),
             ('server', $$connect_timeout '-1'$$, NULL),
             ('server', $$io_timeout 'soon'$$, NULL),
             ('server', $$io_timeout '5 parsecs'$$, NULL),
             ('server', $$hostname 'dc1'$$, NULL),
             ('server', $$bind_dn 'cn=x'$$, NULL),
             ('alter', $$ADD port 'x'$$, NULL),
             ('alter', $$ADD cert_file '/c.crt'$$, NULL),
             ('alter', $$ADD tls 'ldaps'$$, NULL),
             ('mapping', $$bind_dn 'cn=app', password '$$ || :'sealed_pw' || $$'$$,
              $$bind_dn 'cn=app', password '<sealed>'$$),
             ('mapping', $$password 'Pa55-secret'$$, NULL),
             ('mapping', $$password '@@Pa55-secret'$$, NULL),
             ('mapping', $$password '$$ || left(:'sealed_pw', 30) || $$'$$,
              $$password '<sealed, cut>'$$),
             ('mapping', $$password '$$ || replace(:'sealed_pw', '=', '*') || $$'$$,
              $$password '<sealed, = as *>'$$),
             ('mapping', $$passwd 'x'$$, NULL),
             ('mapping', $$host 'dc1'$$, NULL),
             ('wrapper', $$host 'dc1'$$, NULL)) AS t(kind, options, shown);

-- Servers for the sessions below; the PUBLIC mapping binds the test account.
CREATE SERVER corp FOREIGN DATA WRAPPER quenby_ldap_fdw
    OPTIONS (host :'ldap_host', port :'ldap_port', ca_file :'ca_cert', cert_file :'client_cert',
             key_file :'client_key');
CREATE SERVER corp_ldaps FOREIGN DATA WRAPPER quenby_ldap_fdw
    OPTIONS (host :'ldap_host', port :'ldaps_port', tls 'ldaps', ca_file :'ca_cert',
             cert_file :'client_cert', key_file :'client_key');
CREATE SERVER wrong_password FOREIGN DATA WRAPPER quenby_ldap_fdw
    OPTIONS (host :'ldap_host', port :'ldap_port', ca_file :'ca_cert', cert_file :'client_cert',
             key_file :'client_key');
CREATE SERVER other_key FOREIGN DATA WRAPPER quenby_ldap_fdw
    OPTIONS (host :'ldap_host', port :'relay_pass', tls 'none');
CREATE SERVER refuses_starttls FOREIGN DATA WRAPPER quenby_ldap_fdw
    OPTIONS (host :'ldap_host', port :'relay_refuse_starttls', ca_file :'ca_cert');
CREATE SERVER nobody_listens FOREIGN DATA WRAPPER quenby_ldap_fdw
    OPTIONS (host :'ldap_host', port :'dead_port');
CREATE SERVER silent_after_starttls FOREIGN DATA WRAPPER quenby_ldap_fdw
    OPTIONS (host :'ldap_host', port :'stall_starttls_silent', connect_timeout '300ms',
             cert_level 'never');
CREATE SERVER never_answers FOREIGN DATA WRAPPER quenby_ldap_fdw
    OPTIONS (host :'ldap_host', port :'stall_silent', tls 'none', io_timeout '300ms');
CREATE SERVER backlog FOREIGN DATA WRAPPER quenby_ldap_fdw
    OPTIONS (host :'ldap_host', port :'stall_backlog', connect_timeout '300');
CREATE SERVER unmapped FOREIGN DATA WRAPPER quenby_ldap_fdw OPTIONS (host :'ldap_host');
CREATE SERVER no_host FOREIGN DATA WRAPPER quenby_ldap_fdw OPTIONS (port '389');
CREATE USER MAPPING FOR PUBLIC SERVER corp OPTIONS (bind_dn :'bind_dn', password :'sealed_pw');
CREATE USER MAPPING FOR PUBLIC SERVER corp_ldaps
    OPTIONS (bind_dn :'bind_dn', password :'sealed_pw');
CREATE USER MAPPING FOR PUBLIC SERVER wrong_password
    OPTIONS (bind_dn :'bind_dn', password :'sealed_wrong');
CREATE USER MAPPING FOR PUBLIC SERVER other_key
    OPTIONS (bind_dn :'bind_dn', password :'sealed_elsewhere');
CREATE USER MAPPING FOR PUBLIC SERVER refuses_starttls
    OPTIONS (bind_dn :'bind_dn', password :'sealed_pw');
CREATE USER MAPPING FOR PUBLIC SERVER nobody_listens
    OPTIONS (bind_dn :'bind_dn', password :'sealed_pw');
CREATE USER MAPPING FOR PUBLIC SERVER silent_after_starttls
    OPTIONS (bind_dn :'bind_dn', password :'sealed_pw');
CREATE USER MAPPING FOR PUBLIC SERVER never_answers
    OPTIONS (bind_dn :'bind_dn', password :'sealed_pw');
CREATE USER MAPPING FOR PUBLIC SERVER backlog OPTIONS (bind_dn :'bind_dn', password :'sealed_pw');
CREATE USER MAPPING FOR PUBLIC SERVER no_host OPTIONS (bind_dn :'bind_dn', password :'sealed_pw');

-- StartTLS and LDAPS: bound sessions that search, and show their server.
SELECT pg_ldap_connect('corp') AS s \gset
SELECT pg_ldap_connect('corp_ldaps') AS t \gset
SELECT server, tls, bound_dn = :'bind_dn' AS bound, port = :ldaps_port AS on_ldaps_port
FROM pg_ldap_sessions() ORDER BY server;
SELECT count(*) AS people
FROM pg_ldap_search_rows(:s, :'base', 2, '(objectClass=person)', '{cn}')
UNION ALL
SELECT count(*) FROM pg_ldap_search_rows(:t, :'base', 2, '(objectClass=person)', '{cn}');
SELECT pg_ldap_unbind(:s), pg_ldap_unbind(:t);
-- A session opened by host and port has no server.
SELECT pg_ldap_open(:'ldap_host', :ldap_port) AS s \gset
SELECT server IS NULL AS no_server FROM pg_ldap_sessions();
SELECT pg_ldap_unbind(:s);

-- Each failure names the server and the step, and leaves no session behind.
CREATE FUNCTION connect_outcome(server text) RETURNS text LANGUAGE plpgsql AS $$
DECLARE
    detail text;
BEGIN
    PERFORM pg_ldap_unbind(pg_ldap_connect(server));
    RETURN 'connected';
EXCEPTION WHEN OTHERS THEN
    GET STACKED DIAGNOSTICS detail = PG_EXCEPTION_DETAIL;
    RETURN SQLSTATE || ': ' || SQLERRM || coalesce(' / ' || nullif(detail, ''), '');
END $$;
\! "$QUENBY_TEST_DIR/wire_holds.sh" --forget pass
SELECT server, connect_outcome(server) AS outcome,
       (SELECT count(*) FROM pg_ldap_sessions()) AS sessions
FROM (VALUES ('wrong_password'), ('other_key'), ('refuses_starttls'), ('nobody_listens'),
             ('silent_after_starttls'), ('never_answers'), ('backlog'), ('unmapped'),
             ('no_host'), ('no_such_server')) AS t(server);
-- The envelope under another key never left the backend; the refused StartTLS was followed by
-- nothing in clear.
\! echo "other_key: $("$QUENBY_TEST_DIR/wire_holds.sh" pass "$LDAP_BIND_PW")"
\! echo "refuses_starttls: $("$QUENBY_TEST_DIR/wire_holds.sh" refuse_starttls "$LDAP_BIND_PW")"

-- quenby_ldap.require_tls refuses a server without TLS before anything is sent.
SET quenby_ldap.require_tls = on;
SELECT connect_outcome('never_answers');
RESET quenby_ldap.require_tls;

-- Roles: EXECUTE and USAGE on the server both needed; the role's own mapping before PUBLIC's;
-- nothing to alter, create or read; sessions stay with their role.
CREATE ROLE quenby_app;
CREATE ROLE quenby_other;
GRANT EXECUTE ON FUNCTION pg_ldap_connect(text), pg_ldap_unbind(bigint), pg_ldap_sessions()
    TO quenby_app, quenby_other;
SET ROLE quenby_app;
SELECT connect_outcome('corp');
RESET ROLE;
GRANT USAGE ON FOREIGN SERVER corp TO quenby_app, quenby_other;
CREATE USER MAPPING FOR quenby_other SERVER corp
    OPTIONS (bind_dn :'bind_dn', password :'sealed_wrong');
SET ROLE quenby_app;
SELECT pg_ldap_connect('corp') AS s \gset
SELECT server, bound_dn = :'bind_dn' AS bound FROM pg_ldap_sessions();
ALTER SERVER corp OPTIONS (SET host 'elsewhere.test');
CREATE SERVER mine FOREIGN DATA WRAPPER quenby_ldap_fdw OPTIONS (host 'elsewhere.test');
CREATE USER MAPPING FOR quenby_app SERVER corp OPTIONS (bind_dn 'cn=me', password 'Pa55-secret');
SELECT umoptions FROM pg_user_mapping;
SELECT srvname, umoptions FROM pg_user_mappings WHERE srvname = 'corp' ORDER BY usename;
RESET ROLE;
SET ROLE quenby_other;
SELECT connect_outcome('corp') AS own_mapping;
SELECT pg_ldap_unbind(:s);
RESET ROLE;
SET ROLE quenby_app;
SELECT pg_ldap_unbind(:s);
RESET ROLE;

-- No server key: an ERROR naming the setting, before anything is sent; a SET of the setting
-- is no server key either.
SET dbcipher.key_file = '/nonexistent/key';
SELECT connect_outcome('corp') AS set_in_session;
RESET dbcipher.key_file;
ALTER SYSTEM SET dbcipher.key_file = '';
SELECT pg_reload_conf();
\! for _ in $(seq 100); do [ -z "$(psql -X -At -c 'SHOW dbcipher.key_file')" ] && break; sleep 0.1; done
\c
SELECT connect_outcome('corp') AS without_key;
ALTER SYSTEM RESET dbcipher.key_file;
SELECT pg_reload_conf();
\! for _ in $(seq 100); do [ -n "$(psql -X -At -c 'SHOW dbcipher.key_file')" ] && break; sleep 0.1; done
\c
SELECT connect_outcome('corp') AS key_again;

-- A dump holds the envelopes, never the password.
\! echo "dump: $(pg_dump | grep -c -F -e "$LDAP_BIND_PW") with the password, $(pg_dump | grep -c "password '@@") envelopes"

-- After the bind no byte of the password is left in the backend's memory: the locked page is
-- wiped, and so is the client library's bind request as it is sent, in clear or through TLS.
-- The probe counts copies by the kernel's account of each mapping; a text of a statement
-- shows that it sees.
CREATE SERVER corp_clear FOREIGN DATA WRAPPER quenby_ldap_fdw
    OPTIONS (host :'ldap_host', port :'ldap_port', tls 'none');
CREATE USER MAPPING FOR PUBLIC SERVER corp_clear
    OPTIONS (bind_dn :'bind_dn', password :'sealed_pw');
\c
CREATE FUNCTION key_copies(text) RETURNS text AS :'key_probe', 'key_copies' LANGUAGE C STRICT;
SELECT pg_ldap_unbind(pg_ldap_connect('corp_clear')) AS clear,
       pg_ldap_unbind(pg_ldap_connect('corp_clear')) AS again;
SELECT key_copies(:'bind_pw_hex') AS after_clear_binds;
SELECT pg_ldap_unbind(pg_ldap_connect('corp')) AS starttls,
       pg_ldap_unbind(pg_ldap_connect('corp_ldaps')) AS ldaps;
SELECT key_copies(:'bind_pw_hex') AS after_tls_binds;
SELECT length('Probe-Control-77') AS control;
SELECT key_copies(encode('Probe-Control-77', 'hex')) AS control_copies;

-- During a bind the password is in the backend's memory only inside the locked page: read from
-- outside the backend while its bind waits for a server that never answers.
CREATE SERVER bind_waits FOREIGN DATA WRAPPER quenby_ldap_fdw
    OPTIONS (host :'ldap_host', port :'stall_silent', tls 'none', io_timeout '5s');
CREATE USER MAPPING FOR PUBLIC SERVER bind_waits
    OPTIONS (bind_dn :'bind_dn', password :'sealed_pw');
\! psql -X -q -c "SELECT pg_ldap_connect('bind_waits')" >/dev/null 2>&1 & for _ in $(seq 100); do pid=$(psql -X -At -c "SELECT pid FROM pg_stat_activity WHERE query = 'SELECT pg_ldap_connect(''bind_waits'')' AND wait_event_type = 'Extension'"); [ -n "$pid" ] && break; sleep 0.1; done; hex=$(printf '%s' "$LDAP_BIND_PW" | od -An -tx1 | tr -d ' \n'); echo "during the bind: $(python3 "$QUENBY_TEST_DIR/memory_probe.py" "$pid" "$hex")"; psql -X -q -At -c "SELECT pg_cancel_backend($pid)" >/dev/null; wait
