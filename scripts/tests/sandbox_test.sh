#!/usr/bin/env bash
# The throwaway servers keep to themselves, from a build tree in any folder:
#   - the backend runs the build's libtarncrypt (its copy in the sandbox), never another one;
#   - another local account can neither connect to the cluster nor read slapd's data or keys.
# Run under scripts/pg_sandbox.sh:  sandbox_test.sh <libtarncrypt of the build>
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
built_library=$1

fail() { echo "sandbox_test: $*" >&2; exit 1; }

maps=$(psql -X -q -At -v ON_ERROR_STOP=1 -c "SET client_min_messages = warning" \
    -c "CREATE EXTENSION IF NOT EXISTS dbcipher" -c "SELECT decr(encr('probe'))" \
    -c "SELECT pg_read_file('/proc/' || pg_backend_pid() || '/maps')")
loaded=$(awk '/libtarncrypt/ { print $6 }' <<<"$maps" | sort -u)
[ "$(wc -l <<<"$loaded")" -eq 1 ] && [ -n "$loaded" ] || fail "backend maps: '${loaded//$'\n'/ }'"
case "$loaded" in
    "$PG_SANDBOX_DIR"/*) ;;
    *) fail "the backend loaded $loaded, outside its sandbox" ;;
esac
cmp -s "$loaded" "$built_library" || fail "$loaded is not the build's $built_library"
echo "backend runs $loaded (the build's library)"

if [ "$(id -u)" -ne 0 ]; then
    echo "not root: no second account to try the servers with"
    exit 0
fi
as_nobody() { runuser -u nobody -- env -u PGUSER "$@" >/dev/null 2>&1; }
psql -X -At -c "SELECT 1" >/dev/null || fail "the owner's own connection fails"
as_nobody psql -X -At -d postgres -U postgres -c "SELECT 1" && fail "nobody connected through $PGHOST"
as_nobody psql -X -At -h 127.0.0.1 -p "$PGPORT" -d postgres -U postgres -c "SELECT 1" &&
    fail "nobody connected over TCP"
echo "nobody cannot connect to the cluster"

slapd_work=$(mktemp -d /tmp/sandbox_test_slapd.XXXXXX)
trap '"$root/scripts/slapd_sandbox.sh" stop "$slapd_work"' EXIT
"$root/scripts/slapd_sandbox.sh" start "$slapd_work"
# shellcheck disable=SC1091
. "$slapd_work/env"
for file in "$LDAP_CLIENT_KEY" "$LDAP_SANDBOX_DIR/certs/server.key" "$LDAP_SANDBOX_DIR/data/data.mdb"; do
    [ -f "$file" ] || fail "$file is missing"
    as_nobody cat "$file" && fail "nobody can read $file"
done
echo "nobody cannot read slapd's data or keys"
