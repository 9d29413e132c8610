#!/usr/bin/env bash
# The Debian packages, end to end on this machine: built twice from the tree (the same bytes),
# checked by lintian, the build's symbols check shown to catch a removed export, installed with
# dpkg, used (morvex and its man page, both extensions in a throwaway cluster of the system's
# server, dbcipher's installcheck), a newer library upgraded alone under them, then purged.
# Whatever the packages pulled in is purged too, also when a step fails: the machine is left
# as the test found it.
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

echo "== reproducible"
# Another folder, so that no path of the first build can hide in the second's bytes.
"$root/packaging/build_debs.sh" "$debs.again" >/dev/null
(cd "$debs" && sha256sum ./*.deb) >"$work/first.sums"
(cd "$debs.again" && sha256sum -c --quiet) <"$work/first.sums" || fail "a second build gave other bytes"
rm -rf "$debs.again" "$debs.again".*.log
echo "two builds: ${#files[@]} identical packages"

echo "== lintian --pedantic"
# Tags the project cannot act on: the packages close no Debian bug (they have none, being
# outside Debian's archive), and PostgreSQL's own module folder is /usr/lib/postgresql/N/lib.
accepted='initial-upload-closes-no-bugs|repeated-path-segment lib \[usr/lib/postgresql/'
lintian --pedantic --fail-on none --tag-display-limit 0 "${files[@]}" 2>&1 |
    grep -v 'running with root privileges' >"$work/lintian.log" || true
grep -E "$accepted" "$work/lintian.log" | sed 's/^/accepted: /' || true
! grep -Ev "$accepted" "$work/lintian.log" || fail "lintian tags above"

echo "== symbols check"
# The library linked again without trim(): the build's check must stop the build, and pass
# once the export is back.
linker_flags() { cmake -S "$root" -B "$debs" -DCMAKE_SHARED_LINKER_FLAGS="$1" >/dev/null; }
original=$(sed -n 's/^CMAKE_SHARED_LINKER_FLAGS:STRING=//p' "$debs/CMakeCache.txt")
echo '{ local: _Z4trimPc; };' >"$work/without_trim.map"
linker_flags "$original -Wl,--version-script=$work/without_trim.map"
set +e
cmake --build "$debs" --target tarncrypt_symbols >"$work/symbols.log" 2>&1
removed=$?
linker_flags "$original"
cmake --build "$debs" --target tarncrypt_symbols >>"$work/symbols.log" 2>&1
restored=$?
set -e
if [ $removed -eq 0 ] || ! grep -q '^+#MISSING: .* _Z4trimPc@Base' "$work/symbols.log"; then
    cat "$work/symbols.log"
    fail "the build accepted a library without trim()"
fi
[ $restored -eq 0 ] || { cat "$work/symbols.log"; fail "the restored library fails the symbols check"; }
echo "a library without trim() fails the build; restored, it passes"

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
{ [ "$out" = "morvex: 3 arguments expected." ] && [ $status -eq 1 ]; } || fail "morvex: status $status, $out"
page=$(man -w morvex)
[ "$page" = /usr/share/man/man1/morvex.1.gz ] || fail "man page: $page"
echo "morvex runs; man page $page"
version=$(dpkg-deb -f "${files[0]}" Version)
[ "$(pkg-config --modversion tarncrypt)" = "${version%-*}" ] || fail "pkg-config"
[ "$(pkg-config --cflags --libs tarncrypt | xargs)" = "-I/usr/include/tarncrypt -ltarncrypt" ] ||
    fail "pkg-config flags: $(pkg-config --cflags --libs tarncrypt)"

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

echo "== a newer libtarncrypt1 alone"
library=$(ls "$debs"/libtarncrypt1_*.deb)
dpkg-deb -R "$library" "$work/newer"
sed -i "s/^Version: .*/Version: ${version%-*}.1-1/" "$work/newer/DEBIAN/control"
newer="$work/libtarncrypt1_newer.deb"
dpkg-deb --root-owner-group --build "$work/newer" "$newer" >/dev/null
plan=$(apt-get -s -o DPkg::Lock::Timeout=600 install "$newer" 2>&1)
grep -q '^Inst libtarncrypt1 ' <<<"$plan" || { echo "$plan"; fail "apt plans no upgrade"; }
! grep '^Remv ' <<<"$plan" || fail "apt would remove the packages above"
with_dpkg_lock dpkg -i "$newer" >/dev/null
for name in "${names[@]}"; do
    [ "$(dpkg-query -W -f='${Status}' "$name")" = "install ok installed" ] || fail "$name is gone"
done
[ "$(sql -d regress_owned -c "SELECT decr(encr('x'))")" = x ] || fail "dbcipher after the upgrade"
[ "$(morvex 2>&1)" = "morvex: 3 arguments expected." ] || fail "morvex after the upgrade"
echo "libtarncrypt1 $(dpkg-query -W -f='${Version}' libtarncrypt1) upgraded alone; nothing removed"
