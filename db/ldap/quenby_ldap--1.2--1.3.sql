\echo Use "ALTER EXTENSION quenby_ldap UPDATE TO '1.3'" to load this file. \quit

-- 1.3: directory servers defined once, with the accounts of their roles, and sessions by a
-- server's name. The wrapper has a validator and no handler yet: foreign tables come later.

CREATE FUNCTION quenby_ldap_fdw_validator(options text[], catalog oid)
    RETURNS void
    AS 'MODULE_PATHNAME', 'quenby_ldap_fdw_validator' LANGUAGE C STRICT VOLATILE PARALLEL UNSAFE;
COMMENT ON FUNCTION quenby_ldap_fdw_validator(text[], oid) IS
    'Checks the options of quenby_ldap_fdw servers and user mappings; a password only as a sealed envelope';

-- USAGE on the wrapper is not granted: only a superuser defines directory servers.
CREATE FOREIGN DATA WRAPPER quenby_ldap_fdw VALIDATOR quenby_ldap_fdw_validator;
COMMENT ON FOREIGN DATA WRAPPER quenby_ldap_fdw IS
    'Directory servers: host, port, tls, certificates and timeouts; user mappings with bind_dn and a sealed password';

CREATE FUNCTION pg_ldap_connect(server text)
    RETURNS bigint
    AS 'MODULE_PATHNAME', 'pg_ldap_connect' LANGUAGE C STRICT VOLATILE PARALLEL UNSAFE;
COMMENT ON FUNCTION pg_ldap_connect(text) IS
    'A session bound to a quenby_ldap_fdw server with the current role''s user mapping; needs USAGE on the server';

DROP FUNCTION pg_ldap_sessions();
CREATE FUNCTION pg_ldap_sessions()
    RETURNS TABLE (session bigint, host text, port integer, tls text, bound_dn text,
                   results integer, age interval, server text)
    AS 'MODULE_PATHNAME', 'pg_ldap_sessions' LANGUAGE C STRICT VOLATILE PARALLEL UNSAFE
    ROWS 10;
COMMENT ON FUNCTION pg_ldap_sessions() IS
    'The current role''s live sessions in this backend: server, TLS state (off, on, failed), bound DN, results held, age and the name of the server connected to';

REVOKE EXECUTE ON FUNCTION
    quenby_ldap_fdw_validator(text[], oid),
    pg_ldap_connect(text),
    pg_ldap_sessions()
FROM PUBLIC;

-- ---------------------------------------------------------------------------------------------
-- Foreign tables: a table is one search of its server, read only; WHERE conditions go to the
-- server where its answer surely holds every row (quenby_ldap.pushdown).
CREATE FUNCTION quenby_ldap_fdw_handler()
    RETURNS fdw_handler
    AS 'MODULE_PATHNAME', 'quenby_ldap_fdw_handler' LANGUAGE C STRICT;
COMMENT ON FUNCTION quenby_ldap_fdw_handler() IS
    'Scans foreign tables of quenby_ldap_fdw: one LDAP search each, entry by entry';
REVOKE EXECUTE ON FUNCTION quenby_ldap_fdw_handler() FROM PUBLIC;
-- Made again with the handler: ALTER ... HANDLER would warn about existing tables, of which
-- the wrapper created above can have none.
DROP FOREIGN DATA WRAPPER quenby_ldap_fdw;
CREATE FOREIGN DATA WRAPPER quenby_ldap_fdw
    HANDLER quenby_ldap_fdw_handler VALIDATOR quenby_ldap_fdw_validator;
COMMENT ON FOREIGN DATA WRAPPER quenby_ldap_fdw IS
    'Directory servers: host, port, tls, certificates and timeouts; user mappings with bind_dn and a sealed password; foreign tables of base, scope, filter and page_size';
