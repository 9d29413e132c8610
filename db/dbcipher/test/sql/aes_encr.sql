CREATE EXTENSION IF NOT EXISTS dbcipher;

-- Plaintexts filled with spaces to whole blocks, as the platform stores them.
CREATE FUNCTION pg_temp.padded(t text) RETURNS text IMMUTABLE LANGUAGE sql AS
$$ SELECT t || repeat(' ', align_input(t) - octet_length(t)) $$;

-- Known texts: stored texts depend on every byte of these, so they must never change.
SELECT secret, salt, key, aes_encr(pg_temp.padded(secret), align_input(secret), true, salt, key) AS aes_text
FROM (VALUES
    ('hello', 'ab', '0123456789abcdef'),
    ('hello', 'ba', '0123456789abcdef'),
    ('hello', 'ab', '0123456789abcdeF'),
    ('db-password-2024', 'Xy', 'TarnMasterKey016'),
    ('a 33-byte secret, one past 2 blk', 'Xy', 'TarnMasterKey016'),
    ('päss€wörd', 'é', 'TarnMasterKey016')) AS t(secret, salt, key);

-- Sizes follow from the number of blocks: 24, 44, 64 characters for one to three blocks, a line
-- break after every 72 characters and none at the end. Each text decrypts to the padded
-- plaintext in full, the multi-line ones included.
SELECT n, align_input(secret) AS aligned, length(aes_text) AS text_length,
       length(aes_text) - length(replace(aes_text, E'\n', '')) AS line_breaks,
       right(aes_text, 2) LIKE '%=' AS padded, right(aes_text, 1) = E'\n' AS final_break,
       aes_encr(aes_text, 0, false, 'Qw', 'TarnMasterKey016') = pg_temp.padded(secret) AS round_trip
FROM (SELECT n, secret, aes_encr(pg_temp.padded(secret), align_input(secret), true, 'Qw', 'TarnMasterKey016') AS aes_text
      FROM (SELECT n, substr(repeat('Secret#', 40), 1, n) AS secret
            FROM unnest(ARRAY[1, 15, 16, 17, 32, 33, 48, 49, 64, 96, 144, 256]) AS n) s) t
ORDER BY n;

-- A text of several lines: every line is read, not only the first.
SELECT aes_encr(aes_encr(pg_temp.padded(s), align_input(s), true, 'ml', 'TarnMasterKey016'),
                0, false, 'ml', 'TarnMasterKey016') = pg_temp.padded(s) AS multi_line_round_trip
FROM (SELECT repeat('0123456789', 30) AS s) t;

-- Decrypting ignores inputLen and keeps the padding spaces.
SELECT inputlen, '[' || aes_encr('2U1EX8Tgc92/xhAtyoGRWQ==', inputlen, false, 'ab', '0123456789abcdef') || ']' AS plain
FROM unnest(ARRAY[0, 16, 17, -1, -2147483648, 2147483647]) AS inputlen;

-- Encrypting takes the first inputLen bytes; missing bytes are zero bytes, so decrypting gives
-- back exactly the text, without padding.
SELECT secret, inputlen, length(aes_text) AS text_length,
       '[' || aes_encr(aes_text, 0, false, 'ab', 'TarnMasterKey016') || ']' AS decrypted
FROM (SELECT secret, inputlen, aes_encr(secret, inputlen, true, 'ab', 'TarnMasterKey016') AS aes_text
      FROM (VALUES ('', 0), ('abc', 0), ('abc', 16), ('abc', 48), ('0123456789abcdefXYZ', 16),
                   ('0123456789abcdefXYZ', 32), ('ü', 16)) AS v(secret, inputlen)) t;

-- Only whole, non-negative blocks can be encrypted; buffers the server cannot hold are refused
-- before anything is allocated.
SELECT inputlen, error_of(format('SELECT aes_encr(%L, %s, true, %L, %L)', 'x', inputlen, 'ab', 'k')) AS outcome
FROM unnest(ARRAY[-16, -1, 1, 15, 17, 100, 2147483647, -2147483648, 2147483632, 1073741824, 805306368]) AS inputlen;

-- Large sizes work: one byte and 1 MiB less one of zero filler.
SELECT length(t) AS text_length, aes_encr(t, 0, false, 'ab', 'k') AS decrypted
FROM (SELECT aes_encr('x', 1048576, true, 'ab', 'k') AS t) s;

-- A short key continues with zero bytes and a short salt with zero bytes; longer ones are cut
-- at 16 and 2 bytes.
SELECT variant, aes_encr('0123456789abcdef', 16, true, salt, key) AS aes_text,
       aes_encr(aes_encr('0123456789abcdef', 16, true, salt, key), 0, false, salt, key) AS round_trip
FROM (VALUES ('empty key', 'ab', ''),
             ('one-byte key', 'ab', 'k'),
             ('15-byte key', 'ab', '0123456789abcde'),
             ('16-byte key', 'ab', '0123456789abcdef'),
             ('longer key', 'ab', '0123456789abcdefGHIJ'),
             ('empty salt', '', '0123456789abcdef'),
             ('one-byte salt', 'a', '0123456789abcdef'),
             ('longer salt', 'abZZ', '0123456789abcdef'),
             ('multi-byte salt', 'é', '0123456789abcdef')) AS t(variant, salt, key);

-- Texts that are not whole Base64 blocks of ciphertext decrypt to the empty text.
SELECT '[' || input || ']' AS input, '[' || aes_encr(input, 16, false, 'ab', 'k') || ']' AS plain
FROM unnest(ARRAY['', '=', '==AAAA', '!!!!', 'QUJD', 'QUJ', 'Q===', 'QUJDRA==',
                  'AAAAAAAAAAAAAAAAAAAAAAA', 'ÄÖÜ']) AS input;

-- A wrong key or salt gives other bytes, never the secret; they are rarely valid text, so the
-- bytea form shows them.
SELECT aes_encr(t, 0, false, 'ab', 'TarnMasterKey017') <> 'secret'::bytea AS wrong_key,
       aes_encr(t, 0, false, 'ac', 'TarnMasterKey016') <> 'secret'::bytea AS wrong_salt
FROM (SELECT aes_encr('secret'::bytea, 16, true, 'ab', 'TarnMasterKey016') AS t) s;
