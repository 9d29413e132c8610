-- A server that stops answering, then one that is gone: cancellation and result codes, never
-- a crash.
CREATE EXTENSION quenby_ldap;
SELECT pg_backend_pid() AS backend \gset
SELECT pg_ldap_open(:'ldap_host', :ldap_port) AS s \gset
SELECT pg_ldap_bind(:s, :'bind_dn', :'bind_pw');
SELECT (pg_ldap_search(:s, :'bind_dn', 0, '(objectClass=*)', '{cn}'))[1] AS m \gset
SELECT pg_ldap_get_first_entry(:s, :m) AS e \gset

-- slapd is suspended: connections are still accepted, but nothing is answered.
\! "$QUENBY_TEST_DIR/suspend.sh" "$(cat "$LDAP_PIDFILE")"
SET statement_timeout = '1s';
SELECT pg_ldap_search(:s, 'dc=tarn,dc=test', 2, '(objectClass=*)', '{cn}');
SELECT pg_ldap_bind(:s, :'bind_dn', :'bind_pw');
SELECT pg_ldap_server_test(:'ldap_host', :ldap_port, :'bind_dn', :'bind_pw');
SELECT pg_ldap_open(:'ldap_host', :ldap_port) AS silent \gset
SELECT pg_ldap_bind(:silent, :'bind_dn', :'bind_pw');
RESET statement_timeout;
\! kill -CONT "$(cat "$LDAP_PIDFILE")"

-- Once the server answers again, the abandoned requests leave the sessions usable.
SELECT (pg_ldap_search(:s, 'ou=people,dc=tarn,dc=test', 0, '(objectClass=*)', '{ou}'))[2] AS code;
SELECT pg_ldap_bind(:silent, :'bind_dn', :'bind_pw');
SELECT pg_ldap_unbind(:silent);

-- Signals that reach the backend while it waits (PostgreSQL's own, here SIGUSR1) neither fail
-- nor end the wait: the answer comes once slapd resumes.
\setenv BACKEND :backend
\! "$QUENBY_TEST_DIR/suspend.sh" "$(cat "$LDAP_PIDFILE")"; (for i in 1 2 3 4 5 6; do sleep 0.1; kill -USR1 "$BACKEND"; done; kill -CONT "$(cat "$LDAP_PIDFILE")") &
SELECT pg_ldap_search(:s, 'ou=people,dc=tarn,dc=test', 0, '(objectClass=*)', '{ou}') AS r \gset
SELECT (:'r'::bigint[])[2] AS code, pg_ldap_msgfree((:'r'::bigint[])[1]);
-- StartTLS rides out the same storm, through its request and its handshake.
SELECT pg_ldap_open(:'ldap_host', :ldap_port) AS tls \gset
\! "$QUENBY_TEST_DIR/suspend.sh" "$(cat "$LDAP_PIDFILE")"; (for i in 1 2 3 4 5 6; do sleep 0.1; kill -USR1 "$BACKEND"; done; kill -CONT "$(cat "$LDAP_PIDFILE")"; for i in 1 2 3 4 5 6; do sleep 0.01; kill -USR1 "$BACKEND"; done) &
SELECT pg_ldap_open_ssl(:tls, 0, :'client_cert', :'client_key');
SELECT pg_ldap_bind(:tls, :'bind_dn', :'bind_pw');
SELECT pg_ldap_unbind(:tls);

-- A paged search over a slow link to slapd (each request held back for 200 ms) is ended
-- mid-way by statement_timeout, and by a cancel from another connection; the session then
-- pages through a whole search.
\! python3 "$QUENBY_TEST_DIR/slow_link.py" "$LDAP_PORT" 0.2 "$LDAP_SANDBOX_DIR/slow.port" >/dev/null 2>&1 & while [ ! -e "$LDAP_SANDBOX_DIR/slow.port" ]; do sleep 0.05; done
\set slow_port `cat "$LDAP_SANDBOX_DIR/slow.port"`
SELECT pg_ldap_open(:'ldap_host', :slow_port) AS slow \gset
SELECT pg_ldap_bind(:slow, :'bind_dn', :'bind_pw');
SET statement_timeout = '1500ms';
SELECT count(*) FROM pg_ldap_search_rows(:slow, 'dc=tarn,dc=test', 2, '(objectClass=*)', '{cn}', 1);
RESET statement_timeout;
-- Requests that reached slapd: the bind, and more than one but not all of the eleven pages.
\! n=$(wc -l <"$LDAP_SANDBOX_DIR/slow.port.requests"); [ "$n" -ge 3 ] && [ "$n" -le 11 ] && echo "ended mid-way" || echo "$n requests"
\! (sleep 0.5; psql -X -q -c "SELECT pg_cancel_backend($BACKEND)" >/dev/null) &
SELECT count(*) FROM pg_ldap_search_rows(:slow, 'dc=tarn,dc=test', 2, '(objectClass=*)', '{cn}', 1);
SELECT count(*) FROM pg_ldap_search_rows(:slow, 'dc=tarn,dc=test', 2, '(objectClass=*)', '{cn}', 4);
SELECT pg_ldap_unbind(:slow);
\! rm "$LDAP_SANDBOX_DIR/slow.port"

-- slapd is stopped in the middle of the session.
\! pid=$(cat "$LDAP_PIDFILE"); kill -TERM "$pid"; while kill -0 "$pid" 2>/dev/null; do sleep 0.1; done
SELECT pg_ldap_search(:s, 'dc=tarn,dc=test', 2, '(objectClass=*)', '{cn}');
SELECT * FROM pg_ldap_search_rows(:s, 'dc=tarn,dc=test', 2, '(objectClass=*)', '{cn}', 1);
SELECT pg_ldap_bind(:s, :'bind_dn', :'bind_pw');
SELECT pg_ldap_open_ssl(:s, 0, :'client_cert', :'client_key');
-- The result fetched before is held in the backend and still readable.
SELECT pg_ldap_count_entries(:s, :m), pg_ldap_get_attrib_value(:s, :e, 'cn');
SELECT pg_ldap_msgfree(:m);
SELECT pg_ldap_unbind(:s) IN (0, -1) AS unbound;
SELECT pg_ldap_open(:'ldap_host', :ldap_port);
SELECT pg_ldap_server_test(:'ldap_host', :ldap_port, :'bind_dn', :'bind_pw');

SELECT pg_backend_pid() = :backend AS same_backend;
