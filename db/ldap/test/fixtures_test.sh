#!/usr/bin/env bash
# The peers the SQL suites rely on do what the suites assume, seen by ldapsearch: a fixture that
# quietly stopped misbehaving would turn a suite's check into one that cannot fail.
#
#   fixtures_test.sh
#
# Starts its own slapd (with three bulk people), stalling_ldap.py and recording_relay.py.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)

work=$(mktemp -d /tmp/quenby_fixtures.XXXXXX)
pids=()
# shellcheck disable=SC2317 # run by the EXIT trap
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    "$root/scripts/slapd_sandbox.sh" stop "$work/slapd"
    rm -rf "$work"
}
trap cleanup EXIT
"$root/scripts/slapd_sandbox.sh" start "$work/slapd" 3
# shellcheck disable=SC1091
. "$work/slapd/env"
export QUENBY_RECORD_DIR=$work/wire
mkdir -p "$QUENBY_RECORD_DIR"
python3 "$here/stalling_ldap.py" "$QUENBY_RECORD_DIR/stalling.ports" 300 &
pids+=($!)
python3 "$here/recording_relay.py" "$LDAP_PORT" "$QUENBY_RECORD_DIR/relay.ports" 300 &
pids+=($!)
for _ in $(seq 1 100); do
    [ -f "$QUENBY_RECORD_DIR/stalling.ports" ] && [ -f "$QUENBY_RECORD_DIR/relay.ports" ] && break
    sleep 0.1
done
port() { awk -v name="$1" '$1 == name { print $2 }' "$QUENBY_RECORD_DIR"/*.ports; }

export LDAPTLS_CACERT=$LDAP_CA_CERT LDAPTLS_CERT=$LDAP_CLIENT_CERT LDAPTLS_KEY=$LDAP_CLIENT_KEY
# search <listener> [ldapsearch options]: the transcript and exit status of a bound search.
search() {
    local listener=$1
    shift
    timeout 120 ldapsearch -x -LLL -o ldif-wrap=no -H "ldap://127.0.0.1:$(port "$listener")" \
        -D "$LDAP_BIND_DN" -w "$LDAP_BIND_PW" -b "$LDAP_BASE" "$@" 2>&1 || echo "exit $?"
}
holds() { "$here/wire_holds.sh" "$1" "$LDAP_BIND_PW"; }
# The distinct cookies among the first 200 pages of a paged search that runs for 5 s (a few
# thousand pages; ldapsearch ignores SIGPIPE, so only the timeout ends it).
distinct_cookies() {
    { timeout 5 stdbuf -oL ldapsearch -x -H "ldap://127.0.0.1:$(port "$1")" -b dc=x \
        -E pr=10/noprompt cn 2>&1 || true; } | grep -m 200 '^pagedresults: cookie=' | sort -u |
        wc -l
}

status=0
check() {
    if [ "$2" = "$3" ]; then
        echo "ok: $1"
    else
        echo "FAILED: $1: expected '$2', got '$3'"
        status=1
    fi
}

check "page_forever: a new cookie for every page" 200 "$(distinct_cookies page_forever)"
check "page_same_cookie: one cookie" 1 "$(distinct_cookies page_same_cookie)"

flood=$(search flood -E pr=10/noprompt cn)
check "flood: every entry in one answer to a paged search" "1000000 cn=e0999999,dc=flood 1" \
    "$(grep -c '^dn: ' <<<"$flood") $(grep '^dn: ' <<<"$flood" | tail -n 1 | cut -c5-) \
$(grep -c '^# pagedresults: cookie=$' <<<"$flood")"

check "no_starttls: StartTLS refused" "ldap_start_tls: Protocol error (2)" \
    "$(search no_starttls -ZZ -s base dn | head -n 1)"
check "no_starttls: records the clear bind that follows" "no yes" \
    "$(holds no_starttls) $(search no_starttls -s base dn >/dev/null; holds no_starttls)"

check "relay pass: TLS through, password unseen" "dn: $LDAP_BASE no" \
    "$(search pass -ZZ -s base dn | head -n 1) $(holds relay_pass)"
check "relay pass: clear bind recorded" "dn: $LDAP_BASE yes" \
    "$(search pass -s base dn | head -n 1) $(holds pass)"
check "relay refuse_starttls: refused, nothing bound" "ldap_start_tls: Protocol error (2) no" \
    "$(search refuse_starttls -ZZ -s base dn | head -n 1) $(holds refuse_starttls)"
check "relay refuse_starttls: the clear session after it reaches slapd" "dn: $LDAP_BASE yes" \
    "$(search refuse_starttls -Z -s base dn | grep '^dn') $(holds refuse_starttls)"
check "relay cut_handshake: handshake fails, nothing bound" "ldap_start_tls: Connect error (-11) no" \
    "$(search cut_handshake -ZZ -s base dn | head -n 1) $(holds cut_handshake)"
check "wire_holds: forget, and a listener never used" "no no connection" \
    "$("$here/wire_holds.sh" --forget pass; holds pass) $(holds nowhere)"

# piece <listener> <attribute>: the member attribute's name and value count in the answer to a
# search of the ranged group for <attribute>.
piece() {
    search "$1" -b cn=big,dc=ranged -s base '(cn=*)' "$2" | sed -n 's/^\(member[^:]*\): .*/\1/p' |
        uniq -c | awk '{ print $2, $1 }'
}
check "unranged: every member at once" "member 350" "$(piece unranged member)"
check "ranged: the first range" "member;range=0-99 100" "$(piece ranged member)"
check "ranged: a middle range" "member;range=100-199 100" "$(piece ranged 'member;range=100-*')"
check "ranged: the last range ends in *" "member;range=300-* 50" "$(piece ranged 'member;range=300-*')"
check "range_backwards: half a piece back" "member;range=50-149 100" \
    "$(piece range_backwards 'member;range=100-*')"
check "range_repeat: the piece before" "member;range=0-99 100" "$(piece range_repeat 'member;range=100-*')"
check "range_skip: the piece after" "member;range=200-299 100" "$(piece range_skip 'member;range=100-*')"
check "range_endless: no * at the end" "member;range=300-399 50" \
    "$(piece range_endless 'member;range=300-*')"
check "range_silent: the first range, then silence" "member;range=0-99 100|exit 124" \
    "$(piece range_silent member)|$(timeout 3 ldapsearch -x -H "ldap://127.0.0.1:$(port range_silent)" \
        -b cn=big,dc=ranged -s base '(cn=*)' 'member;range=100-*' >/dev/null 2>&1 || echo "exit $?")"

photos=$(search "pass" -b "$LDAP_BULK_BASE" -s one '(uid=*)' jpegPhoto |
    sed -n 's/^jpegPhoto:: //p')
check "bulk: a jpegPhoto of its own per person, zero bytes in each" "3 3 3" \
    "$(wc -l <<<"$photos") $(sort -u <<<"$photos" | wc -l) \
$(while read -r photo; do base64 -d <<<"$photo" | tr -d '\0' | cmp -s - <(base64 -d <<<"$photo") ||
    echo zero; done <<<"$photos" | wc -l)"
exit $status
