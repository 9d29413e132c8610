/* dbcipher--1.1--1.2.sql */

-- complain if script is sourced in psql, rather than via ALTER EXTENSION
\echo Use "ALTER EXTENSION dbcipher UPDATE TO '1.2'" to load this file. \quit

-- The master key the server holds (dbcipher.key_file), so that no caller carries it in SQL.
-- STABLE, not IMMUTABLE: the result follows a reloadable setting, and an IMMUTABLE call on
-- constants or parameters is folded into the plan, where EXPLAIN VERBOSE and auto_explain
-- print its result. Only roles a superuser grants may use the server's key.

CREATE FUNCTION aes_encr(input text, inputLen integer, isEncrypt boolean, salt text)
RETURNS text
AS 'MODULE_PATHNAME', 'aes_encr_server_key'
LANGUAGE C STRICT STABLE PARALLEL SAFE;

COMMENT ON FUNCTION aes_encr(text, integer, boolean, text) IS
'aes_encr under the master key of the server (dbcipher.key_file), with the rules of the five-argument form. Granted by a superuser only.';

CREATE FUNCTION aes_encr(input bytea, inputLen integer, isEncrypt boolean, salt bytea)
RETURNS bytea
AS 'MODULE_PATHNAME', 'aes_encr_server_key_bytea'
LANGUAGE C STRICT STABLE PARALLEL SAFE;

COMMENT ON FUNCTION aes_encr(bytea, integer, boolean, bytea) IS
'aes_encr over bytes under the master key of the server (dbcipher.key_file). No argument may hold a zero byte. Granted by a superuser only.';

CREATE FUNCTION dbcipher_key_fingerprint()
RETURNS text
AS 'MODULE_PATHNAME', 'dbcipher_key_fingerprint'
LANGUAGE C STRICT STABLE PARALLEL SAFE;

COMMENT ON FUNCTION dbcipher_key_fingerprint() IS
'A short fingerprint of the server''s master key (what "morvex -f" prints for the same key file): equal fingerprints, equal keys. Granted by a superuser only.';

REVOKE ALL ON FUNCTION aes_encr(text, integer, boolean, text) FROM PUBLIC;
REVOKE ALL ON FUNCTION aes_encr(bytea, integer, boolean, bytea) FROM PUBLIC;
REVOKE ALL ON FUNCTION dbcipher_key_fingerprint() FROM PUBLIC;
