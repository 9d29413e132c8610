CREATE EXTENSION IF NOT EXISTS dbcipher;

-- The sandbox's previous key file holds Regress-PrevK-16, its key file Regress-SrvKey16.
SELECT dbcipher_previous_key_fingerprint() AS previous, dbcipher_key_fingerprint() AS current;

-- aes_encr_rewrap gives the bytes the five-argument forms give when they open under the old
-- key and seal under the new one: text and bytea, one block and many, every salt shape,
-- multi-byte clear texts, padding by zero bytes (align_input) and by spaces (the library's pad;
-- ASCII texts, so that 32 characters are 32 bytes), texts longer than a stack copy.
CREATE TEMP TABLE texts AS
SELECT i, clear, salt, aes_encr(clear, align_input(clear), true, salt, 'Regress-PrevK-16') AS sealed
FROM generate_series(0, 299) AS i,
     LATERAL (SELECT repeat(chr(65 + i % 26) || CASE WHEN i % 5 = 0 THEN 'é' ELSE '' END, i % 70)
                     || CASE WHEN i % 7 = 0 THEN '   ' ELSE '' END AS clear,
                     (ARRAY['ab', 'a', '', 'é'])[1 + i % 4] AS salt) s;
INSERT INTO texts
SELECT 1000 + i, rpad(clear, 32), salt, aes_encr(rpad(clear, 32), 32, true, salt, 'Regress-PrevK-16')
FROM texts WHERE i BETWEEN 1 AND 20 AND i % 5 <> 0;
INSERT INTO texts
SELECT 2000 + i, repeat('Long-' || i, 80), 'Lg', aes_encr(repeat('Long-' || i, 80), 400, true, 'Lg', 'Regress-PrevK-16')
FROM generate_series(1, 4) AS i;
SELECT count(*) AS rows,
       count(*) FILTER (WHERE aes_encr_rewrap(sealed, salt)
                              <> aes_encr(opened, align_input(opened), true, salt, 'Regress-SrvKey16')) AS text_differs,
       count(*) FILTER (WHERE aes_encr_rewrap(convert_to(sealed, 'UTF8'), convert_to(salt, 'UTF8'))
                              <> convert_to(aes_encr_rewrap(sealed, salt), 'UTF8')) AS bytea_differs,
       count(*) FILTER (WHERE aes_encr(aes_encr_rewrap(sealed, salt), 0, false, salt, 'Regress-SrvKey16')
                              <> aes_encr(sealed, 0, false, salt, 'Regress-PrevK-16')) AS opens_otherwise
FROM texts, LATERAL (SELECT aes_encr(sealed, 0, false, salt, 'Regress-PrevK-16') AS opened) o;

-- What the net refuses, by its DETAIL: texts that are not Base64 of whole blocks, and 4,000
-- texts sealed under a third key. In this UTF8 database the text form lets one of them pass;
-- the bytea form refuses only those that open to a zero byte followed by other bytes.
CREATE FUNCTION pg_temp.refusal(query text) RETURNS text LANGUAGE plpgsql AS $$
DECLARE detail text;
BEGIN
    EXECUTE query;
    RETURN 'passed';
EXCEPTION WHEN OTHERS THEN
    GET STACKED DIAGNOSTICS detail = PG_EXCEPTION_DETAIL;
    RETURN SQLSTATE || ': ' || SQLERRM || ' / ' || detail;
END $$;
SELECT label, pg_temp.refusal(query) FROM (VALUES
    ('not Base64', $$SELECT aes_encr_rewrap('not base64 at all', 'ab')$$),
    ('a partial block', $$SELECT aes_encr_rewrap('QUJDRA==', 'ab')$$),
    ('bytea, a partial block', $$SELECT aes_encr_rewrap('QUJDRA=='::bytea, 'ab'::bytea)$$),
    ('the empty text', $$SELECT aes_encr_rewrap('', 'ab')$$)) AS t(label, query);
CREATE TEMP TABLE strangers AS
SELECT i, salt, aes_encr(clear, align_input(clear), true, salt, 'Regress-Stranger') AS sealed
FROM generate_series(1, 4000) AS i,
     LATERAL (SELECT 'stranger-' || i AS clear, substr(md5(i::text), 1, 2) AS salt) s;
SELECT form, split_part(outcome, ' / ', 2) AS detail, count(*)
FROM strangers,
     LATERAL (VALUES ('text', pg_temp.refusal(format('SELECT aes_encr_rewrap(%L, %L)', sealed, salt))),
                     ('bytea', pg_temp.refusal(format('SELECT aes_encr_rewrap(%L::bytea, %L::bytea)', sealed, salt))))
             AS r(form, outcome)
GROUP BY 1, 2 ORDER BY 1, 2;

-- The rotation recipe: each row keeps the fingerprint of its key, and only rows under the
-- previous key are rewrapped. A table half rotated before (an interrupted batch) ends with
-- every row under the new key exactly once; the recipe run again changes nothing.
CREATE TEMP TABLE clears AS
SELECT i AS id, CASE WHEN i % 3 = 0 THEN 'sécret-' ELSE 'secret-' END || i AS clear,
       substr(md5(i::text), 1, 2) AS salt
FROM generate_series(1, 100000) AS i;
CREATE TABLE accounts (id int PRIMARY KEY, salt text, secret text, key_fp text);
INSERT INTO accounts
SELECT id, salt, aes_encr(clear, align_input(clear), true, salt, 'Regress-PrevK-16'),
       dbcipher_previous_key_fingerprint()
FROM clears;
CREATE TEMP TABLE expected AS
SELECT id, aes_encr(clear, align_input(clear), true, salt, 'Regress-SrvKey16') AS secret FROM clears;
WITH batch AS (
    UPDATE accounts SET secret = aes_encr_rewrap(secret, salt), key_fp = dbcipher_key_fingerprint()
    WHERE key_fp = dbcipher_previous_key_fingerprint() AND id <= 50000 RETURNING 1)
SELECT count(*) AS half_rotated FROM batch;
WITH recipe AS (
    UPDATE accounts SET secret = aes_encr_rewrap(secret, salt), key_fp = dbcipher_key_fingerprint()
    WHERE key_fp = dbcipher_previous_key_fingerprint() RETURNING 1)
SELECT count(*) AS rotated FROM recipe;
WITH recipe AS (
    UPDATE accounts SET secret = aes_encr_rewrap(secret, salt), key_fp = dbcipher_key_fingerprint()
    WHERE key_fp = dbcipher_previous_key_fingerprint() RETURNING 1)
SELECT count(*) AS rotated_again FROM recipe;
SELECT count(*) AS rows,
       count(*) FILTER (WHERE a.secret IS DISTINCT FROM e.secret) AS differ_from_five_argument_forms,
       count(*) FILTER (WHERE a.key_fp <> dbcipher_key_fingerprint()) AS other_fingerprint
FROM accounts a JOIN expected e USING (id);

-- Without the marker, in a UTF8 database: the first run rotates, the second ends in the ERROR
-- and leaves every row as the first run left it.
CREATE TABLE unmarked AS
SELECT id, salt, clear, aes_encr(clear, align_input(clear), true, salt, 'Regress-PrevK-16') AS secret
FROM clears WHERE id <= 20000;
SELECT error_of('UPDATE unmarked SET secret = aes_encr_rewrap(secret, salt)') AS first_run;
CREATE TEMP TABLE after_first AS SELECT id, secret FROM unmarked;
SELECT error_of('UPDATE unmarked SET secret = aes_encr_rewrap(secret, salt)') AS second_run;
SELECT count(*) AS rows, count(*) FILTER (WHERE u.secret <> f.secret) AS changed,
       count(*) FILTER (WHERE aes_encr(u.secret, 0, false, u.salt) <> u.clear) AS not_opened
FROM unmarked u JOIN after_first f USING (id);
DROP TABLE unmarked, accounts;

-- An existing table gains the column while every row is under the current key: the rows there
-- and a row inserted later hold the current key's fingerprint, and the recipe leaves them all.
CREATE TABLE existing AS
SELECT id, salt, aes_encr(clear, align_input(clear), true, salt) AS secret FROM clears WHERE id <= 1000;
ALTER TABLE existing ADD COLUMN key_fp text DEFAULT dbcipher_key_fingerprint();
INSERT INTO existing (id, salt, secret) VALUES (0, 'ab', aes_encr('added-later', 16, true, 'ab'));
WITH recipe AS (
    UPDATE existing SET secret = aes_encr_rewrap(secret, salt), key_fp = dbcipher_key_fingerprint()
    WHERE key_fp = dbcipher_previous_key_fingerprint() RETURNING 1)
SELECT count(*) AS rotated FROM recipe;
SELECT count(*) AS rows, count(*) FILTER (WHERE key_fp = dbcipher_key_fingerprint()) AS under_current_key
FROM existing;
DROP TABLE existing;
