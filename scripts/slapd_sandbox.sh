#!/usr/bin/env bash
# A throwaway slapd for tests, benchmarks and the demo.
#
#   slapd_sandbox.sh start <workdir> [bulk-count] [--max-page-size N]
#                                                   test certificates, config, test tree (plus
#                                                   bulk-count people under ou=bulk, each with a
#                                                   jpegPhoto of its own), slapd on a
#                                                   free loopback port, and LDAPS on another;
#                                                   writes <workdir>/env.
#                                                   --max-page-size: see configure_test_server
#                                                   SLAPD_SANDBOX_INDEX="uid eq": an index
#                                                   line for the test database (benchmarks)
#   slapd_sandbox.sh stop <workdir>                 stops that slapd and removes <workdir>
#
# The test tree, its schema and the certificates come from db/ldap/test/fixtures. The tree holds
# a referral (ou=elsewhere) to a second throwaway slapd that refuses anonymous operations, as a
# domain controller refuses the unbound connections a client opens to chase a reference.
#
# Debian's /usr/sbin/slapd runs as an ordinary process with its own config file and data
# folder; the system's instance is never touched. StartTLS is offered with certificates from a
# private CA and every TLS client must present a certificate of that CA. The workdir, with the
# data and every key, is readable by its owner only; a PostgreSQL server that must present the
# client certificate gets its own copy (scripts/pg_sandbox.sh share).
set -euo pipefail

die() { echo "slapd_sandbox: $*" >&2; exit 1; }

fixtures=$(cd "$(dirname "$0")/../db/ldap/test/fixtures" && pwd)
directory() { python3 "$fixtures/directory.py" "$@"; }
# Who is in the test tree, as the fixture says.
base_dn='' user_dn='' user_password='' referral_dn=''
eval "$(directory identity)"
[ -n "$base_dn" ] || die "no identity from $fixtures/directory.py"

unused_port() {
    local port
    for _ in $(seq 1 50); do
        port=$((20000 + RANDOM % 40000))
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || { echo "$port"; return; }
    done
    die "no free port found"
}

# write_config <work> <suffix> <sizelimit> <global lines> <database lines>: the one writer of
# slapd.conf, for both servers; the schema of the test tree is in <work>/tarn.schema.
write_config() {
    local work=$1 suffix=$2 sizelimit=$3 global=$4 database=$5
    cat >"$work/slapd.conf" <<CONF
include /etc/ldap/schema/core.schema
include /etc/ldap/schema/cosine.schema
include /etc/ldap/schema/inetorgperson.schema
include $work/tarn.schema

pidfile $work/slapd.pid
argsfile $work/slapd.args
modulepath /usr/lib/ldap
moduleload back_mdb
sizelimit $sizelimit
$global

database mdb
maxsize 1073741824
suffix "$suffix"
rootdn "cn=admin,$suffix"
rootpw admin-secret
directory $work/data
$database
CONF
}

# load <work> <ldif-file>...: a fresh database of the config in <work> holding those entries.
load() {
    local work=$1 ldif
    shift
    mkdir -p "$work/data"
    for ldif in "$@"; do
        slapadd -q -f "$work/slapd.conf" -l "$ldif" >>"$work/slapadd.log" 2>&1 ||
            { cat "$work/slapadd.log" >&2; die "loading $ldif failed"; }
    done
}

# The second slapd: it holds the subtree the referral names and answers nothing anonymous.
start_referral_target() {
    local work=$1
    mkdir -p "$work"
    directory schema >"$work/tarn.schema"
    write_config "$work" "$referral_dn" unlimited "disallow bind_anon
require authc" ""
    directory referral-tree >"$work/tree.ldif"
    load "$work" "$work/tree.ldif"
    launch "$work"
}

# The test slapd: StartTLS with the certificates of <work>/certs, a client certificate of the
# test CA demanded. With <max-page-size> other than 0 it behaves like Active Directory's
# MaxPageSize: a plain search returns at most that many entries and then ends with
# sizeLimitExceeded (4), a paged search (RFC 2696) returns every entry. The rootdn is exempt
# from limits: search as another user.
configure_test_server() {
    local work=$1 max_page_size=$2 sizelimit=unlimited
    [ "$max_page_size" -eq 0 ] ||
        sizelimit="size.soft=$max_page_size size.hard=$max_page_size size.prtotal=unlimited"
    directory schema >"$work/tarn.schema"
    write_config "$work" "$base_dn" "$sizelimit" "TLSCACertificateFile $work/certs/ca.crt
TLSCertificateFile $work/certs/server.crt
TLSCertificateKeyFile $work/certs/server.key
TLSVerifyClient demand" "access to attrs=userPassword by anonymous auth by self write by * none
access to * by * read${SLAPD_SANDBOX_INDEX:+
index $SLAPD_SANDBOX_INDEX}"
}

# Any answer will do, a refusal included (exit status 255: nothing answered).
answers() {
    local status=0
    ldapsearch -x -LLL -H "ldap://127.0.0.1:$1" -b "$base_dn" -s base dn >/dev/null 2>&1 || status=$?
    [ "$status" -ne 255 ]
}

# Whether slapd <pid> has written its pid file, which it does only once it listens: until then
# whatever answers on the port may be another server that took it first.
ours() {
    [ "$(cat "$1/slapd.pid" 2>/dev/null)" = "$2" ]
}

# slapd runs in the foreground (-d 0) in the background of this shell, so the pid we hold is
# the server's from the first moment: a daemonising slapd writes its pid file only after its
# database is open, and a start given up before then would leave a server that nothing stops,
# sharing the data folder and, later, the pid file of the one the tests use.
# With "ldaps" it listens for TLS from the first byte on a second port too, and prints both.
launch() {
    local work=$1 with_ldaps=${2:-} port ldaps_port="" urls pid
    for _ in 1 2 3 4 5; do
        rm -f "$work/slapd.pid"
        port=$(unused_port)
        urls="ldap://127.0.0.1:$port/"
        if [ -n "$with_ldaps" ]; then
            ldaps_port=$(unused_port)
            urls="$urls ldaps://127.0.0.1:$ldaps_port/"
        fi
        /usr/sbin/slapd -d 0 -f "$work/slapd.conf" -h "$urls" \
            -n tarn-slapd-sandbox </dev/null >>"$work/slapd.log" 2>&1 &
        pid=$!
        for _ in $(seq 1 300); do
            kill -0 "$pid" 2>/dev/null || break # gone: the port was taken, try another
            if ours "$work" "$pid" && answers "$port"; then
                echo "$port${ldaps_port:+ $ldaps_port}"
                return
            fi
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    cat "$work/slapd.log" >&2
    die "slapd did not start"
}

start() {
    local work=$1 bulk=0 max_page_size=0
    shift
    if [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; then bulk=$1; shift; fi
    while [ $# -gt 0 ]; do
        case $1 in
            --max-page-size) [ $# -ge 2 ] || die "--max-page-size needs a number"; max_page_size=$2; shift 2 ;;
            *) die "unknown option: $1" ;;
        esac
    done
    [ -x /usr/sbin/slapd ] || die "/usr/sbin/slapd is missing (scripts/setup.sh installs it)"
    mkdir -p "$work"
    work=$(cd "$work" && pwd)
    chmod 700 "$work"
    "$fixtures/make_certs.sh" "$work/certs"
    local referral_port
    referral_port=$(start_referral_target "$work/elsewhere")
    configure_test_server "$work" "$max_page_size"
    directory tree "ldap://127.0.0.1:$referral_port/" >"$work/tree.ldif"
    local trees=("$work/tree.ldif")
    if [ "$bulk" -gt 0 ]; then
        directory bulk "$bulk" >"$work/bulk.ldif"
        trees+=("$work/bulk.ldif")
    fi
    load "$work" "${trees[@]}"
    local ports port ldaps_port
    ports=$(launch "$work" ldaps)
    read -r port ldaps_port <<<"$ports"
    cat >"$work/env" <<ENV
export LDAP_HOST=127.0.0.1
export LDAP_PORT=$port
export LDAP_URI=ldap://127.0.0.1:$port/
export LDAPS_PORT=$ldaps_port
export LDAP_BASE='$base_dn'
export LDAP_BULK_BASE='ou=bulk,$base_dn'
export LDAP_BULK_COUNT=$bulk
export LDAP_BIND_DN='$user_dn'
export LDAP_BIND_PW='$user_password'
export LDAP_CA_CERT=$work/certs/ca.crt
export LDAP_CLIENT_CERT=$work/certs/client.crt
export LDAP_CLIENT_KEY=$work/certs/client.key
export LDAP_ROGUE_CERT=$work/certs/rogue.crt
export LDAP_ROGUE_KEY=$work/certs/rogue.key
export LDAP_PIDFILE=$work/slapd.pid
export LDAP_REFERRAL_URI=ldap://127.0.0.1:$referral_port/
export LDAP_SANDBOX_DIR=$work
ENV
}

# Asks a slapd to stop, also when a test left it suspended (SIGSTOP).
ask_to_stop() {
    local pid=$1
    kill -CONT "$pid" 2>/dev/null || true
    kill -TERM "$pid" 2>/dev/null || true
}

# Waits until a slapd has stopped; after ten seconds, kills it.
await_stop() {
    local pid=$1
    for _ in $(seq 1 100); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    # Only while it is still there: the number of a process that is gone may already name another.
    kill -KILL "$pid" 2>/dev/null || true
}

# Each slapd takes about a second to shut down: both are asked first, then awaited. Their
# numbers are read before either is asked, since a slapd removes its pid file as it exits.
stop() {
    local work=$1 pidfile pid pids=()
    [ -d "$work" ] || return 0
    for pidfile in "$work/slapd.pid" "$work/elsewhere/slapd.pid"; do
        pid=$(cat "$pidfile" 2>/dev/null) && pids+=("$pid")
    done
    for pid in "${pids[@]}"; do
        ask_to_stop "$pid"
    done
    for pid in "${pids[@]}"; do
        await_stop "$pid"
    done
    rm -rf "$work"
}

case "${1:-}" in
    start) [ $# -ge 2 ] || die "usage: slapd_sandbox.sh start <workdir> [bulk-count] [--max-page-size N]"; shift; start "$@" ;;
    stop) [ $# -ge 2 ] || die "usage: slapd_sandbox.sh stop <workdir>"; stop "$2" ;;
    *) die "usage: slapd_sandbox.sh start <workdir> [bulk-count] [--max-page-size N] | stop <workdir>" ;;
esac
