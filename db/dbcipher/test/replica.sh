#!/usr/bin/env bash
# A hot standby made with pg_basebackup from the running sandbox (pg_sandbox.sh with
# PG_SANDBOX_KEY_FILE), holding its own copy of the key file: it shows the primary's key
# fingerprint and decrypts every text the primary wrote with the server's key.
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
               aes_encr('replica-text-' || i, align_input('replica-text-' || i), true, salt) AS text
        FROM generate_series(1, 500) AS i, LATERAL (SELECT substr(md5(i::text), 1, 2) AS salt) s"

mkdir -p "$socket" "$PG_SANDBOX_DIR/standby_keys"
cp "$PG_SANDBOX_DIR/keys/server.key" "$PG_SANDBOX_DIR/standby_keys/server.key"
chmod 700 "$socket" "$PG_SANDBOX_DIR/standby_keys"
chmod 600 "$PG_SANDBOX_DIR/standby_keys/server.key"
if [ "$(id -u)" -eq 0 ]; then chown -R postgres "$socket" "$PG_SANDBOX_DIR/standby_keys"; fi
as_owner "$PG_SANDBOX_BIN/pg_basebackup" -h "$PGHOST" -p "$PGPORT" -U postgres -D "$standby" \
    -R -X stream -c fast
# The server finds its files relative to its binary: start the sandbox's own copy.
as_owner env "${server_env[@]}" "$PG_SANDBOX_BIN/pg_ctl" -D "$standby" -l "$PG_SANDBOX_DIR/standby.log" -w \
    -o "-p $PGPORT -k $socket -c listen_addresses='' -c hot_standby=on -c dbcipher.key_file='$PG_SANDBOX_DIR/standby_keys/server.key'" \
    start >/dev/null || { cat "$PG_SANDBOX_DIR/standby.log" >&2; exit 1; }

# Rows written after the copy arrive by streaming.
primary -c "INSERT INTO sealed SELECT i, 'streamed-' || i, 'St', aes_encr('streamed-' || i, 16, true, 'St')
            FROM generate_series(501, 600) AS i"
target=$(primary -c "SELECT pg_current_wal_lsn()")
for _ in $(seq 300); do
    [ "$(on_standby -c "SELECT pg_last_wal_replay_lsn() >= '$target'")" = t ] && break
    sleep 0.1
done

primary_fp=$(primary -c "SELECT dbcipher_key_fingerprint()")
result=$(on_standby -c "SELECT pg_is_in_recovery(), dbcipher_key_fingerprint() = '$primary_fp', count(*),
                               count(*) FILTER (WHERE rtrim(aes_encr(text, 0, false, salt)) = clear)
                        FROM sealed")
echo "standby: in recovery, same fingerprint, rows, rows decrypted: $result"
[ "$result" = "t|t|600|600" ] || { echo "replica: the standby does not open every text" >&2; exit 1; }
if grep -Eq 'ERROR: AddressSanitizer|runtime error:|PANIC:' "$PG_SANDBOX_DIR/standby.log"; then
    grep -E -A 20 'AddressSanitizer|runtime error:|PANIC:' "$PG_SANDBOX_DIR/standby.log" >&2
    exit 1
fi
