-- A backend waiting on a silent directory server is gone within 2 s of its postmaster's
-- SIGKILL. The cluster ends with this suite, which therefore runs in a cluster of its own.
CREATE EXTENSION quenby_ldap;
CREATE EXTENSION dblink;
\getenv pghost PGHOST
\getenv pgport PGPORT
SELECT dblink_connect('victim', format('host=%s port=%s dbname=%s user=postgres', :'pghost',
                                       :'pgport', current_database()));
SELECT pid AS victim FROM dblink('victim', 'SELECT pg_backend_pid()') AS t(pid int) \gset
SELECT opened <> 0 AS opened
FROM dblink('victim', format('SELECT set_config(''quenby.s'', pg_ldap_open(%L, %s)::text, false)',
                             :'ldap_host', :stall_silent)) AS t(opened bigint);
SELECT dblink_send_query('victim', 'SELECT pg_ldap_bind(current_setting(''quenby.s'')::bigint, ''cn=x'', ''stall-Passw0rd'')');
DO $$
DECLARE
    started timestamptz := clock_timestamp();
BEGIN
    LOOP
        PERFORM pg_stat_clear_snapshot();
        EXIT WHEN clock_timestamp() - started > interval '10s' OR EXISTS (SELECT FROM pg_stat_activity
                          WHERE wait_event_type = 'Extension' AND query LIKE '%pg_ldap_bind%');
        PERFORM pg_sleep(0.01);
    END LOOP;
END $$;
\setenv VICTIM :victim
\! kill -KILL "$(head -n 1 "$PG_SANDBOX_DATA/postmaster.pid")"; for _ in $(seq 1 40); do kill -0 "$VICTIM" 2>/dev/null || { echo "backend gone within 2 s"; exit 0; }; sleep 0.05; done; echo "backend still there after 2 s"
