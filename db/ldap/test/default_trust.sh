#!/usr/bin/env bash
# The client library's own TLS defaults in the test cluster's backends, as an installation sets
# them in an ldaprc: trust the test CA and present the test client certificate (the test slapd
# demands one). A backend reads ldaprc from its working folder, the data folder, when it first
# uses the library, so only backends started afterwards see a change. A session given its own
# TLS context (pg_ldap_open_ssl) does not inherit these.
#
#   default_trust.sh on | off
#
# Needs the environments of scripts/pg_sandbox.sh and of run_suite.sh (the shared copies of
# LDAP_CA_CERT, LDAP_CLIENT_CERT and LDAP_CLIENT_KEY).
set -euo pipefail
rc=$PG_SANDBOX_DATA/ldaprc
case "${1:-}" in
    on)
        printf 'TLS_CACERT %s\nTLS_CERT %s\nTLS_KEY %s\nTLS_REQCERT demand\n' \
            "$LDAP_CA_CERT" "$LDAP_CLIENT_CERT" "$LDAP_CLIENT_KEY" >"$rc.new"
        if [ "$(id -u)" -eq 0 ]; then chown postgres "$rc.new"; fi
        mv "$rc.new" "$rc"
        ;;
    off) rm -f "$rc" ;;
    *) echo "usage: default_trust.sh on | off" >&2; exit 2 ;;
esac
