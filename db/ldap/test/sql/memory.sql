-- 10,000 search and release cycles in one backend leave its resident memory flat, and so do
-- 1,000 paged searches of several pages each, with 1,000 more that end in an ERROR on their
-- second page (a value with a zero byte, with the wide entry in the same page).
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

CREATE FUNCTION resident_kb() RETURNS bigint LANGUAGE sql AS $$
    SELECT (regexp_match(pg_read_file('/proc/' || pg_backend_pid() || '/status'),
                         'VmRSS:\s+(\d+) kB'))[1]::bigint $$;

-- The entry without mail answers with a WARNING each time: keep those out of the transcript.
SET client_min_messages = error;
-- Warm-up: caches, the registry's tables and the allocator reach their working size.
SELECT cycles(:s, 1000);
SELECT resident_kb() AS before \gset
SELECT cycles(:s, 10000);
SELECT resident_kb() - :before AS growth \gset
RESET client_min_messages;
SELECT CASE WHEN :growth < 1024 THEN 'flat' ELSE format('grew by %s kB', :growth) END AS resident_memory;

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
SELECT resident_kb() AS before \gset
SELECT paged_cycles(:s, 1000);
SELECT resident_kb() - :before AS growth \gset
SELECT CASE WHEN :growth < 1024 THEN 'flat' ELSE format('grew by %s kB', :growth) END AS resident_memory;
SELECT pg_ldap_unbind(:s);
