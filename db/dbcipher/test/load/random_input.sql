-- Random text from an alphabet rich in the characters the decoders look for, through every
-- function that reads outside text. Only crashes and errors matter here, not the values.
-- Decoded bytes and cuts need not be valid text: the bytea forms take the text's bytes, and
-- the splits, which have none, an ASCII copy.
\set len random(0, 300)
\set port random(-2147483648, 2147483647)
\set inputlen random(-100, 100)
SELECT decr('@'::bytea || b), decr(b), aes_encr(b, :inputlen, false, b, b),
       separate_encr_user(a, true), separate_encr_host(a, true),
       separate_encr_user(a, false), separate_encr_host(a, false),
       compute_salt(b, b), align_input(g), mangle_port(:port)
FROM (SELECT g, convert_to(g, 'UTF8') AS b, translate(g, E'\u00e9\u20ac', 'eE') AS a
      FROM (SELECT coalesce(string_agg(substr(E'ABCDEFabcdef0123456789+/= @$_\u00e9\u20acxyz\n', (random() * 36)::int + 1, 1), ''), '') AS g
            FROM generate_series(1, :len)) r) t;
