#!/usr/bin/env bash
# A throwaway slapd for tests, benchmarks and the demo.
#
#   slapd_sandbox.sh start <workdir> [bulk-count] [--max-page-size N]
#                                                   test certificates, config, test tree (plus
#                                                   bulk-count entries under ou=bulk), slapd on a
#                                                   free loopback port; writes <workdir>/env.
#                                                   --max-page-size: see limit_plain_searches
#   slapd_sandbox.sh stop <workdir>                 stops that slapd and removes <workdir>
#
# The test tree holds a referral (ou=elsewhere) to a second throwaway slapd that refuses
# anonymous operations, as a domain controller refuses the unbound connections a client opens
# to chase a reference.
#
# Debian's /usr/sbin/slapd runs as an ordinary process with its own config file and data
# folder; the system's instance is never touched. StartTLS is offered with certificates from a
# private CA and every TLS client must present a certificate of that CA. The workdir, with the
# data and every key, is readable by its owner only; a PostgreSQL server that must present the
# client certificate gets its own copy (scripts/pg_sandbox.sh share).
set -euo pipefail

die() { echo "slapd_sandbox: $*" >&2; exit 1; }

readonly base_dn="dc=tarn,dc=test"
readonly admin_dn="cn=admin,$base_dn"
readonly user_dn="uid=alice,ou=people,$base_dn"
readonly user_password="alice-secret"
readonly wide_extra_attributes=128

unused_port() {
    local port
    for _ in $(seq 1 50); do
        port=$((20000 + RANDOM % 40000))
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || { echo "$port"; return; }
    done
    die "no free port found"
}

# make_cert <name> <subject> <issuer-name|self> [extensions]
make_cert() {
    local dir=$1 name=$2 subject=$3 issuer=$4 extensions=${5:-}
    openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
        -keyout "$dir/$name.key" -subj "$subject" -out "$dir/$name.csr" 2>/dev/null
    if [ "$issuer" = self ]; then
        openssl x509 -req -in "$dir/$name.csr" -signkey "$dir/$name.key" -days 2 \
            -extfile <(printf 'basicConstraints=critical,CA:TRUE\nkeyUsage=keyCertSign,cRLSign\n') \
            -out "$dir/$name.crt" 2>/dev/null
    else
        openssl x509 -req -in "$dir/$name.csr" -CA "$dir/$issuer.crt" -CAkey "$dir/$issuer.key" \
            -CAcreateserial -days 2 -extfile <(printf '%s\n' "$extensions") \
            -out "$dir/$name.crt" 2>/dev/null
    fi
    rm -f "$dir/$name.csr"
}

make_certificates() {
    local dir=$1
    mkdir -p "$dir"
    make_cert "$dir" ca "/CN=tarn test CA" self
    make_cert "$dir" server "/CN=localhost" ca \
        "subjectAltName=IP:127.0.0.1,DNS:localhost
extendedKeyUsage=serverAuth"
    make_cert "$dir" client "/CN=tarn test client" ca "extendedKeyUsage=clientAuth"
    # A client certificate from a CA the server does not know: it must be refused.
    make_cert "$dir" rogue-ca "/CN=rogue CA" self
    make_cert "$dir" rogue "/CN=rogue client" rogue-ca "extendedKeyUsage=clientAuth"
    chmod 700 "$dir"
    chmod 600 "$dir"/*
}

# Attributes of the test schema: tarnAttr001..128 for the wide entry, and octet strings for
# binary values.
write_schema() {
    local file=$1 oid=1.3.6.1.4.1.4203.666.77 i
    {
        for i in $(seq -f '%03g' 1 "$wide_extra_attributes"); do
            echo "attributetype ( $oid.1.$((10#$i)) NAME 'tarnAttr$i'" \
                "EQUALITY caseIgnoreMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )"
        done
        local name n=0
        for name in tarnBlob tarnLeadZero tarnBadText; do
            n=$((n + 1))
            echo "attributetype ( $oid.2.$n NAME '$name'" \
                "EQUALITY octetStringMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.40 )"
        done
    } >"$file"
}

write_config() {
    local work=$1
    cat >"$work/slapd.conf" <<CONF
include /etc/ldap/schema/core.schema
include /etc/ldap/schema/cosine.schema
include /etc/ldap/schema/inetorgperson.schema
include $work/tarn.schema

pidfile $work/slapd.pid
argsfile $work/slapd.args
modulepath /usr/lib/ldap
moduleload back_mdb
sizelimit unlimited

TLSCACertificateFile $work/certs/ca.crt
TLSCertificateFile $work/certs/server.crt
TLSCertificateKeyFile $work/certs/server.key
TLSVerifyClient demand

database mdb
maxsize 1073741824
suffix "$base_dn"
rootdn "$admin_dn"
rootpw admin-secret
directory $work/data
access to attrs=userPassword by anonymous auth by self write by * none
access to * by * read
CONF
}

b64() { printf "$1" | base64 -w0; }

write_tree() {
    local file=$1 i
    {
        cat <<LDIF
dn: $base_dn
objectClass: dcObject
objectClass: organization
dc: tarn
o: tarn test

dn: ou=people,$base_dn
objectClass: organizationalUnit
ou: people

dn: $user_dn
objectClass: inetOrgPerson
uid: alice
cn: Alice Example
sn: Example
mail: alice@tarn.test
mail: alice.example@tarn.test
mail: a.example@tarn.test
userPassword: $user_password

dn: ou=staff,ou=people,$base_dn
objectClass: organizationalUnit
ou: staff

dn: uid=bob,ou=staff,ou=people,$base_dn
objectClass: inetOrgPerson
uid: bob
cn: Bob Example
sn: Example

dn: uid=carol,ou=staff,ou=people,$base_dn
objectClass: inetOrgPerson
uid: carol
cn: Carol Ex\$ample
sn: Example

dn: ou=empty,$base_dn
objectClass: organizationalUnit
ou: empty

dn: cn=binary,$base_dn
objectClass: device
objectClass: extensibleObject
cn: binary
tarnBlob:: $(b64 'ab\0cd')
tarnLeadZero:: $(b64 '\0xyz')
tarnBadText:: $(b64 'ok\377\376')

dn:: $(b64 "cn=price \342\202\254,cn=binary,$base_dn")
objectClass: device
cn:: $(b64 'price \342\202\254')

dn: cn=wide,$base_dn
objectClass: device
objectClass: extensibleObject
cn: wide
LDIF
        for i in $(seq -f '%03g' 1 "$wide_extra_attributes"); do
            echo "tarnAttr$i: value $i"
        done
    } >"$file"
}

write_bulk() {
    local file=$1 count=$2
    printf 'dn: ou=bulk,%s\nobjectClass: organizationalUnit\nou: bulk\n\n' "$base_dn" >"$file"
    seq -f '%05g' 1 "$count" | awk -v base="$base_dn" '{
        printf "dn: uid=user%s,ou=bulk,%s\nobjectClass: inetOrgPerson\nuid: user%s\n", $1, base, $1
        printf "cn: Bulk User %s\nsn: User%s\nmail: user%s@tarn.test\n\n", $1, $1, $1 }' >>"$file"
}

readonly referral_dn="ou=elsewhere,$base_dn"

# The second slapd: it holds the subtree the referral names and answers nothing anonymous.
start_referral_target() {
    local work=$1
    mkdir -p "$work/data"
    cat >"$work/slapd.conf" <<CONF
include /etc/ldap/schema/core.schema
pidfile $work/slapd.pid
argsfile $work/slapd.args
modulepath /usr/lib/ldap
moduleload back_mdb
disallow bind_anon
require authc

database mdb
maxsize 10485760
suffix "$referral_dn"
rootdn "cn=admin,$referral_dn"
rootpw admin-secret
directory $work/data
CONF
    printf 'dn: %s\nobjectClass: organizationalUnit\nou: elsewhere\n\ndn: cn=remote,%s\nobjectClass: device\ncn: remote\n' \
        "$referral_dn" "$referral_dn" >"$work/tree.ldif"
    slapadd -q -f "$work/slapd.conf" -l "$work/tree.ldif" >"$work/slapadd.log" 2>&1 ||
        { cat "$work/slapadd.log" >&2; die "loading the referral target failed"; }
    launch "$work"
}

write_referral() {
    local file=$1 port=$2
    printf '\ndn: %s\nobjectClass: referral\nobjectClass: extensibleObject\nou: elsewhere\nref: ldap://127.0.0.1:%s/%s\n' \
        "$referral_dn" "$port" "$referral_dn" >>"$file"
}

# Like Active Directory's MaxPageSize: a plain search returns at most <n> entries and then ends
# with sizeLimitExceeded (4), a paged search (RFC 2696) returns every entry. The rootdn is
# exempt from limits: search as another user.
limit_plain_searches() {
    local work=$1 n=$2
    sed -i "s/^sizelimit unlimited\$/sizelimit size.soft=$n size.hard=$n size.prtotal=unlimited/" \
        "$work/slapd.conf"
    grep -q "^sizelimit size.soft=$n " "$work/slapd.conf" || die "no sizelimit line to limit"
}

# Any answer will do, a refusal included (exit status 255: nothing answered).
answers() {
    local status=0
    ldapsearch -x -LLL -H "ldap://127.0.0.1:$1" -b "$base_dn" -s base dn >/dev/null 2>&1 || status=$?
    [ "$status" -ne 255 ]
}

# slapd runs in the foreground (-d 0) in the background of this shell, so the pid we hold is
# the server's from the first moment: a daemonising slapd writes its pid file only after its
# database is open, and a start given up before then would leave a server that nothing stops,
# sharing the data folder and, later, the pid file of the one the tests use.
launch() {
    local work=$1 port pid
    for _ in 1 2 3 4 5; do
        port=$(unused_port)
        /usr/sbin/slapd -d 0 -f "$work/slapd.conf" -h "ldap://127.0.0.1:$port/" \
            -n tarn-slapd-sandbox </dev/null >>"$work/slapd.log" 2>&1 &
        pid=$!
        for _ in $(seq 1 300); do
            kill -0 "$pid" 2>/dev/null || break # gone: the port was taken, try another
            if answers "$port"; then
                echo "$pid" >"$work/slapd.pid"
                echo "$port"
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
    make_certificates "$work/certs"
    write_schema "$work/tarn.schema"
    write_config "$work"
    [ "$max_page_size" -eq 0 ] || limit_plain_searches "$work" "$max_page_size"
    write_tree "$work/tree.ldif"
    local referral_port
    referral_port=$(start_referral_target "$work/elsewhere")
    write_referral "$work/tree.ldif" "$referral_port"
    mkdir -p "$work/data"
    slapadd -q -f "$work/slapd.conf" -l "$work/tree.ldif" >"$work/slapadd.log" 2>&1 ||
        { cat "$work/slapadd.log" >&2; die "loading the test tree failed"; }
    if [ "$bulk" -gt 0 ]; then
        write_bulk "$work/bulk.ldif" "$bulk"
        slapadd -q -f "$work/slapd.conf" -l "$work/bulk.ldif" >>"$work/slapadd.log" 2>&1 ||
            { cat "$work/slapadd.log" >&2; die "loading the bulk entries failed"; }
    fi
    local port
    port=$(launch "$work")
    cat >"$work/env" <<ENV
export LDAP_HOST=127.0.0.1
export LDAP_PORT=$port
export LDAP_URI=ldap://127.0.0.1:$port/
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

# Stops the slapd of <workdir>, also when a test left it suspended (SIGSTOP).
halt() {
    local work=$1 pid
    [ -f "$work/slapd.pid" ] || return 0
    pid=$(cat "$work/slapd.pid")
    kill -CONT "$pid" 2>/dev/null || true
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do
        kill -0 "$pid" 2>/dev/null || { rm -f "$work/slapd.pid"; return 0; }
        sleep 0.1
    done
    # Only while it is still there: the number of a process that is gone may already name another.
    kill -KILL "$pid" 2>/dev/null || true
    rm -f "$work/slapd.pid"
}

stop() {
    local work=$1
    [ -d "$work" ] || return 0
    halt "$work"
    halt "$work/elsewhere"
    rm -rf "$work"
}

case "${1:-}" in
    start) [ $# -ge 2 ] || die "usage: slapd_sandbox.sh start <workdir> [bulk-count] [--max-page-size N]"; shift; start "$@" ;;
    stop) [ $# -ge 2 ] || die "usage: slapd_sandbox.sh stop <workdir>"; stop "$2" ;;
    *) die "usage: slapd_sandbox.sh start <workdir> [bulk-count] [--max-page-size N] | stop <workdir>" ;;
esac
