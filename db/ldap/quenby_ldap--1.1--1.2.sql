\echo Use "ALTER EXTENSION quenby_ldap UPDATE TO '1.2'" to load this file. \quit

-- 1.2: values that are not text as rows, and the sessions of the current role.

CREATE FUNCTION pg_ldap_search_bytes(session bigint, base_dn text, scope integer, filter text,
                                     attributes text[], page_size integer DEFAULT 0)
    RETURNS TABLE (dn text, attribute text, value bytea)
    AS 'MODULE_PATHNAME', 'pg_ldap_search_bytes' LANGUAGE C STRICT VOLATILE PARALLEL UNSAFE
    ROWS 1000;
COMMENT ON FUNCTION pg_ldap_search_bytes(bigint, text, integer, text, text[], integer) IS
    'Search as rows with every value whole as bytea (objectGUID, objectSid, certificates); paged as pg_ldap_search_rows';

CREATE FUNCTION pg_ldap_sessions()
    RETURNS TABLE (session bigint, host text, port integer, tls text, bound_dn text,
                   results integer, age interval)
    AS 'MODULE_PATHNAME', 'pg_ldap_sessions' LANGUAGE C STRICT VOLATILE PARALLEL UNSAFE
    ROWS 10;
COMMENT ON FUNCTION pg_ldap_sessions() IS
    'The current role''s live sessions in this backend: server, TLS state (off, on, failed), bound DN, results held and age';

REVOKE EXECUTE ON FUNCTION
    pg_ldap_search_bytes(bigint, text, integer, text, text[], integer),
    pg_ldap_sessions()
FROM PUBLIC;
