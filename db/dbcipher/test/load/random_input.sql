-- Random text from an alphabet rich in the characters the decoders look for, through every
-- function that reads outside text. Only crashes and errors matter here, not the values.
\set len random(0, 300)
\set port random(-2147483648, 2147483647)
\set inputlen random(-100, 100)
SELECT decr('@' || g), decr(g), aes_encr(g, :inputlen, false, g, g),
       separate_encr_user(g, true), separate_encr_host(g, true),
       separate_encr_user(g, false), separate_encr_host(g, false),
       compute_salt(g, g), align_input(g), mangle_port(:port)
FROM (SELECT coalesce(string_agg(substr(E'ABCDEFabcdef0123456789+/= @$_\u00e9\u20acxyz\n', (random() * 36)::int + 1, 1), ''), '') AS g
      FROM generate_series(1, :len)) t;
