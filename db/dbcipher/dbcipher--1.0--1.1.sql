/* dbcipher--1.0--1.1.sql */

-- complain if script is sourced in psql, rather than via ALTER EXTENSION
\echo Use "ALTER EXTENSION dbcipher UPDATE TO '1.1'" to load this file. \quit

-- The text forms refuse results that are not valid in the database encoding, since a dump of
-- such a value never restores. These bytea forms give the exact bytes whatever the encoding.
-- The library works on zero-terminated strings, so a value holding a zero byte is refused.

CREATE FUNCTION aes_encr(input bytea, inputLen integer, isEncrypt boolean, salt bytea, masterKey bytea)
RETURNS bytea
AS 'MODULE_PATHNAME', 'aes_encr_bytea'
LANGUAGE C STRICT IMMUTABLE PARALLEL SAFE;

COMMENT ON FUNCTION aes_encr(bytea, integer, boolean, bytea, bytea) IS
'aes_encr over bytes: encrypting gives the Base64 text as bytes, decrypting the space-padded plaintext bytes up to the first zero byte. No argument may hold a zero byte.';

CREATE FUNCTION compute_salt(crit1 bytea, crit2 bytea)
RETURNS bytea
AS 'MODULE_PATHNAME', 'compute_salt_bytea'
LANGUAGE C STRICT IMMUTABLE PARALLEL SAFE;

COMMENT ON FUNCTION compute_salt(bytea, bytea) IS
'compute_salt over bytes: the two bytes around the middle of crit1 || crit2, even when they split a character. No argument may hold a zero byte.';

CREATE FUNCTION decr(ascii bytea)
RETURNS bytea
AS 'MODULE_PATHNAME', 'decr_bytea'
LANGUAGE C STRICT IMMUTABLE PARALLEL SAFE;

COMMENT ON FUNCTION decr(bytea) IS
'decr over bytes: the clear bytes of a legacy "@" text under the database legacy key; empty when it fails any check. The text may not hold a zero byte.';

CREATE FUNCTION encr(password bytea)
RETURNS bytea
AS 'MODULE_PATHNAME', 'encr_bytea'
LANGUAGE C STRICT IMMUTABLE PARALLEL SAFE;

COMMENT ON FUNCTION encr(bytea) IS
'encr over bytes: at most 255 bytes, none of them zero, as a legacy "@" text under the database legacy key.';

-- The text forms now say where bytes that are not valid text go.

COMMENT ON FUNCTION aes_encr(text, integer, boolean, text, text) IS
'AES-128-CBC text transform. Encrypting (isEncrypt true): the first inputLen bytes of input (a multiple of 16, see align_input; missing bytes are zero) under the first 16 bytes of masterKey and the IV derived from the first two bytes of salt, as Base64 text. Decrypting: the space-padded plaintext of a Base64 text; inputLen is ignored. A plaintext that is not valid in the database encoding raises an error: use the bytea form.';

COMMENT ON FUNCTION compute_salt(text, text) IS
'The two-byte salt around the middle of crit1 || crit2, for aes_encr. One byte in all gives that byte twice; none gives the empty text. A salt that splits a character raises an error: use the bytea form.';

COMMENT ON FUNCTION decr(text) IS
'Decodes a legacy "@" text under the database legacy key; the empty text when it fails any check. Clear bytes that are not valid in the database encoding raise an error: use the bytea form.';
