#!/usr/bin/env bash
# Against a sandbox with the audit stack and the key file audit.key (pg_sandbox.sh options
# PG_SANDBOX_AUDIT=1, PG_SANDBOX_KEY_FILE): a workload that encrypts and decrypts with the
# server's key, by literals, by PREPARE and by the extended protocol's bind parameters, leaves
# no byte of the key in the server log, pg_stat_activity or pg_stat_statements. The same
# workload with the key passed in SQL does leak it: the control that shows the scans can see.
# Then a rotation to a new key by the README's recipe leaves no byte of either key or of any
# clear text it moved in those places.
set -euo pipefail
server_key=Audit-ServerK-16
passed_key=Audit-Passed-K16
psql() { "$PG_SANDBOX_BIN/psql" -X -q -At -v ON_ERROR_STOP=1 "$@"; }
failures=0

psql -c "SET client_min_messages = warning" -c "CREATE EXTENSION IF NOT EXISTS dbcipher" \
    -c "CREATE EXTENSION IF NOT EXISTS pg_stat_statements" \
    -c "DROP TABLE IF EXISTS vault" -c "CREATE TABLE vault (id int, salt text, sealed text)"

# One workload; key_args is empty for the server's key, or ", '<key>'" (or the bind variable)
# for the key passed in SQL.
workload() {
    local key_args=$1 bind_args=$2
    psql >/dev/null <<SQL
INSERT INTO vault SELECT i, 'Au', aes_encr('audit-clear-' || lpad(i::text, 4, '0'), 16, true, 'Au'$key_args)
FROM generate_series(1, 20) AS i;
SELECT count(*) FROM vault WHERE rtrim(aes_encr(sealed, 0, false, salt$key_args)) LIKE 'audit-clear-%';
PREPARE seal(text) AS SELECT aes_encr(\$1, 16, true, 'Au'$key_args);
EXECUTE seal('audit-prepared-1');
DEALLOCATE seal;
SQL
    # The extended protocol: every value a bind parameter, as the README recommends.
    printf '%s\n' "SELECT aes_encr(aes_encr(:clear, 16, true, :salt$bind_args), 0, false, :salt$bind_args);" \
        >"$PG_SANDBOX_DIR/bind.sql"
    "$PG_SANDBOX_BIN/pgbench" -n -M extended -t 5 -f "$PG_SANDBOX_DIR/bind.sql" \
        -D clear=audit-bound-0001 -D salt=Au -D key="$passed_key" >/dev/null
    # A session that stays on its statement while pg_stat_activity is read.
    psql -c "SELECT aes_encr('audit-activity-1', 16, true, 'Au'$key_args), pg_sleep(3)" >/dev/null &
    local waiting=$!
    sleep 1
    psql -c "SELECT string_agg(query, E'\n') FROM pg_stat_activity" >"$PG_SANDBOX_DIR/activity.txt"
    wait "$waiting"
    psql -c "SELECT string_agg(query, E'\n') FROM pg_stat_statements" >"$PG_SANDBOX_DIR/statements.txt"
}

# Places the key text or its hex (either case) appears; the log's statements include ours.
hits() {
    local key=$1 hex place count total=0
    hex=$(printf '%s' "$key" | od -An -tx1 | tr -d ' \n')
    for place in "$PG_SANDBOX_LOG" "$PG_SANDBOX_DIR/activity.txt" "$PG_SANDBOX_DIR/statements.txt"; do
        count=$(grep -ciF -e "$key" -e "$hex" "$place" || true)
        total=$((total + count))
        echo "  $(basename "$place"): $count" >&2
    done
    echo "$total"
}

check() {
    local name=$1 want=$2 got=$3
    local seen=none
    [ "$got" -gt 0 ] && seen=some
    if [ "$seen" = "$want" ]; then
        echo "ok    $name: $got lines"
    else
        echo "FAIL  $name: want $want, got $got lines" >&2
        failures=$((failures + 1))
    fi
}

workload "" ""
echo "server key:" >&2
check "server key" none "$(hits "$server_key")"
grep -q 'audit-bound-0001' "$PG_SANDBOX_LOG" ||
    { echo "FAIL  the log shows no bound parameter: the audit stack is not logging" >&2; exit 1; }
grep -q 'AUDIT: SESSION' "$PG_SANDBOX_LOG" || { echo "FAIL  pgaudit wrote nothing" >&2; exit 1; }
grep -q 'Query Text:' "$PG_SANDBOX_LOG" || { echo "FAIL  auto_explain wrote nothing" >&2; exit 1; }

psql -c "TRUNCATE vault"
workload ", '$passed_key'" ", :key"
echo "key passed in SQL (the control):" >&2
check "key passed in SQL" some "$(hits "$passed_key")"
check "server key, after both" none "$(hits "$server_key")"

# The rotation: texts sealed under the server's key from clear texts made inside the server,
# then the new key file as dbcipher.key_file and the old one as dbcipher.previous_key_file.
new_key=Audit-NewKey-016
psql >/dev/null <<'SQL'
CREATE TABLE accounts AS
SELECT i AS id, 'Ro' AS salt,
       aes_encr('audit-rotate-' || lpad(i::text, 4, '0'), 32, true, 'Ro') AS secret,
       dbcipher_key_fingerprint() AS key_fp
FROM generate_series(1, 50) AS i;
SQL
keys=$PG_SANDBOX_DIR/keys
cp "$keys/server.key" "$keys/previous.key"
printf 'GENERIC_KEY: %s\n' "$new_key" >"$keys/new.key"
chmod 600 "$keys/previous.key" "$keys/new.key"
if [ "$(id -u)" -eq 0 ]; then chown postgres "$keys/previous.key" "$keys/new.key"; fi
psql -c "LOAD 'dbcipher'" -c "ALTER SYSTEM SET dbcipher.key_file = '$keys/new.key'" \
    -c "ALTER SYSTEM SET dbcipher.previous_key_file = '$keys/previous.key'" -c "SELECT pg_reload_conf()" >/dev/null
for _ in $(seq 100); do
    [ "$(psql -c "LOAD 'dbcipher'" -c "SHOW dbcipher.previous_key_file")" = "$keys/previous.key" ] && break
    sleep 0.1
done
rotated=$(psql <<'SQL'
WITH recipe AS (
    UPDATE accounts SET secret = aes_encr_rewrap(secret, salt), key_fp = dbcipher_key_fingerprint()
    WHERE key_fp = dbcipher_previous_key_fingerprint() RETURNING 1)
SELECT count(*) FROM recipe;
SELECT count(*) FROM accounts
WHERE rtrim(aes_encr(secret, 0, false, salt)) = 'audit-rotate-' || lpad(id::text, 4, '0');
SQL
)
psql -c "SELECT string_agg(query, E'\n') FROM pg_stat_statements" >"$PG_SANDBOX_DIR/statements.txt"
psql -c "SELECT string_agg(query, E'\n') FROM pg_stat_activity" >"$PG_SANDBOX_DIR/activity.txt"
if [ "$rotated" = $'50\n50' ]; then
    echo "ok    rotation: 50 rows rewrapped, 50 open under the new key"
else
    echo "FAIL  rotation: want 50 rows rewrapped and opened, got $(tr '\n' ' ' <<<"$rotated")" >&2
    failures=$((failures + 1))
fi
echo "rotation, old key:" >&2
check "rotation: old key" none "$(hits "$server_key")"
echo "rotation, new key:" >&2
check "rotation: new key" none "$(hits "$new_key")"
echo "rotation, clear texts:" >&2
check "rotation: clear texts" none "$(hits audit-rotate-0)"

[ "$failures" -eq 0 ] || exit 1
