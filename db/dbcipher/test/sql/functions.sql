CREATE EXTENSION dbcipher;

-- Every function depends on its arguments alone: strict, immutable, parallel safe, and
-- documented.
SELECT p.proname, pg_get_function_arguments(p.oid) AS arguments,
       pg_get_function_result(p.oid) AS result, p.provolatile, p.proisstrict, p.proparallel,
       obj_description(p.oid, 'pg_proc') IS NOT NULL AS commented
FROM pg_depend d
JOIN pg_proc p ON p.oid = d.objid AND d.classid = 'pg_proc'::regclass
WHERE d.refobjid = (SELECT oid FROM pg_extension WHERE extname = 'dbcipher')
ORDER BY p.proname, arguments;

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

-- Installing 1.3 and updating 1.0 to it (through 1.1 and 1.2) give the same functions, with the
-- same results and the same grants. The
-- body is parsed at each call, so it does not keep the extension from being dropped.
CREATE FUNCTION pg_temp.installed() RETURNS SETOF text LANGUAGE sql AS $$
SELECT concat_ws(' | ', p.proname, pg_get_function_arguments(p.oid), pg_get_function_result(p.oid),
                 p.provolatile, p.proisstrict, p.proparallel, p.prosrc, obj_description(p.oid, 'pg_proc'),
                 p.proacl::text)
FROM pg_depend d
JOIN pg_proc p ON p.oid = d.objid AND d.classid = 'pg_proc'::regclass
WHERE d.refobjid = (SELECT oid FROM pg_extension WHERE extname = 'dbcipher')
UNION ALL
SELECT concat_ws(' | ', aes_encr('secret', 16, true, 'ab', 'k'), aes_encr('secret'::bytea, 16, true, 'ab', 'k'),
                 compute_salt('alice', 'db01'), compute_salt('aé'::bytea, ''), encr('secret'),
                 encr('secret'::bytea), decr('@AZiT_mA8Pj0c'), decr('@AZiT_mA8Pj0c'::bytea),
                 mangle_port(5432), separate_encr_user('@a@b', false), separate_encr_host('@a@b', false),
                 align_input('secret'))
$$;
CREATE TEMP TABLE fresh AS SELECT f FROM pg_temp.installed() AS f;
DROP EXTENSION dbcipher;
CREATE EXTENSION dbcipher VERSION '1.0';
SELECT extversion, (SELECT count(*) FROM pg_depend WHERE refobjid = e.oid AND classid = 'pg_proc'::regclass) AS functions
FROM pg_extension e WHERE extname = 'dbcipher';
ALTER EXTENSION dbcipher UPDATE;
SELECT extversion, (SELECT count(*) FROM fresh) AS compared,
       (SELECT count(*) FROM ((TABLE fresh EXCEPT SELECT * FROM pg_temp.installed())
                              UNION ALL (SELECT * FROM pg_temp.installed() EXCEPT TABLE fresh)) d) AS differences
FROM pg_extension WHERE extname = 'dbcipher';
