-- Servers that stall on purpose (stalling_ldap.py): statement_timeout, cancel and terminate end
-- every wait on them within a tick, the backend survives the first two, a session cut inside
-- TLS answers later calls at once, and the cluster never restarts.
CREATE EXTENSION quenby_ldap;
CREATE EXTENSION dblink;
SELECT pg_backend_pid() AS backend \gset
SELECT split_part(pg_read_file('postmaster.pid'), E'\n', 1) AS postmaster \gset
\getenv pghost PGHOST
\getenv pgport PGPORT
SELECT set_config('quenby.conninfo', format('host=%s port=%s dbname=%s user=postgres',
                  :'pghost', :'pgport', current_database()), false) \gset

-- Each case: statements that prepare a session in the victim backend (its handle in
-- quenby.s), the call that stalls, and a call that must then answer at once.
SELECT format('SELECT set_config(''quenby.s'', pg_ldap_open(%L, %%s)::text, false)', :'ldap_host') AS open_on,
       format('SELECT pg_ldap_open_ssl(current_setting(''quenby.s'')::bigint, 0, %L, %L)',
              :'client_cert', :'client_key') AS starttls \gset
\set bind 'SELECT pg_ldap_bind(current_setting(''quenby.s'')::bigint, ''cn=x'', ''stall-Passw0rd'')'
\set search 'SELECT (pg_ldap_search(current_setting(''quenby.s'')::bigint, ''dc=x'', 0, ''(cn=*)'', ''{cn}''))[2]'
CREATE TABLE stalls(label text, setup text[], call text, afterwards text);
INSERT INTO stalls VALUES
    ('connect, accept queue full', '{}',
     format('SELECT pg_ldap_open(%L, %s)', :'ldap_host', :stall_backlog), NULL),
    ('server test, accept queue full', '{}',
     format('SELECT pg_ldap_server_test(%L, %s, ''cn=x'', ''stall-Passw0rd'')', :'ldap_host',
            :stall_backlog), NULL),
    ('bind, server silent after connect', ARRAY[format(:'open_on', :stall_silent)], :'bind', NULL),
    ('StartTLS, server silent after accepting it',
     ARRAY[format(:'open_on', :stall_starttls_silent)], :'starttls', :'bind'),
    ('StartTLS, handshake record cut',
     ARRAY[format(:'open_on', :stall_handshake_stall)], :'starttls', :'bind'),
    ('bind over TLS, answer record cut',
     ARRAY[format(:'open_on', :stall_record_stall), :'starttls'], :'bind', :'bind'),
    ('search over TLS, answer record cut',
     ARRAY[format(:'open_on', :stall_record_stall), :'starttls'], :'search', :'search');

-- Runs a statement in the victim and gives its first column, or its ERROR text.
CREATE FUNCTION victim_outcome(statement text) RETURNS text LANGUAGE plpgsql AS $$
BEGIN
    RETURN (SELECT v FROM dblink('victim', statement) AS t(v text));
EXCEPTION WHEN OTHERS OR query_canceled THEN
    RETURN SQLERRM;
END $$;

-- Starts the stalled call in a fresh victim backend, ends it `how` ('statement_timeout',
-- 'cancel' or 'terminate') and says how it ended, whether within 2 s of the timeout's start or
-- of the signal, and for the survivors what the call afterwards answered.
CREATE FUNCTION end_stall(s stalls, how text) RETURNS text LANGUAGE plpgsql AS $$
DECLARE
    victim int;
    started timestamptz;
    ended text;
    statement text;
BEGIN
    PERFORM dblink_connect('victim', current_setting('quenby.conninfo'));
    victim := (SELECT pid FROM dblink('victim', 'SELECT pg_backend_pid()') AS t(pid int));
    FOREACH statement IN ARRAY s.setup LOOP
        PERFORM victim_outcome(statement);
    END LOOP;
    PERFORM dblink_exec('victim', 'SET statement_timeout = '
                        || CASE how WHEN 'statement_timeout' THEN '''1s''' ELSE '0' END);
    started := clock_timestamp();
    PERFORM dblink_send_query('victim', s.call);
    IF how <> 'statement_timeout' THEN
        -- The call is waiting by now.
        PERFORM pg_sleep(0.5);
        started := clock_timestamp();
        PERFORM CASE how WHEN 'cancel' THEN pg_cancel_backend(victim)
                         ELSE pg_terminate_backend(victim) END;
    END IF;
    LOOP
        -- Backend states are read once per transaction unless the snapshot is cleared.
        PERFORM pg_stat_clear_snapshot();
        EXIT WHEN clock_timestamp() - started > interval '10s'
            OR CASE how WHEN 'terminate'
                   THEN NOT EXISTS (SELECT FROM pg_stat_activity WHERE pid = victim)
                   ELSE dblink_is_busy('victim') = 0 END;
        PERFORM pg_sleep(0.01);
    END LOOP;
    ended := CASE WHEN clock_timestamp() - started < interval '2s' THEN 'in time' ELSE 'LATE' END;
    IF how = 'terminate' THEN
        PERFORM dblink_disconnect('victim');
        RETURN ended || ', backend gone';
    END IF;
    BEGIN
        PERFORM * FROM dblink_get_result('victim') AS t(v text);
        ended := ended || ', returned';
    EXCEPTION WHEN OTHERS OR query_canceled THEN
        ended := ended || ': ' || SQLERRM;
    END;
    -- The end of the results, which dblink_get_result leaves to read after an error.
    PERFORM * FROM dblink_get_result('victim', false) AS t(v text);
    PERFORM dblink_exec('victim', 'SET statement_timeout = ''1s''');
    IF s.afterwards IS NOT NULL THEN
        ended := ended || '; afterwards ' || victim_outcome(s.afterwards);
    END IF;
    PERFORM dblink_disconnect('victim');
    RETURN ended;
END $$;

SELECT label, how, end_stall(stalls, how)
FROM stalls, unnest('{statement_timeout,cancel,terminate}'::text[]) AS how
ORDER BY label, how;

SELECT split_part(pg_read_file('postmaster.pid'), E'\n', 1) = :'postmaster' AS same_postmaster,
       pg_backend_pid() = :backend AS same_backend;
