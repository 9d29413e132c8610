-- Under the audit stack of regulated sites (pgaudit logging everything with parameters, every
-- statement and its duration logged, auto_explain, pg_stat_statements): a workload of connects
-- by a server's name and searches leaves no byte of the password, as text or hex, in the
-- server log, pg_stat_activity, pg_stat_statements or a dump. (run_suite.sh checks the log
-- again for every secret of the suites.)
CREATE EXTENSION quenby_ldap;
CREATE EXTENSION pg_stat_statements;
CREATE SERVER corp FOREIGN DATA WRAPPER quenby_ldap_fdw
    OPTIONS (host :'ldap_host', port :'ldap_port', ca_file :'ca_cert', cert_file :'client_cert',
             key_file :'client_key');
CREATE USER MAPPING FOR PUBLIC SERVER corp OPTIONS (bind_dn :'bind_dn', password :'sealed_pw');
CREATE FUNCTION workload(connects integer) RETURNS bigint LANGUAGE plpgsql AS $$
DECLARE
    s bigint;
    found bigint := 0;
BEGIN
    FOR i IN 1..connects LOOP
        s := pg_ldap_connect('corp');
        found := found + (SELECT count(*) FROM pg_ldap_search_rows(s, 'dc=tarn,dc=test', 2,
                                                                   '(objectClass=person)', '{cn}'));
        PERFORM pg_ldap_unbind(s);
    END LOOP;
    RETURN found;
END $$;
SELECT workload(10) AS rows_found;
PREPARE by_name(text) AS SELECT pg_ldap_unbind(pg_ldap_connect($1));
EXECUTE by_name('corp');
DEALLOCATE by_name;
-- A connect that stays on its bind while pg_stat_activity is read.
CREATE SERVER slow FOREIGN DATA WRAPPER quenby_ldap_fdw
    OPTIONS (host :'ldap_host', port :'stall_silent', tls 'none', io_timeout '3s');
CREATE USER MAPPING FOR PUBLIC SERVER slow OPTIONS (bind_dn :'bind_dn', password :'sealed_pw');
\! psql -X -q -c "SELECT pg_ldap_connect('slow')" >/dev/null 2>&1 & for _ in $(seq 100); do [ "$(psql -X -At -c "SELECT count(*) FROM pg_stat_activity WHERE query LIKE '%pg_ldap_connect(''slow'')%' AND pid <> pg_backend_pid()")" = 1 ] && break; sleep 0.1; done; psql -X -At -c "SELECT query FROM pg_stat_activity" >"$QUENBY_RECORD_DIR/activity.txt"; wait
\! psql -X -At -c "SELECT query FROM pg_stat_statements" >"$QUENBY_RECORD_DIR/statements.txt"
\! pg_dump >"$QUENBY_RECORD_DIR/dump.sql"
\! hex=$(printf '%s' "$LDAP_BIND_PW" | od -An -tx1 | tr -d ' \n'); for place in "$PG_SANDBOX_LOG" "$QUENBY_RECORD_DIR/activity.txt" "$QUENBY_RECORD_DIR/statements.txt" "$QUENBY_RECORD_DIR/dump.sql"; do echo "$(basename "$place"): $(grep -c -i -F -e "$LDAP_BIND_PW" -e "$hex" "$place") with the password, $(grep -c -F 'pg_ldap_connect' "$place" | sed 's/^0$/no/;s/^[1-9][0-9]*$/some/') lines of connects"; done
