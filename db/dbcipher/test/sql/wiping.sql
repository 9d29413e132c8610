CREATE EXTENSION IF NOT EXISTS dbcipher;

-- Keys and clear texts pass through dbcipher's buffers; once a call has ended, by a result or
-- by an ERROR, none of them may be left in memory that the server hands to the next palloc.
-- leftover_after(fn, args, needle) calls fn, then looks for the needle in every chunk the
-- memory context gives out again. Each case runs in a new backend whose memory has never
-- held the texts: the arguments come from a table written by this one.
\getenv wipe_probe DBCIPHER_WIPE_PROBE
CREATE SCHEMA probe;
CREATE FUNCTION probe.leftover_after(fn regprocedure, args text[], needle text) RETURNS text
AS :'wipe_probe', 'leftover_after' LANGUAGE C STRICT VOLATILE;
CREATE FUNCTION probe.leave_unwiped(secret text) RETURNS boolean
AS :'wipe_probe', 'leave_unwiped' LANGUAGE C STRICT VOLATILE;

CREATE TABLE probe.cases (label text, fn regprocedure, args text[], needle text);
INSERT INTO probe.cases
SELECT label, fn::regprocedure, args, needle
FROM (SELECT aes_encr('WipeClearText-16', 16, true, 'ab', 'WipeMasterKey-01') AS aes_text,
             aes_encr('WipeClearText-16', 16, true, 'ab') AS server_text,
             aes_encr('WipeClearText-16', 16, true, 'ab', 'Regress-PrevK-16') AS previous_text,
             encode(aes_encr(convert_to('WipeRefused-Clr', 'UTF8') || '\xff'::bytea, 16, true, 'ab'::bytea,
                             'Regress-PrevK-16'::bytea), 'escape') AS previous_not_utf8,
             encr('WipeLegacyClear') AS legacy_text) t,
     LATERAL (VALUES
    ('encrypting: clear text', 'aes_encr(text,integer,boolean,text,text)',
     ARRAY['WipeClearText-16', '16', 'true', 'ab', 'WipeMasterKey-01'], 'WipeClearText-16'),
    ('encrypting: key', 'aes_encr(text,integer,boolean,text,text)',
     ARRAY['WipeClearText-16', '16', 'true', 'ab', 'WipeMasterKey-01'], 'WipeMasterKey-01'),
    ('decrypting: clear text', 'aes_encr(text,integer,boolean,text,text)',
     ARRAY[aes_text, '0', 'false', 'ab', 'WipeMasterKey-01'], 'WipeClearText-16'),
    ('decrypting: key', 'aes_encr(text,integer,boolean,text,text)',
     ARRAY[aes_text, '0', 'false', 'ab', 'WipeMasterKey-01'], 'WipeMasterKey-01'),
    ('wrong key, refused result: key', 'aes_encr(text,integer,boolean,text,text)',
     ARRAY[aes_text, '0', 'false', 'ab', 'WipeWrongKey-016'], 'WipeWrongKey-016'),
    ('bytea encrypting: clear text', 'aes_encr(bytea,integer,boolean,bytea,bytea)',
     ARRAY['WipeClearText-16', '16', 'true', 'ab', 'WipeMasterKey-01'], 'WipeClearText-16'),
    ('bytea decrypting: key', 'aes_encr(bytea,integer,boolean,bytea,bytea)',
     ARRAY[aes_text, '0', 'false', 'ab', 'WipeMasterKey-01'], 'WipeMasterKey-01'),
    ('server key encrypting: clear text', 'aes_encr(text,integer,boolean,text)',
     ARRAY['WipeClearText-16', '16', 'true', 'ab'], 'WipeClearText-16'),
    ('server key decrypting: clear text', 'aes_encr(text,integer,boolean,text)',
     ARRAY[server_text, '0', 'false', 'ab'], 'WipeClearText-16'),
    ('server key decrypting: key', 'aes_encr(text,integer,boolean,text)',
     ARRAY[server_text, '0', 'false', 'ab'], 'Regress-SrvKey16'),
    ('server key bytea refused: key', 'aes_encr(bytea,integer,boolean,bytea)',
     ARRAY['WipeClearText-16', '15', 'true', 'ab'], 'Regress-SrvKey16'),
    ('rewrap: clear text', 'aes_encr_rewrap(text,text)', ARRAY[previous_text, 'ab'], 'WipeClearText-16'),
    ('bytea rewrap: clear text', 'aes_encr_rewrap(bytea,bytea)', ARRAY[previous_text, 'ab'],
     'WipeClearText-16'),
    ('rewrap refused: clear text', 'aes_encr_rewrap(text,text)', ARRAY[previous_not_utf8, 'ab'],
     'WipeRefused-Clr'),
    ('encr: clear text', 'encr(text)', ARRAY['WipeLegacyClear'], 'WipeLegacyClear'),
    ('decr: clear text', 'decr(text)', ARRAY[legacy_text], 'WipeLegacyClear'),
    ('bytea decr: clear text', 'decr(bytea)', ARRAY[legacy_text], 'WipeLegacyClear'),
    ('control: a copy freed unwiped', 'probe.leave_unwiped(text)', ARRAY['WipeControl'], 'WipeControl'))
    AS v(label, fn, args, needle);

\c
SELECT label, probe.leftover_after(fn, args, needle) FROM probe.cases WHERE label = 'encrypting: clear text';
\c
SELECT label, probe.leftover_after(fn, args, needle) FROM probe.cases WHERE label = 'encrypting: key';
\c
SELECT label, probe.leftover_after(fn, args, needle) FROM probe.cases WHERE label = 'decrypting: clear text';
\c
SELECT label, probe.leftover_after(fn, args, needle) FROM probe.cases WHERE label = 'decrypting: key';
\c
SELECT label, probe.leftover_after(fn, args, needle) FROM probe.cases WHERE label = 'wrong key, refused result: key';
\c
SELECT label, probe.leftover_after(fn, args, needle) FROM probe.cases WHERE label = 'bytea encrypting: clear text';
\c
SELECT label, probe.leftover_after(fn, args, needle) FROM probe.cases WHERE label = 'bytea decrypting: key';
\c
SELECT label, probe.leftover_after(fn, args, needle) FROM probe.cases WHERE label = 'server key encrypting: clear text';
\c
SELECT label, probe.leftover_after(fn, args, needle) FROM probe.cases WHERE label = 'server key decrypting: clear text';
\c
SELECT label, probe.leftover_after(fn, args, needle) FROM probe.cases WHERE label = 'server key decrypting: key';
\c
SELECT label, probe.leftover_after(fn, args, needle) FROM probe.cases WHERE label = 'server key bytea refused: key';
\c
SELECT label, probe.leftover_after(fn, args, needle) FROM probe.cases WHERE label = 'rewrap: clear text';
\c
SELECT label, probe.leftover_after(fn, args, needle) FROM probe.cases WHERE label = 'bytea rewrap: clear text';
\c
SELECT label, probe.leftover_after(fn, args, needle) FROM probe.cases WHERE label = 'rewrap refused: clear text';
\c
SELECT label, probe.leftover_after(fn, args, needle) FROM probe.cases WHERE label = 'encr: clear text';
\c
SELECT label, probe.leftover_after(fn, args, needle) FROM probe.cases WHERE label = 'decr: clear text';
\c
SELECT label, probe.leftover_after(fn, args, needle) FROM probe.cases WHERE label = 'bytea decr: clear text';
\c
SELECT label, probe.leftover_after(fn, args, needle) FROM probe.cases WHERE label = 'control: a copy freed unwiped';

DROP SCHEMA probe CASCADE;
