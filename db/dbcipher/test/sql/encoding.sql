CREATE EXTENSION IF NOT EXISTS dbcipher;

-- Text results that are not valid in the database encoding (UTF8 here) are refused: stored,
-- they would make a dump that never restores. Each text function that can give such bytes:
-- a salt that splits a character, a split inside a character, a wrong key, a legacy text of
-- bytes that are not UTF8.
SELECT call, error_of('SELECT ' || call) AS outcome
FROM unnest(ARRAY[
    $$compute_salt('aé', '')$$,
    $$compute_salt('ab', 'é')$$,
    $$separate_encr_user('éabc', true)$$,
    $$separate_encr_host('éabc', true)$$,
    $$aes_encr(aes_encr('MySecretPassw0rd', 16, true, 'ab', 'MASTER-KEY-16byt'), 0, false, 'ab', 'WRONG-KEY-16byte')$$,
    $$decr(convert_from(encr('\xc3ff'::bytea), 'UTF8'))$$]) AS call;

-- The hint names the way out; the statements, which hold keys and clear texts, stay out of
-- the server log.
SELECT compute_salt('aé', '');
SELECT separate_encr_host('éabc', true);
SELECT aes_encr(aes_encr('MySecretPassw0rd', 16, true, 'ab', 'MASTER-KEY-16byt'), 0, false, 'ab', 'WRONG-KEY-16byte');
SELECT aes_encr('MySecretPassw0rd', 17, true, 'ab', 'MASTER-KEY-16byt');
CREATE TABLE refused AS SELECT compute_salt('aé', '') AS s;

-- The bytea forms give the exact bytes, valid text or not.
SELECT label, result
FROM (VALUES
    ('salt splitting a character', compute_salt('aé'::bytea, ''::bytea)),
    ('salt of Latin-1 bytes', compute_salt('\xe9e9'::bytea, '\x41'::bytea)),
    ('wrong key', aes_encr(aes_encr('MySecretPassw0rd'::bytea, 16, true, 'ab', 'MASTER-KEY-16byt'), 0, false, 'ab', 'WRONG-KEY-16byte')),
    ('encrypted Latin-1', aes_encr('\xe46c6c6f'::bytea, 16, true, '\xe9'::bytea, 'k')),
    ('decrypted Latin-1', aes_encr(aes_encr('\xe46c6c6f'::bytea, 16, true, '\xe9'::bytea, 'k'), 0, false, '\xe9'::bytea, 'k')),
    ('padding kept', aes_encr(aes_encr('ab  '::bytea, 16, true, 'ab', 'k'), 0, false, 'ab', 'k')),
    ('legacy text', encr('\xc3ff'::bytea)),
    ('legacy clear bytes', decr(encr('\xc3ff'::bytea))),
    ('refused legacy text', decr('@AZiT_mA8Pj0'::bytea))) AS t(label, result);

-- Where the bytes are valid text, both forms agree.
SELECT count(*) AS cases,
       bool_and(compute_salt(b1, b2) = convert_to(compute_salt(t1, t2), 'UTF8')) AS salts,
       bool_and(aes_encr(b1, align_input(t1), true, b2, b1) = convert_to(aes_encr(t1, align_input(t1), true, t2, t1), 'UTF8')) AS encrypted,
       bool_and(aes_encr(aes_encr(b1, align_input(t1), true, b2, b1), 0, false, b2, b1) = b1) AS decrypted,
       bool_and(encr(b1) = convert_to(encr(t1), 'UTF8') AND decr(encr(b1)) = b1) AS legacy
FROM (SELECT t1, t2, convert_to(t1, 'UTF8') AS b1, convert_to(t2, 'UTF8') AS b2
      FROM (VALUES ('alice', 'db01.example.net'), ('aé', 'b'), ('x', ''),
                   (repeat('Grüße', 20), 'Xy')) AS v(t1, t2)) t;

-- The library reads strings up to their first zero byte, so a bytea holding one is refused
-- wherever it stands.
SELECT call, error_of('SELECT ' || call) AS outcome
FROM unnest(ARRAY[
    $$aes_encr('\x6100'::bytea, 16, true, 'ab', 'k')$$,
    $$aes_encr('a'::bytea, 16, true, '\x0062'::bytea, 'k')$$,
    $$aes_encr('a'::bytea, 16, true, 'ab', '\x6b00'::bytea)$$,
    $$compute_salt('\x00'::bytea, 'b')$$,
    $$compute_salt('a', '\x00'::bytea)$$,
    $$decr('\x4000'::bytea)$$,
    $$encr('\x00'::bytea)$$]) AS call;

-- In SQL_ASCII every byte string is valid text: the text forms give the bytes unchanged.
CREATE DATABASE dbcipher_sql_ascii ENCODING 'SQL_ASCII' LC_COLLATE 'C' LC_CTYPE 'C' TEMPLATE template0;
\c dbcipher_sql_ascii
CREATE EXTENSION dbcipher;
SELECT compute_salt('aé', '')::bytea AS salt, separate_encr_user('éabc', true)::bytea AS user_part;
\c dbcipher_regress
DROP DATABASE dbcipher_sql_ascii;
