CREATE EXTENSION IF NOT EXISTS dbcipher;

-- The server's key stands only in dbcipher's locked page, which core dumps leave out, after
-- calls both ways, an ERROR path and a reload that makes the backend read the key again; and
-- dbcipher's exit hook wipes that page. The needle is the key's hex, so that this file's text
-- never holds the key itself.
\getenv wipe_probe DBCIPHER_WIPE_PROBE
CREATE SCHEMA key_probe;
CREATE FUNCTION key_probe.key_copies(needle_hex text) RETURNS text
AS :'wipe_probe', 'key_copies' LANGUAGE C STRICT VOLATILE;
CREATE FUNCTION key_probe.key_copies_at_exit(needle_hex text) RETURNS void
AS :'wipe_probe', 'key_copies_at_exit' LANGUAGE C STRICT VOLATILE;
\set key_hex '526567726573732d5372764b65793136'

\c
-- The control: the probe finds a copy it is shown.
SELECT key_probe.key_copies(encode(convert_to(repeat('Probe-Control-', 2), 'UTF8'), 'hex')) NOT LIKE 'outside 0,%' AS control_found;
\c
SELECT key_probe.key_copies_at_exit(:'key_hex');
SELECT key_probe.key_copies(:'key_hex') AS before_first_use;
SELECT aes_encr(aes_encr('memory-probe-16b', 16, true, 'Mp'), 0, false, 'Mp');
SELECT error_of($$SELECT aes_encr('short', 5, true, 'Mp')$$);
SELECT pg_reload_conf();
SELECT pg_sleep(0.5);
SELECT length(dbcipher_key_fingerprint()) AS fingerprint_length;
-- How many copies the page holds is OpenSSL's affair (a schedule may start with the key).
SELECT key_probe.key_copies(:'key_hex') ~ '^outside 0, locked [1-9][0-9]*, unlocked 0$' AS only_in_locked_page;
-- The old backend scans its memory as it exits, which takes seconds under the sanitizers.
\c
DO $$
BEGIN
    FOR i IN 1..600 LOOP
        EXIT WHEN (pg_stat_file('key_probe_exit.txt', true)).size > 0;
        PERFORM pg_sleep(0.1);
    END LOOP;
END $$;
SELECT pg_read_file('key_probe_exit.txt') AS at_exit;

DROP SCHEMA key_probe CASCADE;
