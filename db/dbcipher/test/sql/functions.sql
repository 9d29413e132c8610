CREATE EXTENSION dbcipher;

-- Every function depends on its arguments alone: strict, immutable, parallel safe, and
-- documented.
SELECT p.proname, pg_get_function_arguments(p.oid) AS arguments,
       pg_get_function_result(p.oid) AS result, p.provolatile, p.proisstrict, p.proparallel,
       obj_description(p.oid, 'pg_proc') IS NOT NULL AS commented
FROM pg_depend d
JOIN pg_proc p ON p.oid = d.objid AND d.classid = 'pg_proc'::regclass
WHERE d.refobjid = (SELECT oid FROM pg_extension WHERE extname = 'dbcipher')
ORDER BY p.proname;

-- A NULL in any argument gives NULL without reaching the module.
SELECT call, result IS NULL AS is_null
FROM (VALUES
    ('aes_encr input', aes_encr(NULL, 16, true, 'ab', 'k')),
    ('aes_encr inputLen', aes_encr('x', NULL, true, 'ab', 'k')),
    ('aes_encr isEncrypt', aes_encr('x', 16, NULL, 'ab', 'k')),
    ('aes_encr salt', aes_encr('x', 16, true, NULL, 'k')),
    ('aes_encr masterKey', aes_encr('x', 16, true, 'ab', NULL)),
    ('mangle_port', mangle_port(NULL)::text),
    ('compute_salt crit1', compute_salt(NULL, 'x')),
    ('compute_salt crit2', compute_salt('x', NULL)),
    ('decr', decr(NULL)),
    ('encr', encr(NULL)),
    ('separate_encr_user value', separate_encr_user(NULL, true)),
    ('separate_encr_user flag', separate_encr_user('@a@b', NULL)),
    ('separate_encr_host value', separate_encr_host(NULL, false)),
    ('separate_encr_host flag', separate_encr_host('@a@b', NULL)),
    ('align_input', align_input(NULL)::text)) AS t(call, result);

-- Parallel workers load the module and give what the leader gives.
CREATE TABLE parallel_rows AS
SELECT i, md5(i::text) AS secret FROM generate_series(1, 2000) AS i;
SET force_parallel_mode = on;
SET parallel_setup_cost = 0;
SET parallel_tuple_cost = 0;
SELECT count(*) AS rows,
       bool_and(rtrim(aes_encr(aes_encr(secret, align_input(secret), true, 'Zq', 'parallel-key-016'),
                               0, false, 'Zq', 'parallel-key-016')) = secret) AS aes_round_trip,
       bool_and(decr(encr(secret)) = secret) AS legacy_round_trip
FROM parallel_rows;
RESET force_parallel_mode;
RESET parallel_setup_cost;
RESET parallel_tuple_cost;
DROP TABLE parallel_rows;

-- The extension drops and comes back cleanly.
DROP EXTENSION dbcipher;
CREATE EXTENSION dbcipher;
SELECT align_input('x');
