-- Random text, salt and key of random lengths: decrypting what was encrypted gives the text
-- back (a division by zero ends the run otherwise).
\set len random(0, 400)
\set keylen random(0, 40)
\set saltlen random(0, 3)
SELECT 1 / (aes_encr(aes_encr(p, align_input(p), true, s, k), 0, false, s, k) = p)::int
FROM (SELECT substr(repeat(md5(random()::text) || 'äö€ ', 20), 1, :len) AS p,
             substr(md5(random()::text) || 'é', 1, :saltlen) AS s,
             substr(repeat(md5(random()::text), 2), 1, :keylen) AS k) t;
