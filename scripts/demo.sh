#!/usr/bin/env bash
# The kit's main job, end to end, on a built-in demo: a demo key file in a throwaway folder,
# a throwaway PostgreSQL cluster and a throwaway slapd, all removed afterwards.
#   1. the library encrypts and decrypts a secret
#   2. morvex writes an "@@" envelope and opens it again (and reads a legacy text)
#   3. SQL encrypts and decrypts with dbcipher, and agrees with the library
#   4. SQL defines a directory server with a sealed password, connects by its name, searches
#      and walks the entries with quenby_ldap
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

"$root/scripts/setup.sh" >/dev/null

# The build lives in the throwaway folder too: no binary outlives the key folder it reads.
demo=$(mktemp -d /tmp/tarncrypt-demo.XXXXXX)
cleanup() {
    [ -f "$demo/slapd/env" ] && "$root/scripts/slapd_sandbox.sh" stop "$demo/slapd" || true
    [ -d "$demo/pg" ] && "$root/scripts/pg_sandbox.sh" stop "$demo/pg" || true
    rm -rf "$demo"
}
trap cleanup EXIT
# The throwaway cluster's owner must reach its sandbox folder; nothing else here is shared.
chmod 711 "$demo"
mkdir -m 700 "$demo/keys"

build=$demo/build
echo "== building the kit (key directory of this build: $demo/keys)"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARN_KEY_DIR="$demo/keys" \
    -DTARN_TESTS=OFF -DTARN_BENCHMARKS=OFF >"$demo/configure.log" 2>&1 ||
    { cat "$demo/configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc)" >"$demo/build.log" 2>&1 || { tail -n 40 "$demo/build.log"; exit 1; }

echo
echo "== 1. libtarncrypt"
"$build/policy/FMWK/examples/tarncrypt_example"

echo
echo "== 2. morvex"
"$root/tools/morvex/demo.sh" "$build/tools/morvex/morvex" "$demo/keys"

echo
echo "== 3. dbcipher, in a throwaway PostgreSQL cluster"
"$root/scripts/pg_sandbox.sh" start "$demo/pg" "$build"
# shellcheck disable=SC1091
. "$demo/pg/env"
"$root/db/dbcipher/demo.sh" "$build"

echo
echo "== 4. quenby_ldap, against a throwaway slapd"
"$root/scripts/slapd_sandbox.sh" start "$demo/slapd"
# shellcheck disable=SC1091
. "$demo/slapd/env"
# The server presents the client certificate from its own copy of it.
shared=$("$root/scripts/pg_sandbox.sh" share LDAP_CA_CERT LDAP_CLIENT_CERT LDAP_CLIENT_KEY)
eval "$shared"
"$root/db/ldap/demo.sh" "$build/tools/morvex/morvex" "$demo/keys"

echo
echo "demo finished: every throwaway folder, server and the demo build are removed on exit"
