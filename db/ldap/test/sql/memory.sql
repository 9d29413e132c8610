-- 10,000 search and release cycles in one backend leave its private memory flat, and so do
-- 1,000 paged searches of several pages each, with 1,000 more that end in an ERROR on their
-- second page (a value with a zero byte, with the wide entry in the same page).
--
-- Private memory is the backend's RssAnon: resident memory (VmRSS) also counts the pages of
-- shared memory a backend touches for the first time. The work runs in two equal windows after
-- a warm-up; a leak grows both, while the allocator settling or a page touched once grows one
-- at most. Memory is flat unless both windows grew by half a kilobyte per cycle or more, so a
-- leak of a kilobyte per cycle shows every time.
CREATE EXTENSION quenby_ldap;
SELECT pg_ldap_open(:'ldap_host', :ldap_port) AS s \gset
SELECT pg_ldap_bind(:s, :'bind_dn', :'bind_pw');

CREATE FUNCTION cycles(s bigint, n int) RETURNS int LANGUAGE plpgsql AS $$
DECLARE
    r bigint[];
    e bigint;
    read int := 0;
BEGIN
    FOR i IN 1 .. n LOOP
        r := pg_ldap_search(s, 'ou=people,dc=tarn,dc=test', 1, '(objectClass=*)', '{cn,mail,uid}');
        e := pg_ldap_get_first_entry(s, r[1]);
        WHILE e <> 0 LOOP
            IF pg_ldap_get_attrib_vals(s, e, 'mail') IS NOT NULL THEN
                read := read + 1;
            END IF;
            e := pg_ldap_get_next_entry(s, e);
        END LOOP;
        PERFORM pg_ldap_msgfree(r[1]);
    END LOOP;
    RETURN read;
END $$;

CREATE FUNCTION private_kb() RETURNS bigint LANGUAGE sql AS $$
    SELECT (regexp_match(pg_read_file('/proc/' || pg_backend_pid() || '/status'),
                         'RssAnon:\s+(\d+) kB'))[1]::bigint $$;
CREATE FUNCTION verdict(first_kb bigint, second_kb bigint, cycles int) RETURNS text
LANGUAGE sql AS $$
    SELECT CASE WHEN 2 * least(first_kb, second_kb) < cycles THEN 'flat'
                ELSE format('grew by %s and %s kB', first_kb, second_kb) END $$;

-- The entry without mail answers with a WARNING each time: keep those out of the transcript.
SET client_min_messages = error;
-- Warm-up: caches, the registry's tables and the allocator reach their working size.
SELECT cycles(:s, 1000);
SELECT private_kb() AS start_kb \gset
SELECT cycles(:s, 5000);
SELECT private_kb() AS middle_kb \gset
SELECT cycles(:s, 5000);
RESET client_min_messages;
SELECT verdict(:middle_kb - :start_kb, private_kb() - :middle_kb, 5000) AS private_memory;

CREATE FUNCTION paged_cycles(s bigint, n int) RETURNS bigint LANGUAGE plpgsql AS $$
DECLARE
    outcomes bigint := 0;
BEGIN
    FOR i IN 1 .. n LOOP
        outcomes := outcomes + (SELECT count(*) FROM pg_ldap_search_rows(
            s, 'ou=people,dc=tarn,dc=test', 2, '(objectClass=*)', '{cn,mail,uid}', 1));
        BEGIN
            PERFORM FROM pg_ldap_search_rows(s, 'dc=tarn,dc=test', 1, '(objectClass=*)', '{*}', 2);
        EXCEPTION WHEN OTHERS THEN
            outcomes := outcomes + 1;
        END;
    END LOOP;
    RETURN outcomes;
END $$;
SELECT paged_cycles(:s, 100);
SELECT private_kb() AS start_kb \gset
SELECT paged_cycles(:s, 500);
SELECT private_kb() AS middle_kb \gset
SELECT paged_cycles(:s, 500);
SELECT verdict(:middle_kb - :start_kb, private_kb() - :middle_kb, 500) AS private_memory;
SELECT pg_ldap_unbind(:s);

-- 1,000 StartTLS sessions opened and unbound in one backend, after 100 to warm up: sessions of
-- the same certificate and key share one TLS context, so private memory stays flat.
CREATE FUNCTION tls_sessions(n int, cert text, key text) RETURNS text LANGUAGE plpgsql AS $$
DECLARE
    s bigint;
    started int := 0;
    bound int := 0;
BEGIN
    FOR i IN 1 .. n LOOP
        s := pg_ldap_open(current_setting('quenby.host'), current_setting('quenby.port')::int);
        BEGIN
            started := started + (pg_ldap_open_ssl(s, 0, cert, key) = 0)::int;
            bound := bound + (pg_ldap_bind(s, current_setting('quenby.dn'),
                                           current_setting('quenby.pw')) = 0)::int;
        EXCEPTION WHEN OTHERS THEN
        END;
        PERFORM pg_ldap_unbind(s);
    END LOOP;
    RETURN format('%s started, %s bound', started, bound);
END $$;
SELECT set_config('quenby.host', :'ldap_host', false), set_config('quenby.port', :'ldap_port', false),
       set_config('quenby.dn', :'bind_dn', false), set_config('quenby.pw', :'bind_pw', false) \gset
SELECT tls_sessions(100, :'client_cert', :'client_key');
SELECT private_kb() AS start_kb \gset
SELECT tls_sessions(500, :'client_cert', :'client_key');
SELECT private_kb() AS middle_kb \gset
SELECT tls_sessions(500, :'client_cert', :'client_key');
SELECT verdict(:middle_kb - :start_kb, private_kb() - :middle_kb, 500) AS private_memory;

-- A certificate and key replaced on disk between sessions are the ones presented next: the
-- server refuses another CA's certificate, and takes its own again once it is back.
\set rotating_cert `echo "$PG_SANDBOX_DIR/shared/rotating.crt"`
\set rotating_key `echo "$PG_SANDBOX_DIR/shared/rotating.key"`
\setenv ROTATING_CERT :rotating_cert
\setenv ROTATING_KEY :rotating_key
\set rotate 'install -o postgres -m 600 "$CERT" "$ROTATING_CERT.new" && install -o postgres -m 600 "$KEY" "$ROTATING_KEY.new" && mv "$ROTATING_CERT.new" "$ROTATING_CERT" && mv "$ROTATING_KEY.new" "$ROTATING_KEY"'
\setenv rotate :rotate
\! CERT=$LDAP_CLIENT_CERT KEY=$LDAP_CLIENT_KEY eval "$rotate"
SELECT tls_sessions(1, :'rotating_cert', :'rotating_key') AS own_ca;
\! CERT=$LDAP_ROGUE_CERT KEY=$LDAP_ROGUE_KEY eval "$rotate"
SELECT tls_sessions(1, :'rotating_cert', :'rotating_key') AS other_ca;
\! CERT=$LDAP_CLIENT_CERT KEY=$LDAP_CLIENT_KEY eval "$rotate"
SELECT tls_sessions(1, :'rotating_cert', :'rotating_key') AS own_ca_again;

-- A server that ignores the page size and sends 1,000,000 entries in one answer: every row
-- arrives, as text and as bytes, and the peak resident memory of a fresh backend grows by less
-- than 64 MB with work_mem at 4 MB (rows spill to disk past it; the library holds one entry at
-- a time).
\c
CREATE FUNCTION peak_kb() RETURNS bigint LANGUAGE sql AS $$
    SELECT (regexp_match(pg_read_file('/proc/' || pg_backend_pid() || '/status'),
                         'VmHWM:\s+(\d+) kB'))[1]::bigint $$;
SET work_mem = '4MB';
SELECT pg_ldap_open(:'ldap_host', :stall_flood) AS f \gset
SELECT peak_kb() AS peak_before \gset
SELECT count(*) AS rows, min(value) AS first, max(value) AS last
FROM pg_ldap_search_rows(:f, 'dc=flood', 2, '(cn=*)', '{cn}', 10);
SELECT count(*) AS byte_rows, sum(length(value)) AS bytes
FROM pg_ldap_search_bytes(:f, 'dc=flood', 2, '(cn=*)', '{cn}', 10);
SELECT peak_kb() - :peak_before AS peak_growth \gset
SELECT CASE WHEN :peak_growth < 64 * 1024 THEN 'within 64 MB' ELSE format('grew by %s kB', :peak_growth) END
    AS peak_memory;
SELECT pg_ldap_unbind(:f);
