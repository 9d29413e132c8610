#!/usr/bin/env bash
# pgbench with 2 clients on a mix of every dbcipher function with random inputs, against the
# running sandbox:  load.sh <seconds>
# Fails when any transaction fails (a wrong round trip divides by zero) or a client aborts;
# run_in_sandbox.sh then checks the server log for crashes.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
seconds=${1:-30}

"$PG_SANDBOX_BIN/psql" -X -q -v ON_ERROR_STOP=1 -c "SET client_min_messages = warning" -c "CREATE EXTENSION IF NOT EXISTS dbcipher"
report=$(mktemp)
trap 'rm -f "$report"' EXIT
status=0
"$PG_SANDBOX_BIN/pgbench" -n -c 2 -j 2 -T "$seconds" \
    -f "$here/load/aes_round_trip.sql@4" \
    -f "$here/load/legacy_round_trip.sql@3" \
    -f "$here/load/random_input.sql@3" >"$report" 2>&1 || status=$?
cat "$report"

processed=$(sed -n 's/^number of transactions actually processed: \([0-9]*\).*/\1/p' "$report")
failed=$(sed -n 's/^number of failed transactions: \([0-9]*\).*/\1/p' "$report")
if [ "$status" -ne 0 ] || [ "${processed:-0}" -eq 0 ] || [ "${failed:-1}" -ne 0 ]; then
    echo "load: pgbench failed (exit $status, processed ${processed:-?}, failed ${failed:-?})" >&2
    exit 1
fi
