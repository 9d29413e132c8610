#!/usr/bin/env bash
# pg_regress over sql/*.sql against the running sandbox (PGHOST etc. set by pg_sandbox.sh):
#   regress.sh <outputdir> [test...]
# Prints regression.diffs when a result differs from expected/.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$1
shift
tests=("$@")
if ((${#tests[@]} == 0)); then
    tests=(setup functions aes_encr legacy helpers encoding wiping)
fi

rm -rf "$out"
mkdir -p "$out"
if ! "$PG_REGRESS" --inputdir="$here" --outputdir="$out" --bindir="$PG_SANDBOX_BIN" \
    --host="$PGHOST" --port="$PGPORT" --user="$PGUSER" --dbname=dbcipher_regress "${tests[@]}"; then
    cat "$out/regression.diffs" >&2 || true
    exit 1
fi
