-- A foreign table scan of 1,000,000 entries (stalling_ldap.py's flood) holds one entry at a
-- time: the backend's peak memory grows by less than 64 MB.
CREATE EXTENSION quenby_ldap;
CREATE SERVER flood FOREIGN DATA WRAPPER quenby_ldap_fdw
    OPTIONS (host :'ldap_host', port :'stall_flood', tls 'none');
CREATE USER MAPPING FOR PUBLIC SERVER flood OPTIONS (bind_dn 'cn=x', password :'sealed_pw');
CREATE FOREIGN TABLE flood (dn text, cn text) SERVER flood OPTIONS (base 'dc=flood', page_size '10');
CREATE FUNCTION peak_kb() RETURNS bigint LANGUAGE sql AS $$
    SELECT (regexp_match(pg_read_file('/proc/' || pg_backend_pid() || '/status'),
                         'VmHWM:\s+(\d+) kB'))[1]::bigint $$;
SET work_mem = '4MB';
SELECT peak_kb() AS peak_before \gset
SELECT count(*) AS entries, min(cn) AS first, max(dn) AS last FROM flood;
SELECT peak_kb() - :peak_before AS peak_growth \gset
SELECT CASE WHEN :peak_growth < 64 * 1024 THEN 'within 64 MB' ELSE format('grew by %s kB', :peak_growth) END
    AS peak_memory;
