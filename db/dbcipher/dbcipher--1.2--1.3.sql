/* dbcipher--1.2--1.3.sql */

-- complain if script is sourced in psql, rather than via ALTER EXTENSION
\echo Use "ALTER EXTENSION dbcipher UPDATE TO '1.3'" to load this file. \quit

-- Rotation of the server's key: the key being replaced (dbcipher.previous_key_file) opens a
-- stored text and the current key seals it again, inside one call, so that neither key nor
-- the clear text is ever in SQL. STABLE and revoked from PUBLIC like the server-key forms.

CREATE FUNCTION aes_encr_rewrap(input text, salt text)
RETURNS text
AS 'MODULE_PATHNAME', 'aes_encr_rewrap'
LANGUAGE C STRICT STABLE PARALLEL SAFE;

COMMENT ON FUNCTION aes_encr_rewrap(text, text) IS
'The AES text input, opened under the previous key of the server (dbcipher.previous_key_file) and sealed under its current key (dbcipher.key_file) with the same salt. An ERROR for a text that does not open to one the kit could have sealed. Granted by a superuser only.';

CREATE FUNCTION aes_encr_rewrap(input bytea, salt bytea)
RETURNS bytea
AS 'MODULE_PATHNAME', 'aes_encr_rewrap_bytea'
LANGUAGE C STRICT STABLE PARALLEL SAFE;

COMMENT ON FUNCTION aes_encr_rewrap(bytea, bytea) IS
'aes_encr_rewrap over bytes: the clear bytes are not checked against the database encoding. No argument may hold a zero byte. Granted by a superuser only.';

CREATE FUNCTION dbcipher_previous_key_fingerprint()
RETURNS text
AS 'MODULE_PATHNAME', 'dbcipher_previous_key_fingerprint'
LANGUAGE C STRICT STABLE PARALLEL SAFE;

COMMENT ON FUNCTION dbcipher_previous_key_fingerprint() IS
'The fingerprint of the server''s previous key (dbcipher.previous_key_file), as dbcipher_key_fingerprint() gives it for the current one. Granted by a superuser only.';

REVOKE ALL ON FUNCTION aes_encr_rewrap(text, text) FROM PUBLIC;
REVOKE ALL ON FUNCTION aes_encr_rewrap(bytea, bytea) FROM PUBLIC;
REVOKE ALL ON FUNCTION dbcipher_previous_key_fingerprint() FROM PUBLIC;
