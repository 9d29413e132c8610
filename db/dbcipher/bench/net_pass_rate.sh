#!/usr/bin/env bash
# How often aes_encr_rewrap lets a text under neither key through (a wrong-key opening that
# still looks like a text the kit could have sealed), beside how often the five-argument
# decryption under a wrong key returns a text without an ERROR, in a UTF8 and a SQL_ASCII
# database, on one throwaway cluster:
#
#   net_pass_rate.sh <builddir> [texts]      (default 1,000,000 one-block texts)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
texts=${2:-1000000}

previous=NetPreviousKey16
if [ -z "${PG_SANDBOX_LOG:-}" ]; then
    dir=$(mktemp -d)
    trap 'rm -rf "$dir"' EXIT
    echo "GENERIC_KEY: NetCurrentKey-16" >"$dir/current"
    echo "GENERIC_KEY: $previous" >"$dir/previous"
    PG_SANDBOX_KEY_FILE=$dir/current PG_SANDBOX_PREVIOUS_KEY_FILE=$dir/previous \
        "$here/../../../scripts/pg_sandbox.sh" run "$build" -- "$here/net_pass_rate.sh" "$build" "$texts"
    exit
fi

sql() { "$PG_SANDBOX_BIN/psql" -X -q -At -v ON_ERROR_STOP=1 "$@"; }
sql -d postgres -c "CREATE DATABASE net_utf8 TEMPLATE template0 ENCODING 'UTF8'" \
    -c "CREATE DATABASE net_ascii TEMPLATE template0 ENCODING 'SQL_ASCII' LC_COLLATE 'C' LC_CTYPE 'C'"

printf '%-10s %-40s %10s %10s %12s\n' database form texts passed 'per 1,000'
for db in net_utf8 net_ascii; do
    sql -d "$db" >/dev/null <<SQL
SET client_min_messages = warning;
CREATE EXTENSION dbcipher;
-- Texts sealed under a third key: every opening under the previous key is a wrong-key one.
CREATE TABLE strangers AS
SELECT substr(md5(i::text), 1, 2) AS salt,
       aes_encr(substr(md5(i::text), 3, 16), 16, true, substr(md5(i::text), 1, 2), 'NetStrangerKey16') AS sealed
FROM generate_series(1, $texts) AS i;
CREATE FUNCTION passes(form text) RETURNS bigint LANGUAGE plpgsql AS \$\$
DECLARE
    r record;
    n bigint := 0;
BEGIN
    FOR r IN SELECT sealed, salt FROM strangers LOOP
        BEGIN
            IF form = 'text' THEN
                PERFORM aes_encr_rewrap(r.sealed, r.salt);
            ELSIF form = 'bytea' THEN
                PERFORM aes_encr_rewrap(decode(r.sealed, 'escape'), decode(r.salt, 'escape'));
            ELSE
                PERFORM aes_encr(r.sealed, 0, false, r.salt, '$previous');
            END IF;
            n := n + 1;
        EXCEPTION WHEN OTHERS THEN
            NULL;
        END;
    END LOOP;
    RETURN n;
END \$\$;
SQL
    for form in text bytea five_argument; do
        label=$form
        [ "$form" = text ] && label='aes_encr_rewrap(text, text)'
        [ "$form" = bytea ] && label='aes_encr_rewrap(bytea, bytea)'
        [ "$form" = five_argument ] && label='aes_encr(text, 0, false, ..) wrong key'
        passed=$(sql -d "$db" -c "SELECT passes('$form')")
        printf '%-10s %-40s %10s %10s %12s\n' "$db" "$label" "$texts" "$passed" \
            "$(awk -v p="$passed" -v n="$texts" 'BEGIN { printf "%.3f", 1000 * p / n }')"
    done
done
