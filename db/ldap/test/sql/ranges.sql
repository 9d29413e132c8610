-- Attributes whose values come in ranges (stalling_ldap.py: a group of 350 members handed out
-- 100 at a time): every reader gives every value once, in the server's order, under the plain
-- name; a server that ranges inconsistently ends the call with an ERROR naming the range.
CREATE EXTENSION quenby_ldap;
SELECT pg_ldap_open(:'ldap_host', :stall_ranged) AS ranged,
       pg_ldap_open(:'ldap_host', :stall_unranged) AS unranged \gset

-- The peer's list, sent whole.
CREATE TABLE members AS
SELECT n, value FROM pg_ldap_search_rows(:unranged, 'dc=ranged', 2, '(cn=*)', '{member}')
    WITH ORDINALITY AS r(dn, attribute, value, n)
WHERE attribute = 'member';
SELECT count(*), count(DISTINCT value) FROM members;

-- Each reader's (attribute, value) rows against that list.
CREATE FUNCTION reading(query text, OUT attributes text, OUT members bigint,
                        OUT distinct_members bigint, OUT same_order boolean)
LANGUAGE plpgsql AS $$
BEGIN
    EXECUTE format('CREATE TEMP TABLE got AS SELECT row_number() OVER () AS n, a, v FROM (%s) q(a, v)',
                   query);
    SELECT string_agg(DISTINCT a, ','), count(*) FILTER (WHERE a = 'member'),
           count(DISTINCT v) FILTER (WHERE a = 'member'),
           array_agg(v ORDER BY n) FILTER (WHERE a = 'member')
               = (SELECT array_agg(value ORDER BY n) FROM members)
    INTO attributes, members, distinct_members, same_order FROM got;
    DROP TABLE got;
END $$;

\set walk 'FROM (SELECT pg_ldap_search(%1$s, ''dc=ranged'', 2, ''(cn=*)'', ''{member}'') AS r) s, pg_ldap_get_first_entry(%1$s, (s.r)[1]) AS e'
CREATE TABLE readers(label text, query text);
INSERT INTO readers VALUES
    ('rows, paged', 'SELECT attribute, value FROM pg_ldap_search_rows(%s, ''dc=ranged'', 2, ''(cn=*)'', ''{cn,member}'', 10)'),
    ('rows, plain search', 'SELECT attribute, value FROM pg_ldap_search_rows(%s, ''dc=ranged'', 2, ''(cn=*)'', ''{member,cn}'')'),
    ('bytes', 'SELECT attribute, convert_from(value, ''UTF8'') FROM pg_ldap_search_bytes(%s, ''dc=ranged'', 2, ''(cn=*)'', ''{member}'', 10)'),
    ('walk, values', 'SELECT ''member'', unnest(pg_ldap_get_attrib_vals(%1$s, e, ''Member'')) ' || :'walk'),
    ('walk, bytes', 'SELECT ''member'', convert_from(unnest(pg_ldap_get_attrib_bytes(%1$s, e, ''member'')), ''UTF8'') ' || :'walk');
SELECT label, (reading(format(query, :ranged))).* FROM readers ORDER BY label;
SELECT pg_ldap_get_attrib_value(:ranged, e, 'member') = (SELECT value FROM members ORDER BY n LIMIT 1) AS first_value
FROM (SELECT pg_ldap_search(:ranged, 'dc=ranged', 2, '(cn=*)', '{member}') AS r) s,
     pg_ldap_get_first_entry(:ranged, (s.r)[1]) AS e;
-- The walk lists the names as the server sent them.
SELECT unnest(pg_ldap_get_attributes(:ranged, e))
FROM (SELECT pg_ldap_search(:ranged, 'dc=ranged', 2, '(cn=*)', '{member}') AS r) s,
     pg_ldap_get_first_entry(:ranged, (s.r)[1]) AS e;

-- Servers that range inconsistently; each call gets a session of its own.
CREATE FUNCTION ranged_outcome(port int, call text) RETURNS text LANGUAGE plpgsql AS $$
DECLARE
    s bigint := pg_ldap_open(current_setting('quenby.host'), port);
    outcome text;
BEGIN
    BEGIN
        EXECUTE format(call, s) INTO outcome;
    EXCEPTION WHEN OTHERS THEN
        outcome := SQLSTATE || ' ' || SQLERRM;
    END;
    PERFORM pg_ldap_unbind(s);
    RETURN outcome;
END $$;
SELECT set_config('quenby.host', :'ldap_host', false) \gset
SELECT peer, reader, ranged_outcome(port, query)
FROM (VALUES ('range_backwards', :stall_range_backwards), ('range_repeat', :stall_range_repeat),
             ('range_skip', :stall_range_skip), ('range_endless', :stall_range_endless))
         AS peers(peer, port),
     (VALUES ('rows', 'SELECT count(*) FROM pg_ldap_search_rows(%s, ''dc=ranged'', 2, ''(cn=*)'', ''{member}'', 10)'),
             ('walk', 'SELECT cardinality(pg_ldap_get_attrib_vals(%1$s, e, ''member'')) ' || :'walk'))
         AS readers(reader, query)
ORDER BY peer, reader;

-- A follow-up that is never answered ends at quenby_ldap.io_timeout, and the session serves
-- the next call.
SET quenby_ldap.io_timeout = '1s';
SELECT pg_ldap_open(:'ldap_host', :stall_range_silent) AS silent \gset
SELECT count(*) FROM pg_ldap_search_rows(:silent, 'dc=ranged', 2, '(cn=*)', '{member}', 10);
SELECT pg_ldap_bind(:silent, 'cn=x', 'stall-Passw0rd');
RESET quenby_ldap.io_timeout;
SELECT pg_ldap_unbind(:silent), pg_ldap_unbind(:ranged), pg_ldap_unbind(:unranged);
