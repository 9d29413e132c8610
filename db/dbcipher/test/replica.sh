#!/usr/bin/env bash
# A hot standby made with pg_basebackup from the running sandbox (pg_sandbox.sh with
# PG_SANDBOX_KEY_FILE), holding its own copy of the key file: it shows the primary's key
# fingerprint and decrypts every text the primary wrote with the server's key. After the primary
# rotates to a new key (the README's recipe), the standby decrypts every rotated text once it
# has the new key file.
set -euo pipefail
standby=$PG_SANDBOX_DIR/standby
socket=$PG_SANDBOX_DIR/standby_socket
primary_pid=$(head -n 1 "$PG_SANDBOX_DATA/postmaster.pid")
as_owner() { if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi; }
primary() { "$PG_SANDBOX_BIN/psql" -X -q -At -v ON_ERROR_STOP=1 "$@"; }
on_standby() { primary -h "$socket" "$@"; }

# The standby runs in the primary's environment (its libtarncrypt, a sanitizer's runtime).
mapfile -t server_env < <(tr '\0' '\n' <"/proc/$primary_pid/environ" |
    grep -E '^(LD_LIBRARY_PATH|LD_PRELOAD|ASAN_OPTIONS|UBSAN_OPTIONS)=' || true)
stop_standby() {
    as_owner "$PG_SANDBOX_BIN/pg_ctl" -D "$standby" -m immediate -w stop >/dev/null 2>&1 || true
}
trap stop_standby EXIT

primary -c "SET client_min_messages = warning" -c "CREATE EXTENSION IF NOT EXISTS dbcipher" \
    -c "DROP TABLE IF EXISTS sealed" \
    -c "CREATE TABLE sealed AS SELECT i, 'replica-text-' || i AS clear, salt,
               aes_encr('replica-text-' || i, align_input('replica-text-' || i), true, salt) AS text,
               dbcipher_key_fingerprint() AS key_fp
        FROM generate_series(1, 500) AS i, LATERAL (SELECT substr(md5(i::text), 1, 2) AS salt) s"

mkdir -p "$socket" "$PG_SANDBOX_DIR/standby_keys"
cp "$PG_SANDBOX_DIR/keys/server.key" "$PG_SANDBOX_DIR/standby_keys/server.key"
chmod 700 "$socket" "$PG_SANDBOX_DIR/standby_keys"
chmod 600 "$PG_SANDBOX_DIR/standby_keys/server.key"
if [ "$(id -u)" -eq 0 ]; then chown -R postgres "$socket" "$PG_SANDBOX_DIR/standby_keys"; fi
as_owner "$PG_SANDBOX_BIN/pg_basebackup" -h "$PGHOST" -p "$PGPORT" -U postgres -D "$standby" \
    -R -X stream -c fast
# In the standby's own configuration file, so that a reload reads its key file again.
echo "dbcipher.key_file = '$PG_SANDBOX_DIR/standby_keys/server.key'" >>"$standby/postgresql.conf"
# The server finds its files relative to its binary: start the sandbox's own copy.
as_owner env "${server_env[@]}" "$PG_SANDBOX_BIN/pg_ctl" -D "$standby" -l "$PG_SANDBOX_DIR/standby.log" -w \
    -o "-p $PGPORT -k $socket -c listen_addresses='' -c hot_standby=on" \
    start >/dev/null || { cat "$PG_SANDBOX_DIR/standby.log" >&2; exit 1; }

wait_for_replay() {
    local target
    target=$(primary -c "SELECT pg_current_wal_lsn()")
    for _ in $(seq 300); do
        [ "$(on_standby -c "SELECT pg_last_wal_replay_lsn() >= '$target'")" = t ] && return 0
        sleep 0.1
    done
}

# Rows written after the copy arrive by streaming.
primary -c "INSERT INTO sealed SELECT i, 'streamed-' || i, 'St', aes_encr('streamed-' || i, 16, true, 'St'),
                   dbcipher_key_fingerprint()
            FROM generate_series(501, 600) AS i"
wait_for_replay

primary_fp=$(primary -c "SELECT dbcipher_key_fingerprint()")
result=$(on_standby -c "SELECT pg_is_in_recovery(), dbcipher_key_fingerprint() = '$primary_fp', count(*),
                               count(*) FILTER (WHERE rtrim(aes_encr(text, 0, false, salt)) = clear)
                        FROM sealed")
echo "standby: in recovery, same fingerprint, rows, rows decrypted: $result"
[ "$result" = "t|t|600|600" ] || { echo "replica: the standby does not open every text" >&2; exit 1; }

# The rotation on the primary; the standby gets the new key in its own file and reloads.
printf 'GENERIC_KEY: Replica-New-Key16\n' >"$PG_SANDBOX_DIR/keys/new.key"
chmod 600 "$PG_SANDBOX_DIR/keys/new.key"
if [ "$(id -u)" -eq 0 ]; then chown postgres "$PG_SANDBOX_DIR/keys/new.key"; fi
primary -c "LOAD 'dbcipher'" -c "ALTER SYSTEM SET dbcipher.key_file = '$PG_SANDBOX_DIR/keys/new.key'" \
    -c "ALTER SYSTEM SET dbcipher.previous_key_file = '$PG_SANDBOX_DIR/keys/server.key'" \
    -c "SELECT pg_reload_conf()" >/dev/null
for _ in $(seq 100); do
    [ "$(primary -c "SELECT dbcipher_key_fingerprint() <> '$primary_fp'")" = t ] && break
    sleep 0.1
done
rotated=$(primary -c "WITH recipe AS (
        UPDATE sealed SET text = aes_encr_rewrap(text, salt), key_fp = dbcipher_key_fingerprint()
        WHERE key_fp = dbcipher_previous_key_fingerprint() RETURNING 1)
    SELECT count(*) FROM recipe")
wait_for_replay
new_fp=$(primary -c "SELECT dbcipher_key_fingerprint()")
cp "$PG_SANDBOX_DIR/keys/new.key" "$PG_SANDBOX_DIR/standby_keys/server.key"
on_standby -c "SELECT pg_reload_conf()" >/dev/null
for _ in $(seq 100); do
    [ "$(on_standby -c "SELECT dbcipher_key_fingerprint()")" = "$new_fp" ] && break
    sleep 0.1
done
result=$(on_standby -c "SELECT dbcipher_key_fingerprint() = '$new_fp', count(*),
                               count(*) FILTER (WHERE key_fp = '$new_fp'),
                               count(*) FILTER (WHERE rtrim(aes_encr(text, 0, false, salt)) = clear)
                        FROM sealed")
echo "after rotating $rotated rows: standby has the new fingerprint, rows, rows under it, rows decrypted: $result"
[ "$rotated|$result" = "600|t|600|600|600" ] ||
    { echo "replica: the standby does not open every rotated text" >&2; exit 1; }
if grep -Eq 'ERROR: AddressSanitizer|runtime error:|PANIC:' "$PG_SANDBOX_DIR/standby.log"; then
    grep -E -A 20 'AddressSanitizer|runtime error:|PANIC:' "$PG_SANDBOX_DIR/standby.log" >&2
    exit 1
fi
