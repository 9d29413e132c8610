#!/usr/bin/env bash
# pg_regress over the given suites of sql/ against the server of the PG* environment (a sandbox
# of scripts/pg_sandbox.sh, or an installed server for installcheck):
#   regress.sh <outputdir> <suite>...
# Prints regression.diffs when a result differs from expected/.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$1
shift
bindir=${PG_SANDBOX_BIN:-$(pg_config --bindir)}
pg_regress=${PG_REGRESS:-$(pg_config --pkglibdir)/pgxs/src/test/regress/pg_regress}

rm -rf "$out"
mkdir -p "$out"
if ! "$pg_regress" --inputdir="$here" --outputdir="$out" --bindir="$bindir" \
    --dbname=dbcipher_regress "$@"; then
    cat "$out/regression.diffs" >&2 || true
    exit 1
fi
