#!/usr/bin/env bash
# The server-held key against the running sandbox (PGHOST etc. set by pg_sandbox.sh):
#   server_key.sh <morvex built with the key folder given>  <that key folder>
# - each rule of dbcipher.key_file refuses its file with its own ERROR, and never waits;
# - a reload switches the key of a running session, by a new file or new bytes in the same one;
# - the fingerprint is the one morvex -f prints for the same file;
# - only roles a superuser grants may use the key: not PUBLIC, not a database owner who
#   created the trusted extension himself.
set -euo pipefail
morvex=$1
morvex_keys=$2
keys=$PG_SANDBOX_DIR/test_keys
failures=0

sql() { "$PG_SANDBOX_BIN/psql" -X -q -At -v ON_ERROR_STOP=1 -d dbcipher_server_key "$@"; }
# The SQLSTATE and message of a failing statement, or its output.
outcome_lines() { timeout 20 "$PG_SANDBOX_BIN/psql" -X -q -At -v VERBOSITY=verbose -d dbcipher_server_key "$@" 2>&1; }
outcome() { outcome_lines "$@" | sed -n '1p'; }
expect() {
    local name=$1 want=$2 got=$3
    if [[ "$got" == *"$want"* ]]; then
        echo "ok    $name: $got"
    else
        echo "FAIL  $name: want '$want', got '$got'" >&2
        failures=$((failures + 1))
    fi
}
as_server() { if [ "$(id -u)" -eq 0 ]; then chown "$@"; fi; }

# New sessions see a setting once the postmaster has reloaded it.
use_setting() {
    local setting=$1 value=$2
    sql -c "LOAD 'dbcipher'" -c "ALTER SYSTEM SET $setting = '$value'" -c "SELECT pg_reload_conf()" >/dev/null
    for _ in $(seq 100); do
        [ "$(sql -c "LOAD 'dbcipher'" -c "SHOW $setting")" = "$value" ] && return 0
        sleep 0.1
    done
    echo "server_key: the reload never took $setting = $value" >&2
    exit 1
}
use_key_file() { use_setting dbcipher.key_file "$1"; }

"$PG_SANDBOX_BIN/psql" -X -q -d postgres -c "DROP DATABASE IF EXISTS dbcipher_server_key" \
    -c "CREATE DATABASE dbcipher_server_key"
sql -c "SET client_min_messages = warning" -c "CREATE EXTENSION dbcipher" -c "LOAD 'dbcipher'"
rm -rf "$keys"
mkdir -p "$keys"
chmod 700 "$keys"
as_server postgres "$keys"

fingerprint='SELECT dbcipher_key_fingerprint()'
previous_fingerprint='SELECT dbcipher_previous_key_fingerprint()'
expect "no key file set" "55000: dbcipher has no server key" "$(outcome -c "$fingerprint")"
expect "no previous key file set" "55000: dbcipher has no previous key" "$(outcome -c "$previous_fingerprint")"
rewrap_error=$(outcome_lines -c "SELECT aes_encr_rewrap('QUJDRA==', 'ab')" || true)
expect "rewrap without a previous key" "55000: dbcipher has no previous key" "$(sed -n 1p <<<"$rewrap_error")"
expect "rewrap without a previous key: the hint names the setting" \
    "HINT:  Set dbcipher.previous_key_file in postgresql.conf" "$(grep HINT <<<"$rewrap_error")"

# setting | name | how the file is made | the start of what the setting's fingerprint query gives
key_line='GENERIC_KEY: Server-Rule-Key16'
rows=(
    "dbcipher.key_file|missing|:|58P01: could not open dbcipher's key file"
    "dbcipher.key_file|directory|mkdir \$f|F0000: dbcipher's key file is not a regular file"
    "dbcipher.key_file|FIFO|mkfifo -m 600 \$f|F0000: dbcipher's key file is not a regular file"
    "dbcipher.key_file|group-readable|echo '$key_line' >\$f; chmod 640 \$f|F0000: dbcipher's key file has group or world access"
    "dbcipher.key_file|world-readable|echo '$key_line' >\$f; chmod 604 \$f|F0000: dbcipher's key file has group or world access"
    "dbcipher.key_file|empty first line|printf '\\n$key_line\\n' >\$f|F0000: dbcipher's key file holds no key"
    "dbcipher.key_file|13-character line|printf 'GENERIC_KEY: \\n' >\$f|F0000: dbcipher's key file holds no key"
    "dbcipher.key_file|13 characters, no line end|printf 'GENERIC_KEY: ' >\$f|F0000: dbcipher's key file holds no key"
    "dbcipher.key_file|empty file|: >\$f|F0000: dbcipher's key file holds no key"
    "dbcipher.key_file|16-character key|echo '$key_line' >\$f|morvex"
    "dbcipher.key_file|short key|echo 'GENERIC_KEY: short' >\$f|morvex"
    "dbcipher.previous_key_file|previous, missing|:|58P01: could not open dbcipher's previous key file"
    "dbcipher.previous_key_file|previous, group-readable|echo '$key_line' >\$f; chmod 640 \$f|F0000: dbcipher's previous key file has group or world access"
    "dbcipher.previous_key_file|previous, 16-character key|echo 'GENERIC_KEY: Previous-Rule-K16' >\$f|morvex"
)
if [ "$(id -u)" -eq 0 ]; then
    rows+=(
        "dbcipher.key_file|owned by another user|echo '$key_line' >\$f; chown nobody \$f; chmod 644 \$f|F0000: dbcipher's key file must be owned by the database user or root"
        "dbcipher.key_file|root, group-readable|echo '$key_line' >\$f; chown root:postgres \$f; chmod 640 \$f|morvex"
        "dbcipher.key_file|root, world-readable|echo '$key_line' >\$f; chown root \$f; chmod 604 \$f|F0000: dbcipher's key file has group or world access"
        "dbcipher.previous_key_file|previous, owned by another user|echo '$key_line' >\$f; chown nobody \$f; chmod 644 \$f|F0000: dbcipher's previous key file must be owned by the database user or root"
    )
fi
n=0
for row in "${rows[@]}"; do
    IFS='|' read -r setting name make want <<<"$row"
    n=$((n + 1))
    f=$keys/rule$n
    (umask 077 && eval "$make")
    [ -e "$f" ] && [ "$(stat -c %U "$f")" = root ] && [[ "$make" != *"chown"* ]] && as_server postgres "$f"
    use_setting "$setting" "$f"
    if [ "$want" = morvex ]; then
        cp "$f" "$morvex_keys/.pg.genericKey.dat"
        want=$("$morvex" -f PG)
    fi
    query=$fingerprint
    [ "$setting" = dbcipher.previous_key_file ] && query=$previous_fingerprint
    expect "$name" "$want" "$(outcome -c "$query")"
done

# A reload switches the key of a session that is running, for new bytes in the same file and
# for another file alike; what one key sealed, the other does not open.
printf 'GENERIC_KEY: First-Key-Reload\n' >"$keys/first"
printf 'GENERIC_KEY: Other-Key-Reload\n' >"$keys/other"
chmod 600 "$keys/first" "$keys/other"
as_server postgres "$keys/first" "$keys/other"
use_key_file "$keys/first"
reload='SELECT pg_reload_conf() AND pg_sleep(0.5) IS NULL AS reloaded \gset'
seal="SELECT aes_encr('reload-probe-16b', 16, true, 'Rl')"
session=$(sql <<SQL
SELECT 'key ' || dbcipher_key_fingerprint();
CREATE TEMP TABLE sealed AS $seal AS text;
\\! printf 'GENERIC_KEY: Second-Key-Reload\\n' >"$keys/first"
$reload
SELECT 'key ' || dbcipher_key_fingerprint();
SELECT 'opens ' || (aes_encr(convert_to(text, 'UTF8'), 0, false, 'Rl'::bytea) = 'reload-probe-16b'::bytea) FROM sealed;
ALTER SYSTEM SET dbcipher.key_file = '$keys/other';
$reload
SELECT 'key ' || dbcipher_key_fingerprint();
SQL
)
mapfile -t seen < <(sed -n 's/^key //p' <<<"$session")
expect "reload: three keys, three fingerprints" 3 "$(printf '%s\n' "${seen[@]}" | sort -u | grep -c '^[0-9a-f]\{16\}$')"
expect "reload: the first key's text no longer opens" "opens false" "$(grep '^opens' <<<"$session")"
cp "$keys/other" "$morvex_keys/.pg.genericKey.dat"
expect "reload: the last fingerprint is the other file's" "$("$morvex" -f PG)" "${seen[2]:-none}"

# A rotation's reload between two statements of one session switches both keys: the old key
# becomes the previous one and the new file the current one; a text the old key sealed opens
# under the new key once rewrapped.
printf 'GENERIC_KEY: Rotation-Old-Key1\n' >"$keys/old"
printf 'GENERIC_KEY: Rotation-New-Key1\n' >"$keys/new"
chmod 600 "$keys/old" "$keys/new"
as_server postgres "$keys/old" "$keys/new"
use_key_file "$keys/old"
session=$(sql <<SQL
SELECT 'before ' || dbcipher_key_fingerprint();
CREATE TEMP TABLE sealed AS SELECT aes_encr('rotation-probe16', 16, true, 'Ro') AS text;
ALTER SYSTEM SET dbcipher.key_file = '$keys/new';
ALTER SYSTEM SET dbcipher.previous_key_file = '$keys/old';
$reload
SELECT 'previous ' || dbcipher_previous_key_fingerprint();
SELECT 'current ' || dbcipher_key_fingerprint();
SELECT 'opens ' || (aes_encr(aes_encr_rewrap(text, 'Ro'), 0, false, 'Ro') = 'rotation-probe16') FROM sealed;
SQL
)
cp "$keys/new" "$morvex_keys/.pg.genericKey.dat"
expect "rotation reload: the old key is the previous one" "$(sed -n 's/^before //p' <<<"$session")" \
    "$(sed -n 's/^previous //p' <<<"$session")"
expect "rotation reload: the new file is the current key" "$("$morvex" -f PG)" \
    "$(sed -n 's/^current //p' <<<"$session")"
expect "rotation reload: the rewrapped text opens under the new key" "opens true" "$(grep '^opens' <<<"$session")"

# Permissions: PUBLIC has nothing; a granted role has the key; a database owner without
# superuser who creates the trusted extension can neither call nor grant.
sql <<'SQL'
SET client_min_messages = warning;
DROP ROLE IF EXISTS key_user; DROP ROLE IF EXISTS key_granted; DROP ROLE IF EXISTS db_owner;
CREATE ROLE key_user LOGIN; CREATE ROLE key_granted LOGIN; CREATE ROLE db_owner LOGIN;
GRANT EXECUTE ON FUNCTION aes_encr(text, integer, boolean, text), dbcipher_key_fingerprint() TO key_granted;
SQL
"$PG_SANDBOX_BIN/psql" -X -q -d postgres -c "DROP DATABASE IF EXISTS dbcipher_owned" \
    -c "CREATE DATABASE dbcipher_owned OWNER db_owner"
call="SELECT aes_encr('permission-probe', 16, true, 'Pp')"
expect "ungranted role, server-key aes_encr" "42501: permission denied for function aes_encr" \
    "$(outcome -U key_user -c "$call")"
expect "ungranted role, fingerprint" "42501: permission denied for function dbcipher_key_fingerprint" \
    "$(outcome -U key_user -c "$fingerprint")"
expect "ungranted role, bytea form" "42501: permission denied for function aes_encr" \
    "$(outcome -U key_user -c "SELECT aes_encr('\\x41'::bytea, 16, true, '\\x4142'::bytea)")"
expect "ungranted role, rewrap" "42501: permission denied for function aes_encr_rewrap" \
    "$(outcome -U key_user -c "SELECT aes_encr_rewrap('QUJDRA==', 'ab')")"
expect "ungranted role, bytea rewrap" "42501: permission denied for function aes_encr_rewrap" \
    "$(outcome -U key_user -c "SELECT aes_encr_rewrap('QUJDRA=='::bytea, 'ab'::bytea)")"
expect "ungranted role, previous fingerprint" \
    "42501: permission denied for function dbcipher_previous_key_fingerprint" \
    "$(outcome -U key_user -c "$previous_fingerprint")"
expect "granted role" "" "$(outcome -U key_granted -c "$call" | grep -v ERROR)"
expect "ungranted role keeps the five-argument form" "" \
    "$(outcome -U key_user -c "SELECT aes_encr('permission-probe', 16, true, 'Pp', 'Perm-Master-Key1')" | grep -v ERROR)"
own() { outcome -U db_owner -d dbcipher_owned "$@"; }
expect "owner creates the trusted extension" "" "$(own -c "CREATE EXTENSION dbcipher" | grep ERROR || true)"
expect "owner calls" "42501: permission denied for function aes_encr" "$(own -c "$call")"
expect "owner grants" "42501: permission denied for function aes_encr" \
    "$(own -c "GRANT EXECUTE ON FUNCTION aes_encr(text, integer, boolean, text) TO db_owner")"
expect "owner fingerprints" "42501: permission denied for function dbcipher_key_fingerprint" \
    "$(own -c "$fingerprint")"

[ "$failures" -eq 0 ] || { echo "server_key: $failures failures" >&2; exit 1; }
