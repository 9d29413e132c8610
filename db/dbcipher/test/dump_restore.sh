#!/usr/bin/env bash
# A table made of dbcipher results, non-ASCII names and bytes that are not UTF8 among them,
# survives pg_dump and pg_restore with every row, against the running sandbox (PGHOST etc.
# set by pg_sandbox.sh):  dump_restore.sh
set -euo pipefail
sql() { "$PG_SANDBOX_BIN/psql" -X -q -At -v ON_ERROR_STOP=1 "$@"; }
dump=$(mktemp)
trap 'rm -f "$dump"' EXIT

for db in dbcipher_dump_source dbcipher_dump_target; do
    sql -c "DROP DATABASE IF EXISTS $db" -c "CREATE DATABASE $db TEMPLATE template0 ENCODING 'UTF8'"
done
sql -d dbcipher_dump_source <<'SQL'
SET client_min_messages = warning;
CREATE EXTENSION dbcipher;
CREATE TABLE made AS
SELECT i, s.salt,
       aes_encr(convert_to(secret, 'UTF8'), align_input(secret), true, s.salt, 'DumpMasterKey016') AS aes_bytes,
       aes_encr(secret, align_input(secret), true, 'Xy', 'DumpMasterKey016') AS aes_text,
       aes_encr(aes_encr(secret, align_input(secret), true, 'Xy', 'DumpMasterKey016'), 0, false, 'Xy', 'DumpMasterKey016') AS clear,
       aes_encr(aes_encr(convert_to(secret, 'UTF8'), 16, true, 'Xy', 'DumpMasterKey016'), 0, false, 'Xy', 'WrongMasterKey16') AS wrong_key,
       encr(secret) AS legacy_text, decr(encr(secret)) AS legacy_clear,
       decr(encr(convert_to(u, 'UTF8') || '\xff'::bytea)) AS legacy_bytes,
       separate_encr_user(encr(u) || encr(h), false) AS user_part, mangle_port(i) AS port
FROM (SELECT i, 'usér' || repeat('é', i % 7) AS u, 'höst' || i AS h, 'pässwörd-€' || i AS secret
      FROM generate_series(1, 1000) AS i) t,
     LATERAL (SELECT compute_salt(convert_to(u, 'UTF8'), convert_to(h, 'UTF8')) AS salt) s;
SQL

# Salts ending in a lead byte are the rows that a text column could not have restored.
split=$(sql -d dbcipher_dump_source -c "SELECT count(*) FROM made WHERE get_byte(salt, 1) >= 192")
[ "$split" -gt 0 ] || { echo "dump_restore: no salt splits a character; the rows test nothing" >&2; exit 1; }

"$PG_SANDBOX_BIN/pg_dump" -Fc -d dbcipher_dump_source -f "$dump"
"$PG_SANDBOX_BIN/pg_restore" --exit-on-error -d dbcipher_dump_target "$dump"

fingerprint='SELECT count(*) || '"'"' '"'"' || md5(string_agg(made::text, E'"'"'\n'"'"' ORDER BY i)) FROM made'
source=$(sql -d dbcipher_dump_source -c "$fingerprint")
target=$(sql -d dbcipher_dump_target -c "$fingerprint")
echo "source: $source  target: $target  (rows + md5; $split salts split a character)"
[ "$source" = "$target" ] || { echo "dump_restore: the restored table differs" >&2; exit 1; }
[ "${source%% *}" -eq 1000 ] || { echo "dump_restore: rows are missing" >&2; exit 1; }
