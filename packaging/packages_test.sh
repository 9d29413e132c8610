#!/usr/bin/env bash
# The Debian packages, end to end on this machine: built from the tree, checked by lintian,
# installed with dpkg, used (morvex and its man page, both extensions in a throwaway cluster of
# the system's server, dbcipher's installcheck), then purged. Whatever the packages pulled in
# is purged too, also when a step fails: the machine is left as the test found it.
#   packages_test.sh <builddir for the packages>
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
debs=$1

fail() { echo "packages_test: $*" >&2; exit 1; }
if [ "$(id -u)" -ne 0 ]; then
    echo "packages_test: installing packages needs root; skipped"
    exit 77
fi
command -v lintian >/dev/null || fail "lintian is missing (scripts/setup.sh installs it)"

installed_packages() { dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' | awk '$1 ~ /^.i/ { print $2 }' | sort; }

"$root/packaging/build_debs.sh" "$debs" >/dev/null
mapfile -t files < <(ls "$debs"/*.deb)
names=()
for deb in "${files[@]}"; do names+=("$(dpkg-deb -f "$deb" Package)"); done
before=$(installed_packages)
for name in "${names[@]}"; do
    ! grep -qx "$name" <<<"$before" || fail "$name is installed already; the test would remove it"
done

work=$(mktemp -d /tmp/tarncrypt-packages.XXXXXX)
chmod 711 "$work"
echo "== lintian"
lintian --fail-on error --no-tag-display-limit "${files[@]}" >"$work/lintian.log" 2>&1 ||
    { cat "$work/lintian.log"; fail "lintian reports errors"; }
grep -v 'running with root privileges' "$work/lintian.log" || true

# dpkg does not wait for its lock, which another apt or dpkg run may hold for a while.
with_dpkg_lock() {
    local _
    for _ in $(seq 1 60); do
        "$@" 2>"$debs/dpkg.err" && return 0
        grep -q 'lock' "$debs/dpkg.err" || { cat "$debs/dpkg.err" >&2; return 1; }
        sleep 10
    done
    return 1
}
cleanup() {
    "$root/scripts/pg_sandbox.sh" stop "$work/pg" || true
    rm -rf "$work"
    local added
    added=$(comm -13 <(echo "$before") <(installed_packages))
    if [ -n "$added" ]; then
        # shellcheck disable=SC2086
        with_dpkg_lock dpkg --purge $added >/dev/null || echo "packages_test: could not purge: $added" >&2
    fi
    [ "$(installed_packages)" = "$before" ] || echo "packages_test: the installed packages differ from before" >&2
}
trap cleanup EXIT

echo "== dpkg -i"
if ! with_dpkg_lock dpkg -i "${files[@]}" >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 -f install -y -qq >/dev/null
fi
for name in "${names[@]}"; do
    [ "$(dpkg-query -W -f='${Status}' "$name")" = "install ok installed" ] || fail "$name did not install"
done

echo "== morvex"
set +e
out=$(morvex 2>&1)
status=$?
set -e
[ "$out" = "morvex: 3 arguments expected." ] && [ $status -eq 1 ] || fail "morvex: status $status, $out"
page=$(man -w morvex)
[ "$page" = /usr/share/man/man1/morvex.1.gz ] || fail "man page: $page"
echo "morvex runs; man page $page"
[ "$(pkg-config --modversion tarncrypt)" = "$(dpkg-deb -f "${files[0]}" Version)" ] || fail "pkg-config"

echo "== extensions in a cluster of the system's server"
"$root/scripts/pg_sandbox.sh" start "$work/pg" --system
# shellcheck disable=SC1091
. "$work/pg/env"
sql() { psql -X -q -At -v ON_ERROR_STOP=1 "$@"; }
# dbcipher is trusted: a database owner without superuser creates it; quenby_ldap is not.
sql -c "CREATE ROLE regress_owner LOGIN" -c "CREATE DATABASE regress_owned OWNER regress_owner"
[ "$(sql -U regress_owner -d regress_owned -c "CREATE EXTENSION dbcipher" -c "SELECT decr(encr('x'))")" = x ] ||
    fail "dbcipher as database owner"
! sql -U regress_owner -d regress_owned -c "CREATE EXTENSION quenby_ldap" 2>/dev/null ||
    fail "a database owner created quenby_ldap"
sql -d regress_owned -c "CREATE EXTENSION quenby_ldap" -c "SELECT pg_ldap_err2text(0)" >/dev/null
maps=$(sql -d regress_owned -c "SELECT encr('x')" -c "SELECT pg_read_file('/proc/' || pg_backend_pid() || '/maps')")
loaded=$(awk '/libtarncrypt/ { print $6 }' <<<"$maps" | sort -u)
[ "$loaded" = "$(readlink -f "$(dpkg -L "${names[@]}" | grep '/libtarncrypt\.so\.[0-9]*$')")" ] ||
    fail "the backend loaded '$loaded', not the packaged library"
echo "CREATE EXTENSION dbcipher and quenby_ldap: ok; the backend runs $loaded"

echo "== installcheck"
cmake --build "$debs" --target installcheck
