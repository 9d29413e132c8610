/* dbcipher--1.1.sql */

-- complain if script is sourced in psql, rather than via CREATE EXTENSION
\echo Use "CREATE EXTENSION dbcipher" to load this file. \quit

-- Every function depends on its arguments alone: the same arguments always give the same text.

CREATE FUNCTION aes_encr(input text, inputLen integer, isEncrypt boolean, salt text, masterKey text)
RETURNS text
AS 'MODULE_PATHNAME', 'aes_encr'
LANGUAGE C STRICT IMMUTABLE PARALLEL SAFE;

COMMENT ON FUNCTION aes_encr(text, integer, boolean, text, text) IS
'AES-128-CBC text transform. Encrypting (isEncrypt true): the first inputLen bytes of input (a multiple of 16, see align_input; missing bytes are zero) under the first 16 bytes of masterKey and the IV derived from the first two bytes of salt, as Base64 text. Decrypting: the space-padded plaintext of a Base64 text; inputLen is ignored.';

CREATE FUNCTION mangle_port(port integer)
RETURNS integer
AS 'MODULE_PATHNAME', 'mangle_port'
LANGUAGE C STRICT IMMUTABLE PARALLEL SAFE;

COMMENT ON FUNCTION mangle_port(integer) IS
'Mangles a port number as stored by the platform; the 32-bit result reads as negative when its top bit is set.';

CREATE FUNCTION compute_salt(crit1 text, crit2 text)
RETURNS text
AS 'MODULE_PATHNAME', 'compute_salt'
LANGUAGE C STRICT IMMUTABLE PARALLEL SAFE;

COMMENT ON FUNCTION compute_salt(text, text) IS
'The two-byte salt around the middle of crit1 || crit2, for aes_encr. One byte in all gives that byte twice; none gives the empty text.';

CREATE FUNCTION decr(ascii text)
RETURNS text
AS 'MODULE_PATHNAME', 'decr'
LANGUAGE C STRICT IMMUTABLE PARALLEL SAFE;

COMMENT ON FUNCTION decr(text) IS
'Decodes a legacy "@" text under the database legacy key; the empty text when it fails any check.';

CREATE FUNCTION encr(password text)
RETURNS text
AS 'MODULE_PATHNAME', 'encr'
LANGUAGE C STRICT IMMUTABLE PARALLEL SAFE;

COMMENT ON FUNCTION encr(text) IS
'Encodes at most 255 bytes as a legacy "@" text under the database legacy key.';

CREATE FUNCTION separate_encr_user(criteriaId text, masterKey boolean)
RETURNS text
AS 'MODULE_PATHNAME', 'separate_encr_user'
LANGUAGE C STRICT IMMUTABLE PARALLEL SAFE;

COMMENT ON FUNCTION separate_encr_user(text, boolean) IS
'The encrypted user part of a stored user+host value: legacy texts (masterKey false) are cut before the second "@", AES texts (masterKey true) after the first Base64 padding.';

CREATE FUNCTION separate_encr_host(criteriaId text, masterKey boolean)
RETURNS text
AS 'MODULE_PATHNAME', 'separate_encr_host'
LANGUAGE C STRICT IMMUTABLE PARALLEL SAFE;

COMMENT ON FUNCTION separate_encr_host(text, boolean) IS
'The encrypted host part of a stored user+host value, cut as separate_encr_user cuts it.';

CREATE FUNCTION align_input(input text)
RETURNS integer
AS 'MODULE_PATHNAME', 'align_input'
LANGUAGE C STRICT IMMUTABLE PARALLEL SAFE;

COMMENT ON FUNCTION align_input(text) IS
'The byte length of input rounded up to a multiple of 16: the inputLen to give aes_encr when encrypting it.';

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
