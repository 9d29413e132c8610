\echo Use "ALTER EXTENSION quenby_ldap UPDATE TO '1.1'" to load this file. \quit

-- 1.1: entry names, whole binary values, and searches as sets of rows, paged for directories
-- that answer a plain search with at most one page (Active Directory's MaxPageSize).

CREATE FUNCTION pg_ldap_get_dn(session bigint, entry bigint) RETURNS text
    AS 'MODULE_PATHNAME', 'pg_ldap_get_dn' LANGUAGE C STRICT VOLATILE PARALLEL UNSAFE;
COMMENT ON FUNCTION pg_ldap_get_dn(bigint, bigint) IS
    'Distinguished name of an entry';

CREATE FUNCTION pg_ldap_get_attrib_bytes(session bigint, entry bigint, attribute text)
    RETURNS bytea[]
    AS 'MODULE_PATHNAME', 'pg_ldap_get_attrib_bytes' LANGUAGE C STRICT VOLATILE PARALLEL UNSAFE;
COMMENT ON FUNCTION pg_ldap_get_attrib_bytes(bigint, bigint, text) IS
    'All values of an attribute of an entry as whole byte strings, NULL when it has none';

CREATE FUNCTION pg_ldap_search_rows(session bigint, base_dn text, scope integer, filter text,
                                    attributes text[], page_size integer DEFAULT 0)
    RETURNS TABLE (dn text, attribute text, value text)
    AS 'MODULE_PATHNAME', 'pg_ldap_search_rows' LANGUAGE C STRICT VOLATILE PARALLEL UNSAFE
    ROWS 1000;
COMMENT ON FUNCTION pg_ldap_search_rows(bigint, text, integer, text, text[], integer) IS
    'Search as rows, one per value of each requested attribute of each entry; page_size > 0 pages the search (RFC 2696) until the server has sent every entry';

REVOKE EXECUTE ON FUNCTION
    pg_ldap_get_dn(bigint, bigint),
    pg_ldap_get_attrib_bytes(bigint, bigint, text),
    pg_ldap_search_rows(bigint, text, integer, text, text[], integer)
FROM PUBLIC;
