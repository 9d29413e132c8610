#!/usr/bin/env bash
# Runs quenby_ldap's SQL suites against the PostgreSQL server of the environment (PGHOST,
# PGPORT, ...: run it under scripts/pg_sandbox.sh) and a throwaway slapd started here, and
# compares each suite's psql transcript with its expected file.
#
#   run_suite.sh <results-dir> <suite>...
#
# Ports, handles and line numbers change from run to run; they are masked in both transcripts
# before the comparison, as is DEBUG output of the server that does not come from quenby_ldap.
#
# The suites also run against stalling_ldap.py (servers that stall or misbehave on purpose) and
# recording_relay.py (relays to the slapd that record the clients' bytes), and with the
# server logging at debug5; afterwards its log must hold none of the secrets the suites use,
# except in the lines that print directory values by design.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
results=$1
shift
mkdir -p "$results"

slapd_work=$(mktemp -d /tmp/quenby_slapd.XXXXXX)
fixture_pids=()
# shellcheck disable=SC2317 # run by the EXIT trap
cleanup() {
    local pid
    for pid in "${fixture_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    "$root/scripts/slapd_sandbox.sh" stop "$slapd_work"
}
trap cleanup EXIT
"$root/scripts/slapd_sandbox.sh" start "$slapd_work"
# shellcheck disable=SC1091
. "$slapd_work/env"
# The backend reads the client certificates and keys as the cluster's owner: it gets copies.
shared=$("$root/scripts/pg_sandbox.sh" share LDAP_CA_CERT LDAP_CLIENT_CERT LDAP_CLIENT_KEY LDAP_ROGUE_CERT \
    LDAP_ROGUE_KEY)
eval "$shared"
# So does the memory probe the server loads, which may sit in a folder the owner cannot enter.
if [ -n "${QUENBY_KEY_PROBE:-}" ]; then
    eval "$("$root/scripts/pg_sandbox.sh" share QUENBY_KEY_PROBE)"
fi

# What the peers below record of the clients' bytes, read by wire_holds.sh.
record_dir=$slapd_work/wire
mkdir -p "$record_dir"
export QUENBY_RECORD_DIR=$record_dir

# fixture <psql-prefix> <port-file> <command>...: starts a peer for the suites' lifetime and
# adds a psql variable <psql-prefix><name> for each "<name> <port>" line of its port file.
fixture_vars=()
fixture() {
    local prefix=$1 port_file=$2 name port
    shift 2
    "$@" &
    fixture_pids+=($!)
    for _ in $(seq 1 100); do
        [ -f "$port_file" ] && break
        sleep 0.1
    done
    [ -f "$port_file" ] || { echo "run_suite: no $port_file from $*" >&2; exit 1; }
    while read -r name port; do
        fixture_vars+=(-v "$prefix$name=$port")
    done <"$port_file"
}
fixture stall_ "$record_dir/stalling.ports" \
    python3 "$here/stalling_ldap.py" "$record_dir/stalling.ports" 900
fixture relay_ "$record_dir/relay.ports" \
    python3 "$here/recording_relay.py" "$LDAP_PORT" "$record_dir/relay.ports" 900

# Passwords sealed for the suites that connect by a server's name: under the sandbox's server
# key (dbcipher.key_file) and under another key.
if [ -n "${QUENBY_MORVEX:-}" ]; then
    cp "$PG_SANDBOX_KEY_FILE" "$QUENBY_MORVEX_KEYS/.pg.genericKey.dat"
    echo 'GENERIC_KEY: Another-Key-0016' >"$QUENBY_MORVEX_KEYS/.genericKey.dat"
    chmod 600 "$QUENBY_MORVEX_KEYS"/.*.dat
    seal() { printf '%s\n' "$2" | "$QUENBY_MORVEX" -E "$1"; }
    fixture_vars+=(-v sealed_pw="$(seal PG "$LDAP_BIND_PW")" -v sealed_wrong="$(seal PG Wrong-Passw0rd)"
        -v sealed_elsewhere="$(seal N "$LDAP_BIND_PW")")
fi

psql -X -q -d postgres -c "ALTER SYSTEM SET log_min_messages = debug5" -c "SELECT pg_reload_conf()" \
    >/dev/null
# Secrets of the suites; the lines that print attribute values are exempt.
secrets=("$LDAP_BIND_PW" Pa55-secret stall-Passw0rd Wire-Passw0rd Wrong-Passw0rd)
# The audit stack logs every statement as it comes, a server's key_file option with it (which
# pg_foreign_server shows anyway); without it the module keeps key paths out of the log.
[ "${PG_SANDBOX_AUDIT:-}" = 1 ] || secrets+=("$LDAP_CLIENT_KEY")
value_lines='\[pg_ldap_get_(ad_info|attrib_value)\]: Attribute .*, Value |\[pg_ldap_get_attrib_vals\]: Value\['

# Helpers of the suites (\! commands) are found through this.
export QUENBY_TEST_DIR=$here

# A loopback port where nothing listens.
dead_port() {
    local port
    while :; do
        port=$((20000 + RANDOM % 40000))
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || { echo "$port"; return; }
    done
}

# psql prefixes messages with the script path and line. Handles (addresses), ports and the
# numbers derived from them have five digits or more; the test data keeps every number it
# shows shorter.
normalise() {
    sed -E \
        -e 's/^psql:[^:]*:[0-9]+: //' \
        -e '/^DEBUG:  /{/\[pg_ldap_/!d}' \
        -e '/\[pg_ldap_/s/(^|[^0-9A-Za-z_])-?[0-9]{5,}\b/\1<n>/g' \
        -e 's/^(LOCATION:  .*\.(cpp|h)):[0-9]+$/\1:<line>/'
}

# The password as the memory probe takes it: hex, so that no statement holds it.
bind_pw_hex=$(printf '%s' "$LDAP_BIND_PW" | od -An -tx1 | tr -d ' \n')

status=0
for suite in "$@"; do
    database=quenby_$suite
    psql -X -q -d postgres -c "DROP DATABASE IF EXISTS $database" -c "CREATE DATABASE $database"
    raw=$results/$suite.raw
    PGDATABASE=$database psql -X -a -q \
        -v ldap_host="$LDAP_HOST" -v ldap_port="$LDAP_PORT" -v dead_port="$(dead_port)" \
        -v base="$LDAP_BASE" -v bind_dn="$LDAP_BIND_DN" -v bind_pw="$LDAP_BIND_PW" \
        -v client_cert="$LDAP_CLIENT_CERT" -v client_key="$LDAP_CLIENT_KEY" \
        -v ldaps_port="$LDAPS_PORT" -v ca_cert="$LDAP_CA_CERT" -v bind_pw_hex="$bind_pw_hex" \
        -v key_probe="${QUENBY_KEY_PROBE:-}" \
        -v rogue_cert="$LDAP_ROGUE_CERT" -v rogue_key="$LDAP_ROGUE_KEY" \
        -v record_dir="$record_dir" "${fixture_vars[@]}" \
        -f "$here/sql/$suite.sql" >"$raw" 2>&1 || true
    normalise <"$raw" >"$results/$suite.out"
    if diff -u "$here/expected/$suite.out" "$results/$suite.out" >"$results/$suite.diff"; then
        echo "ok: $suite"
    else
        echo "FAILED: $suite (differences follow, transcript in $results/$suite.out)"
        cat "$results/$suite.diff"
        status=1
    fi
done

leaks=$(grep -F "${secrets[@]/#/-e}" "$PG_SANDBOX_LOG" | grep -v -E "$value_lines" || true)
if [ -n "$leaks" ]; then
    echo "FAILED: the server log holds secrets of the suites:"
    echo "$leaks"
    status=1
fi
exit $status
