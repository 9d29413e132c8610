#!/usr/bin/env bash
# cmake --install puts morvex and its man page under any prefix, and the installed binary
# finds libtarncrypt there on its own.
#   install_test.sh <cmake> <builddir>
set -euo pipefail
cmake=$1
build=$2
prefix=$(mktemp -d /tmp/morvex-install.XXXXXX)
trap 'rm -rf "$prefix"' EXIT

for component in library morvex; do
    "$cmake" --install "$build" --prefix "$prefix" --component "$component" >/dev/null
done
man_page=$(find "$prefix" -path '*/man1/morvex.1')
[ -n "$man_page" ] || { echo "no man page installed"; exit 1; }
warnings=$(groff -man -ww -z "$man_page" 2>&1)
[ -z "$warnings" ] || { echo "man page: $warnings"; exit 1; }
grep -q '@KEYDIR@' "$man_page" && { echo "man page names no key directory"; exit 1; }

# No arguments: the tool runs (its library resolved) and answers with its first check.
set +e
out=$(env -u LD_LIBRARY_PATH "$prefix/bin/morvex" 2>&1)
status=$?
set -e
[ "$out" = "morvex: 3 arguments expected." ] && [ $status -eq 1 ] ||
    { echo "installed morvex: status $status, output: $out"; exit 1; }
echo "installed and ran from $prefix"
