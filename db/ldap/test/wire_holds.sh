#!/usr/bin/env bash
# Whether a recorded wire (recording_relay.py, or stalling_ldap.py's no_starttls) holds a text:
#
#   wire_holds.sh <name> <text>    prints yes or no, or "no connection" when no client ever
#                                  connected there (a check that would otherwise pass unseen)
#   wire_holds.sh --forget <name>  empties the record, so that later checks see only what
#                                  follows
#
# <name> is a listener's name with or without the relay_ prefix of its psql variable (pass,
# relay_pass); the records are in $QUENBY_RECORD_DIR.
set -euo pipefail
die() { echo "wire_holds: $*" >&2; exit 2; }
[ -n "${QUENBY_RECORD_DIR:-}" ] || die "QUENBY_RECORD_DIR is not set"

record() { echo "$QUENBY_RECORD_DIR/${1#relay_}.bytes"; }

if [ "${1:-}" = --forget ]; then
    [ $# -eq 2 ] || die "usage: wire_holds.sh --forget <name>"
    file=$(record "$2")
    [ ! -e "$file" ] || : >"$file"
    exit 0
fi
[ $# -eq 2 ] || die "usage: wire_holds.sh <name> <text> | --forget <name>"
file=$(record "$1")
if [ ! -e "$file" ]; then
    echo "no connection"
elif grep -q -a -F -e "$2" "$file"; then
    echo yes
else
    echo no
fi
