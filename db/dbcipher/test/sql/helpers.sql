CREATE EXTENSION IF NOT EXISTS dbcipher;

-- Byte lengths, not characters, rounded up to whole blocks.
SELECT '[' || input || ']' AS input, octet_length(input) AS bytes, align_input(input)
FROM unnest(ARRAY['', 'a', '0123456789abcde', '0123456789abcdef', '0123456789abcdefg',
                  repeat('x', 32), 'é', repeat('é', 8), repeat('é', 9), repeat('€', 6)]) AS input;

-- The mangled 32-bit pattern reads as negative when its top bit is set; a negative port is
-- mangled as its two's-complement pattern.
SELECT port, mangle_port(port), mangle_port(port) < 0 AS negative
FROM unnest(ARRAY[0, 1, 389, 636, 5432, 8080, 65535, -1, 2147483647, -2147483648]) AS port;

-- The two bytes around the middle of the joined text; one byte in all gives it twice, none the
-- empty salt.
SELECT '[' || crit1 || ']' AS crit1, '[' || crit2 || ']' AS crit2,
       '[' || compute_salt(crit1, crit2) || ']' AS salt
FROM (VALUES ('ab', 'cde'), ('abc', 'de'), ('', 'abcd'), ('abcd', ''), ('ab', ''), ('', 'ab'),
             ('a', 'b'), ('a', ''), ('', 'a'), ('', ''), ('é', ''), ('alice', 'db01.example.net'))
     AS t(crit1, crit2);

-- Legacy mode: cut before the second "@". Master-key mode: cut after the first Base64 padding.
SELECT '[' || value || ']' AS value, mode,
       '[' || separate_encr_user(value, mode) || ']' AS user_part,
       '[' || separate_encr_host(value, mode) || ']' AS host_part
FROM (VALUES ('@AZiT@mA8P', false), ('@AZiT@mA8P@j0c', false), ('@AZiT', false), ('@', false),
             ('x', false), ('', false), ('AZiT@mA8P', false),
             ('abc==def=', true), ('abc=def==', true), ('abcdef=', true), ('==abc', true),
             ('=abc', true), ('abcdef', true), ('=', true), ('x', true), ('', true)) AS t(value, mode);

-- Stored values made of two real texts split into those two texts.
SELECT separate_encr_user(u || h, false) = u AND separate_encr_host(u || h, false) = h AS legacy_split,
       separate_encr_user(au || ah, true) = au AND separate_encr_host(au || ah, true) = ah AS aes_split
FROM (SELECT encr('alice') AS u, encr('db01.example.net') AS h,
             aes_encr('alice           ', 16, true, 'al', 'TarnMasterKey016') AS au,
             aes_encr('db01.example.net                ', 32, true, 'al', 'TarnMasterKey016') AS ah) t;
