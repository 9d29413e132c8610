-- Servers that stall on purpose (stalling_ldap.py): statement_timeout, cancel and terminate end
-- every wait on them at once, the backend survives the first two, a session cut inside TLS
-- answers later calls at once, and the cluster never restarts.
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
\set paged 'SELECT count(*) FROM pg_ldap_search_rows(current_setting(''quenby.s'')::bigint, ''dc=x'', 2, ''(cn=*)'', ''{cn}'', 10)'
\set ranges 'SELECT count(*) FROM pg_ldap_search_rows(current_setting(''quenby.s'')::bigint, ''dc=ranged'', 2, ''(cn=*)'', ''{member}'', 10)'
\set walk_ranges 'SELECT cardinality(pg_ldap_get_attrib_vals(s, pg_ldap_get_first_entry(s, (pg_ldap_search(s, ''dc=ranged'', 2, ''(cn=*)'', ''{member}''))[1]), ''member'')) FROM CAST(current_setting(''quenby.s'') AS bigint) AS s'
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
     ARRAY[format(:'open_on', :stall_record_stall), :'starttls'], :'search', :'search'),
    ('paged search, server pages for ever', ARRAY[format(:'open_on', :stall_page_forever)],
     :'paged', :'bind'),
    ('rows, server silent on the next range of values',
     ARRAY[format(:'open_on', :stall_range_silent)], :'ranges', :'bind'),
    ('walk, server silent on the next range of values',
     ARRAY[format(:'open_on', :stall_range_silent)], :'walk_ranges', :'bind');

-- Runs a statement in the victim and gives its first column, or its ERROR text.
CREATE FUNCTION victim_outcome(statement text) RETURNS text LANGUAGE plpgsql AS $$
BEGIN
    RETURN (SELECT v FROM dblink('victim', statement) AS t(v text));
EXCEPTION WHEN OTHERS OR query_canceled THEN
    RETURN SQLERRM;
END $$;

-- Starts the stalled call in a fresh victim backend, ends it `how` ('statement_timeout',
-- 'cancel' or 'terminate') and says how it ended, whether within 0.5 s of the timeout (1 s
-- after the start) or of the signal, and for the survivors what the call afterwards answered.
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
    ended := CASE WHEN clock_timestamp() - started
                       < CASE how WHEN 'statement_timeout' THEN interval '1.5s' ELSE interval '0.5s' END
                  THEN 'in time' ELSE 'LATE' END;
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

-- A page without entries whose cookie is the one it was asked with would be asked for ever.
SELECT pg_ldap_open(:'ldap_host', :stall_page_same_cookie) AS s \gset
SELECT count(*) FROM pg_ldap_search_rows(:s, 'dc=x', 2, '(cn=*)', '{cn}', 10);
SELECT pg_ldap_unbind(:s);

-- 20 cancels of a bind waiting on a silent server: the wait shows as the Extension wait event,
-- and the median cancel takes effect within 20 ms.
CREATE FUNCTION cancel_latency() RETURNS TABLE (shown_as text, latency interval)
LANGUAGE plpgsql AS $$
DECLARE
    victim int;
    signalled timestamptz;
BEGIN
    PERFORM dblink_connect('victim', current_setting('quenby.conninfo'));
    victim := (SELECT pid FROM dblink('victim', 'SELECT pg_backend_pid()') AS t(pid int));
    PERFORM victim_outcome(format(current_setting('quenby.open_silent')));
    FOR i IN 1 .. 20 LOOP
        PERFORM dblink_send_query('victim', current_setting('quenby.bind'));
        LOOP
            PERFORM pg_stat_clear_snapshot();
            shown_as := (SELECT wait_event_type || '/' || wait_event FROM pg_stat_activity
                         WHERE pid = victim AND state = 'active');
            EXIT WHEN shown_as LIKE 'Extension/%';
            PERFORM pg_sleep(0.005);
        END LOOP;
        signalled := clock_timestamp();
        PERFORM pg_cancel_backend(victim);
        WHILE dblink_is_busy('victim') = 1 LOOP
            PERFORM pg_sleep(0.0005);
        END LOOP;
        latency := clock_timestamp() - signalled;
        RETURN NEXT;
        BEGIN
            PERFORM * FROM dblink_get_result('victim') AS t(v text);
        EXCEPTION WHEN OTHERS OR query_canceled THEN
        END;
        PERFORM * FROM dblink_get_result('victim', false) AS t(v text);
    END LOOP;
    PERFORM dblink_disconnect('victim');
END $$;
SELECT set_config('quenby.open_silent', format(:'open_on', :stall_silent), false),
       set_config('quenby.bind', :'bind', false) \gset
SELECT count(*) AS cancels, min(shown_as) AS shown_as,
       percentile_cont(0.5) WITHIN GROUP (ORDER BY latency) < interval '20ms' AS median_below_20ms
FROM cancel_latency();

-- The timeouts end their waits with the library's timeout code, and the backend carries on:
-- a connect into a full accept queue at connect_timeout, a search on a silent server at
-- io_timeout.
SET quenby_ldap.connect_timeout = '1s';
SELECT clock_timestamp() AS started \gset
SELECT pg_ldap_open(:'ldap_host', :stall_backlog);
SELECT pg_ldap_server_test(:'ldap_host', :stall_backlog, 'cn=x', 'stall-Passw0rd');
SELECT clock_timestamp() - :'started' BETWEEN interval '1.9s' AND interval '4s' AS two_timeouts;
RESET quenby_ldap.connect_timeout;
SET quenby_ldap.io_timeout = '1s';
SELECT pg_ldap_open(:'ldap_host', :stall_silent) AS s \gset
SELECT clock_timestamp() AS started \gset
SELECT pg_ldap_search(:s, 'dc=x', 0, '(cn=*)', '{cn}');
SELECT pg_ldap_bind(:s, 'cn=x', 'stall-Passw0rd');
SELECT count(*) FROM pg_ldap_search_rows(:s, 'dc=x', 2, '(cn=*)', '{cn}', 10);
SELECT clock_timestamp() - :'started' BETWEEN interval '2.9s' AND interval '6s' AS three_timeouts;
SELECT pg_ldap_unbind(:s);
RESET quenby_ldap.io_timeout;
-- Only a superuser may require TLS; any role may shorten its own waits.
CREATE ROLE quenby_limited;
SET ROLE quenby_limited;
SET quenby_ldap.require_tls = on;
SET quenby_ldap.io_timeout = '5s';
RESET ROLE;
DROP ROLE quenby_limited;

SELECT split_part(pg_read_file('postmaster.pid'), E'\n', 1) = :'postmaster' AS same_postmaster,
       pg_backend_pid() = :backend AS same_backend;
