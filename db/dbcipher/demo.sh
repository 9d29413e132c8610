#!/usr/bin/env bash
# dbcipher in a running cluster (PGHOST, PGPORT, PGUSER, PGDATABASE set, e.g. by
# scripts/pg_sandbox.sh): creates the extension, encrypts and decrypts a secret in SQL, and shows
# that SQL and libtarncrypt agree on the AES text and the legacy text for the same arguments.
#
#   demo.sh <builddir>      (the build that holds db/dbcipher/dbcipher_peer)
set -euo pipefail
build=$1
peer=$build/db/dbcipher/dbcipher_peer
psql_bin=${PG_SANDBOX_BIN:+$PG_SANDBOX_BIN/}psql

secret='S3cret-DB-passw0rd'
key='DemoMasterKey016'
user='alice'
host='db01.example.net'

sql() { "$psql_bin" -X -q -At -v ON_ERROR_STOP=1 -v secret="$secret" -v key="$key" \
        -v user="$user" -v host="$host" "$@"; }

sql -c "SET client_min_messages = warning" -c "CREATE EXTENSION IF NOT EXISTS dbcipher"
echo "CREATE EXTENSION dbcipher: done"

salt=$(sql <<'SQL'
SELECT compute_salt(:'user', :'host');
SQL
)
echo "salt from compute_salt('$user', '$host'): '$salt'"
echo "secret: $secret"

# The platform stores texts filled with spaces to whole 16-byte blocks.
sql_text=$(sql -v salt="$salt" <<'SQL'
SELECT aes_encr(:'secret' || repeat(' ', align_input(:'secret') - octet_length(:'secret')),
                align_input(:'secret'), true, :'salt', :'key');
SQL
)
library_text=$("$peer" aes-encrypt "$secret" "$salt" "$key")
echo "AES text from SQL (aes_encr):  $sql_text"
echo "AES text from libtarncrypt:    $library_text"

decrypted=$(sql -v salt="$salt" -v text="$sql_text" <<'SQL'
SELECT rtrim(aes_encr(:'text', 0, false, :'salt', :'key'), ' ');
SQL
)
echo "SQL decrypts it back to:       $decrypted"

sql_legacy=$(sql <<'SQL'
SELECT encr(:'secret');
SQL
)
library_legacy=$("$peer" legacy-encrypt "$secret")
legacy_back=$(sql -v text="$library_legacy" <<'SQL'
SELECT decr(:'text');
SQL
)
echo "legacy text from SQL (encr):   $sql_legacy"
echo "legacy text from libtarncrypt: $library_legacy"
echo "SQL decr of the library's:     $legacy_back"

if [ "$sql_text" != "$library_text" ] || [ "$decrypted" != "$secret" ] ||
    [ "$sql_legacy" != "$library_legacy" ] || [ "$legacy_back" != "$secret" ]; then
    echo "dbcipher demo: SQL and libtarncrypt disagree" >&2
    exit 1
fi
echo "SQL and libtarncrypt agree."
