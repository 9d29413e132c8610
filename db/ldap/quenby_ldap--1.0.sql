\echo Use "CREATE EXTENSION quenby_ldap" to load this file. \quit

-- Handles are addresses inside one backend: every function is VOLATILE and PARALLEL UNSAFE,
-- and STRICT, so that a NULL argument never reaches the module (the call returns NULL).

CREATE FUNCTION pg_ldap_err2text(code integer) RETURNS text
    AS 'MODULE_PATHNAME', 'pg_ldap_err2text' LANGUAGE C STRICT VOLATILE PARALLEL UNSAFE;
COMMENT ON FUNCTION pg_ldap_err2text(integer) IS
    'The LDAP client library''s description of a result code';

CREATE FUNCTION pg_ldap_open(host text, port integer) RETURNS bigint
    AS 'MODULE_PATHNAME', 'pg_ldap_open' LANGUAGE C STRICT VOLATILE PARALLEL UNSAFE;
COMMENT ON FUNCTION pg_ldap_open(text, integer) IS
    'Connects to an LDAP server (protocol version 3); session handle, 0 when no connection could be made';

CREATE FUNCTION pg_ldap_open_ssl(session bigint, require_cert integer, cert_file text, key_file text)
    RETURNS integer
    AS 'MODULE_PATHNAME', 'pg_ldap_open_ssl' LANGUAGE C STRICT VOLATILE PARALLEL UNSAFE;
COMMENT ON FUNCTION pg_ldap_open_ssl(bigint, integer, text, text) IS
    'Starts TLS on an unbound session, presenting the client certificate and key; 0 once TLS runs';

CREATE FUNCTION pg_ldap_bind(session bigint, bind_dn text, password text) RETURNS integer
    AS 'MODULE_PATHNAME', 'pg_ldap_bind' LANGUAGE C STRICT VOLATILE PARALLEL UNSAFE;
COMMENT ON FUNCTION pg_ldap_bind(bigint, text, text) IS
    'Simple bind on a session; the bind''s LDAP result code, 0 on success';

CREATE FUNCTION pg_ldap_unbind(session bigint) RETURNS integer
    AS 'MODULE_PATHNAME', 'pg_ldap_unbind' LANGUAGE C STRICT VOLATILE PARALLEL UNSAFE;
COMMENT ON FUNCTION pg_ldap_unbind(bigint) IS
    'Closes a session and releases the search results still held on it; the unbind''s result code';

CREATE FUNCTION pg_ldap_server_test(host text, port integer, bind_dn text, password text)
    RETURNS integer
    AS 'MODULE_PATHNAME', 'pg_ldap_server_test' LANGUAGE C STRICT VOLATILE PARALLEL UNSAFE;
COMMENT ON FUNCTION pg_ldap_server_test(text, integer, text, text) IS
    'Connects, binds and closes again: 0 for accepted credentials, 1 when no connection, else the bind''s code';

CREATE FUNCTION pg_ldap_search(session bigint, base_dn text, scope integer, filter text,
                               attributes text[]) RETURNS bigint[]
    AS 'MODULE_PATHNAME', 'pg_ldap_search' LANGUAGE C STRICT VOLATILE PARALLEL UNSAFE;
COMMENT ON FUNCTION pg_ldap_search(bigint, text, integer, text, text[]) IS
    'Synchronous search (scope 0 base, 1 one level, 2 subtree); {message handle, result code}';

CREATE FUNCTION pg_ldap_count_entries(session bigint, message bigint) RETURNS integer
    AS 'MODULE_PATHNAME', 'pg_ldap_count_entries' LANGUAGE C STRICT VOLATILE PARALLEL UNSAFE;
COMMENT ON FUNCTION pg_ldap_count_entries(bigint, bigint) IS
    'Number of entries in a search result';

CREATE FUNCTION pg_ldap_msgfree(message bigint) RETURNS integer
    AS 'MODULE_PATHNAME', 'pg_ldap_msgfree' LANGUAGE C STRICT VOLATILE PARALLEL UNSAFE;
COMMENT ON FUNCTION pg_ldap_msgfree(bigint) IS
    'Releases a search result and its entries; the type of the released message';

CREATE FUNCTION pg_ldap_get_first_entry(session bigint, message bigint) RETURNS bigint
    AS 'MODULE_PATHNAME', 'pg_ldap_get_first_entry' LANGUAGE C STRICT VOLATILE PARALLEL UNSAFE;
COMMENT ON FUNCTION pg_ldap_get_first_entry(bigint, bigint) IS
    'Handle of the first entry of a search result, 0 when it has none';

CREATE FUNCTION pg_ldap_get_next_entry(session bigint, entry bigint) RETURNS bigint
    AS 'MODULE_PATHNAME', 'pg_ldap_get_next_entry' LANGUAGE C STRICT VOLATILE PARALLEL UNSAFE;
COMMENT ON FUNCTION pg_ldap_get_next_entry(bigint, bigint) IS
    'Handle of the following entry, 0 after the last';

CREATE FUNCTION pg_ldap_get_attributes(session bigint, entry bigint) RETURNS text[]
    AS 'MODULE_PATHNAME', 'pg_ldap_get_attributes' LANGUAGE C STRICT VOLATILE PARALLEL UNSAFE;
COMMENT ON FUNCTION pg_ldap_get_attributes(bigint, bigint) IS
    'Attribute names of an entry (at most 128), NULL when it has none';

CREATE FUNCTION pg_ldap_get_attrib_vals(session bigint, entry bigint, attribute text)
    RETURNS text[]
    AS 'MODULE_PATHNAME', 'pg_ldap_get_attrib_vals' LANGUAGE C STRICT VOLATILE PARALLEL UNSAFE;
COMMENT ON FUNCTION pg_ldap_get_attrib_vals(bigint, bigint, text) IS
    'All values of an attribute of an entry, NULL when it has none';

CREATE FUNCTION pg_ldap_get_attrib_value(session bigint, entry bigint, attribute text)
    RETURNS text
    AS 'MODULE_PATHNAME', 'pg_ldap_get_attrib_value' LANGUAGE C STRICT VOLATILE PARALLEL UNSAFE;
COMMENT ON FUNCTION pg_ldap_get_attrib_value(bigint, bigint, text) IS
    'First value of an attribute of an entry, NULL when it has none or it is empty';

CREATE FUNCTION pg_ldap_get_ad_info(session bigint, entry bigint) RETURNS integer
    AS 'MODULE_PATHNAME', 'pg_ldap_get_ad_info' LANGUAGE C STRICT VOLATILE PARALLEL UNSAFE;
COMMENT ON FUNCTION pg_ldap_get_ad_info(bigint, bigint) IS
    'Sends every attribute value of an entry to the client as INFO; the value count of the last attribute with values';

-- These functions open outbound connections and probe files of the server: only roles that
-- are granted EXECUTE may call them.
REVOKE EXECUTE ON FUNCTION
    pg_ldap_err2text(integer),
    pg_ldap_open(text, integer),
    pg_ldap_open_ssl(bigint, integer, text, text),
    pg_ldap_bind(bigint, text, text),
    pg_ldap_unbind(bigint),
    pg_ldap_server_test(text, integer, text, text),
    pg_ldap_search(bigint, text, integer, text, text[]),
    pg_ldap_count_entries(bigint, bigint),
    pg_ldap_msgfree(bigint),
    pg_ldap_get_first_entry(bigint, bigint),
    pg_ldap_get_next_entry(bigint, bigint),
    pg_ldap_get_attributes(bigint, bigint),
    pg_ldap_get_attrib_vals(bigint, bigint, text),
    pg_ldap_get_attrib_value(bigint, bigint, text),
    pg_ldap_get_ad_info(bigint, bigint)
FROM PUBLIC;
