#!/usr/bin/env bash
# Runs a command against a throwaway cluster that has this build's extensions installed:
#   run_in_sandbox.sh <builddir> cmd...
# A passing command still fails the test when the server log shows a backend crash or a
# sanitizer report: the client side of a crash can look like a mere lost connection, and a
# report from UBSan does not always end the backend. It also fails them when the log holds any
# key or clear text of the tests (log_secrets.txt): dbcipher's errors keep their statements out
# of the log, whatever the statements hold.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$1
shift

if [ -z "${PG_SANDBOX_LOG:-}" ]; then
    exec "$here/../../../scripts/pg_sandbox.sh" run "$build" -- "$here/run_in_sandbox.sh" "$build" "$@"
fi

# The server may not be able to enter the build tree: it reads the probe from a copy.
if [ -n "${DBCIPHER_WIPE_PROBE:-}" ]; then
    eval "$("$here/../../../scripts/pg_sandbox.sh" share DBCIPHER_WIPE_PROBE)"
fi

status=0
"$@" || status=$?

crash_pattern='ERROR: AddressSanitizer|ERROR: LeakSanitizer|runtime error:|terminated by signal|PANIC:'
if grep -Eq "$crash_pattern" "$PG_SANDBOX_LOG"; then
    echo "run_in_sandbox: the server log shows a crash or a sanitizer report:" >&2
    grep -E -A 30 "$crash_pattern" "$PG_SANDBOX_LOG" | head -n 120 >&2
    status=1
fi
if grep -F -n -f "$here/log_secrets.txt" "$PG_SANDBOX_LOG" >&2; then
    echo "run_in_sandbox: the server log holds the test keys or clear texts above" >&2
    status=1
fi
exit $status
