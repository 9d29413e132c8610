CREATE EXTENSION IF NOT EXISTS dbcipher;

-- The sandbox's key file holds Regress-SrvKey16. Its fingerprint is morvex -f's for that file.
SELECT dbcipher_key_fingerprint();

-- The four-argument forms give the bytes of the five-argument forms under the same key, both
-- ways, text and bytea, one block and many, every salt shape.
CREATE TEMP TABLE texts AS
SELECT i, repeat(chr(65 + i % 26), 1 + i % 70) AS clear, salt
FROM generate_series(0, 199) AS i,
     LATERAL (SELECT (ARRAY['ab', 'a', '', 'é'])[1 + i % 4] AS salt) s;
SELECT count(*) AS rows,
       count(*) FILTER (WHERE aes_encr(clear, align_input(clear), true, salt)
                              <> aes_encr(clear, align_input(clear), true, salt, 'Regress-SrvKey16')) AS text_differs,
       count(*) FILTER (WHERE aes_encr(convert_to(clear, 'UTF8'), align_input(clear), true, convert_to(salt, 'UTF8'))
                              <> aes_encr(convert_to(clear, 'UTF8'), align_input(clear), true, convert_to(salt, 'UTF8'),
                                          'Regress-SrvKey16'::bytea)) AS bytea_differs,
       count(*) FILTER (WHERE rtrim(aes_encr(aes_encr(clear, align_input(clear), true, salt, 'Regress-SrvKey16'),
                                             0, false, salt)) <> clear) AS not_opened
FROM texts;

-- Every rule of the five-argument forms holds.
SELECT label, error_of(query) FROM (VALUES
    ('inputLen not a multiple of 16', $$SELECT aes_encr('abc', 3, true, 'ab')$$),
    ('negative inputLen', $$SELECT aes_encr('abc', -16, true, 'ab')$$),
    ('bytea with a zero byte', $$SELECT aes_encr('\x4100'::bytea, 16, true, '\x4142'::bytea)$$),
    ('clear bytes that are not UTF8',
     $$SELECT aes_encr(encode(aes_encr('\xfffefdfcfbfaf9f8f7f6f5f4f3f2f1f0'::bytea, 16, true, 'ab'::bytea), 'escape'), 0, false, 'ab')$$),
    ('decrypting garbage', $$SELECT aes_encr('not base64 at all', 0, false, 'ab')$$),
    ('null argument', $$SELECT aes_encr(NULL::text, 16, true, 'ab') IS NULL$$))
    AS t(label, query);

-- STABLE: a call on constants or on parameters is not folded into the plan, so EXPLAIN VERBOSE
-- and auto_explain print the call, never its result.
SELECT provolatile, count(*) FROM pg_proc
WHERE proname IN ('aes_encr', 'dbcipher_key_fingerprint') AND pronargs < 5 GROUP BY provolatile;
CREATE FUNCTION pg_temp.explain_lines(query text) RETURNS SETOF text LANGUAGE plpgsql AS $$
DECLARE line text;
BEGIN
    FOR line IN EXECUTE query LOOP RETURN NEXT line; END LOOP;
END $$;
-- Decrypting a bound text: the five-argument form, IMMUTABLE, is the control, whose clear
-- result stands in the plan.
PREPARE opened(text) AS SELECT aes_encr($1, 0, false, 'ab') AS clear;
PREPARE folded(text) AS SELECT aes_encr($1, 0, false, 'ab', 'Regress-SrvKey16') AS clear;
SELECT form, count(*) FILTER (WHERE line LIKE '%aes_encr(%') AS calls_shown,
       count(*) FILTER (WHERE line LIKE '%Plan-Fold-Probe!%') AS clear_shown
FROM (VALUES ('server key', 'opened'), ('key passed', 'folded')) AS f(form, statement),
     LATERAL pg_temp.explain_lines(format('EXPLAIN (VERBOSE, COSTS OFF) EXECUTE %I(%L)', statement,
                                          aes_encr('Plan-Fold-Probe!', 16, true, 'ab'))) AS line
GROUP BY form ORDER BY form;
DEALLOCATE opened;
DEALLOCATE folded;
