#!/usr/bin/env bash
# A throwaway PostgreSQL 15 server for tests, benchmarks and the demo.
#
#   pg_sandbox.sh start <workdir> <builddir>   private copy of the server with the build's
#                                              extensions and libtarncrypt installed in
#                                              <workdir>, a new cluster; writes <workdir>/env
#   pg_sandbox.sh start <workdir> --system     the same with the system's server and extension
#                                              folders as they are (installed packages)
#   pg_sandbox.sh stop <workdir>               stops the server and removes <workdir>
#   pg_sandbox.sh run <builddir> -- cmd...     start, run cmd with the env, stop (always)
#   pg_sandbox.sh share <variable>...          (with the env) copies the files these variables
#                                              name into the sandbox for the server to read;
#                                              prints export lines pointing them at the copies
#
# Options for start and run, from the environment (the defaults leave them out):
#   PG_SANDBOX_KEY_FILE=<file>   copies <file> into the sandbox (mode 0600, the cluster's owner)
#                                and names the copy in dbcipher.key_file
#   PG_SANDBOX_PREVIOUS_KEY_FILE=<file>  the same for dbcipher.previous_key_file
#   PG_SANDBOX_AUDIT=1           the audit stack of regulated sites: pgaudit logging everything
#                                with parameters, every statement and its duration logged,
#                                auto_explain logging every plan verbosely, pg_stat_statements
#
# Everything the server reads is installed or copied into <workdir>, which only the cluster's
# owner may enter: the build tree may sit in any folder, however private, and the server can
# never fall back to a libtarncrypt installed elsewhere. The cluster listens on a Unix socket
# in that folder only (no TCP), so no other local account can connect.
#
# The system's own PostgreSQL installation is never touched: the server binaries are copied,
# the build's files are installed into <workdir>/root and the system's library and share trees
# are symlinked beside them; the server finds its files relative to its own binary. initdb and
# postgres refuse root, so the cluster runs as the postgres user when we are root. A sanitized
# build gets its runtime preloaded.
set -euo pipefail

die() { echo "pg_sandbox: $*" >&2; exit 1; }

# Unix sockets only: the port number merely names the socket file.
readonly socket_port=5432

# From /, since the caller's folder may be one the cluster's owner cannot enter.
as_cluster_owner() {
    if [ "$(id -u)" -eq 0 ]; then
        (cd / && runuser -u postgres -- env "$@")
    else
        (cd / && env "$@")
    fi
}

sanitizer_preload() {
    local builddir=$1 work=$2
    grep -q '^TARN_SANITIZE:BOOL=ON' "$builddir/CMakeCache.txt" 2>/dev/null || return 0
    local cxx asan shim=$work/asan_init.so
    cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$builddir/CMakeCache.txt")
    asan=$("$cxx" -print-file-name=libasan.so)
    # A preloaded libasan starts up lazily, on its first intercepted call. In the server that
    # call comes from a library constructor inside bindtextdomain, and ASan's start-up then
    # re-enters gettext and leaves its lock broken: every server binary hangs. This shim's
    # constructor runs before all others (-z initfirst) and starts ASan there.
    printf 'void __asan_init(void);\n__attribute__((constructor)) static void start(void) { __asan_init(); }\n' |
        "$cxx" -shared -fPIC -o "$shim" -x c - -x none -Wl,-z,initfirst -Wl,--no-as-needed "$asan"
    echo "$asan $("$cxx" -print-file-name=libubsan.so) $shim"
}

# The build's libtarncrypt goes to <work>/runtime, its extensions into <work>/root with the
# same prefix, so their RUNPATH names the sandbox's copy of the library.
install_build() {
    local work=$1 build=$2 root=$1/root bindir pkglibdir sharedir component
    bindir=$(pg_config --bindir)
    pkglibdir=$(pg_config --pkglibdir)
    sharedir=$(pg_config --sharedir)
    cmake --install "$build" --prefix "$work/runtime" --component library >/dev/null
    for component in dbcipher quenby_ldap; do
        DESTDIR=$root cmake --install "$build" --prefix "$work/runtime" --component "$component" >/dev/null
    done
    mkdir -p "$root$(dirname "$bindir")" "$root$pkglibdir" "$root$sharedir"
    cp -a "$bindir" "$root$bindir"
    # Links to the system's files, except where the build installed its own.
    cp -rsn "$pkglibdir/." "$root$pkglibdir/"
    cp -rsn "$sharedir/." "$root$sharedir/"
}

runtime_library_dir() {
    local work=$1 lib
    lib=$(find "$work/runtime" -name 'libtarncrypt.so.*' -print -quit)
    [ -n "$lib" ] || die "the build installed no libtarncrypt"
    dirname "$lib"
}

start() {
    local work=$1 source=$2 bindir runtime_env=()
    mkdir -p "$work"
    work=$(cd "$work" && pwd)
    if [ "$source" = --system ]; then
        bindir=$(pg_config --bindir)
    else
        local build preload
        build=$(cd "$source" && pwd)
        install_build "$work" "$build"
        bindir=$work/root$(pg_config --bindir)
        runtime_env+=(LD_LIBRARY_PATH="$(runtime_library_dir "$work")")
        preload=$(sanitizer_preload "$build" "$work")
        if [ -n "$preload" ]; then
            runtime_env+=(LD_PRELOAD="$preload"
                          ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:detect_odr_violation=0"
                          UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1")
        fi
    fi
    mkdir -p "$work/socket"
    if [ "$(id -u)" -eq 0 ]; then chown -R postgres "$work"; fi
    chmod 700 "$work" "$work/socket"
    as_cluster_owner test -w "$work" ||
        die "the cluster's owner cannot enter $work: give a folder it can reach (e.g. mktemp -d)"

    as_cluster_owner "$bindir/initdb" -D "$work/data" --auth-local=trust --auth-host=reject \
        -U postgres -E UTF8 --locale=C.UTF-8 >"$work/initdb.log" 2>&1 ||
        { cat "$work/initdb.log" >&2; die "initdb failed"; }
    configure_options "$work"
    as_cluster_owner "${runtime_env[@]}" "$bindir/pg_ctl" -D "$work/data" -l "$work/server.log" -w \
        -o "-p $socket_port -k $work/socket -c listen_addresses='' -c max_worker_processes=8" \
        start >/dev/null || { cat "$work/server.log" >&2; die "server did not start"; }
    cat >"$work/env" <<ENV
export PGHOST=$work/socket
export PGPORT=$socket_port
export PGUSER=postgres
export PGDATABASE=postgres
export PG_SANDBOX_DIR=$work
export PG_SANDBOX_BIN=$bindir
export PG_SANDBOX_LOG=$work/server.log
export PG_SANDBOX_DATA=$work/data
export PG_REGRESS=$(pg_config --pkglibdir)/pgxs/src/test/regress/pg_regress
ENV
}

audit_settings() {
    cat <<'CONF'
shared_preload_libraries = 'pgaudit,auto_explain,pg_stat_statements'
pgaudit.log = 'all'
pgaudit.log_parameter = on
log_statement = 'all'
log_min_duration_statement = 0
auto_explain.log_min_duration = 0
auto_explain.log_analyze = on
auto_explain.log_verbose = on
auto_explain.log_nested_statements = on
pg_stat_statements.track = all
CONF
}

# install_key <work> <file> <name of the copy> <setting>
install_key() {
    local work=$1 file=$2 name=$3 setting=$4
    mkdir -p "$work/keys"
    cp "$file" "$work/keys/$name"
    chmod 700 "$work/keys"
    chmod 600 "$work/keys/$name"
    if [ "$(id -u)" -eq 0 ]; then chown -R postgres "$work/keys"; fi
    echo "$setting = '$work/keys/$name'" >>"$work/data/postgresql.conf"
}

configure_options() {
    local work=$1 conf=$1/data/postgresql.conf
    if [ -n "${PG_SANDBOX_KEY_FILE:-}" ]; then
        install_key "$work" "$PG_SANDBOX_KEY_FILE" server.key dbcipher.key_file
    fi
    if [ -n "${PG_SANDBOX_PREVIOUS_KEY_FILE:-}" ]; then
        install_key "$work" "$PG_SANDBOX_PREVIOUS_KEY_FILE" previous.key dbcipher.previous_key_file
    fi
    if [ "${PG_SANDBOX_AUDIT:-}" = 1 ]; then audit_settings >>"$conf"; fi
}

stop() {
    local work=$1
    [ -d "$work" ] || return 0
    if [ -f "$work/data/postmaster.pid" ]; then
        as_cluster_owner "$(pg_config --bindir)/pg_ctl" -D "$work/data" -m immediate -w stop \
            >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}

run() {
    local build=$1
    shift
    [ "${1:-}" = "--" ] && shift
    sandbox_work=$(mktemp -d /tmp/pg_sandbox.XXXXXX)
    trap 'stop "$sandbox_work"' EXIT
    start "$sandbox_work" "$build"
    # shellcheck disable=SC1091
    . "$sandbox_work/env"
    "$@"
}

# Takes names of variables that hold file paths; prints shell lines that point them at copies
# the server's owner alone may read.
share() {
    [ -n "${PG_SANDBOX_DIR:-}" ] || die "share needs the environment of a running sandbox"
    local dir=$PG_SANDBOX_DIR/shared name copy
    mkdir -p "$dir"
    chmod 700 "$dir"
    for name in "$@"; do
        copy=$dir/$name
        cp "${!name}" "$copy"
        chmod 600 "$copy"
        printf 'export %s=%q\n' "$name" "$copy"
    done
    if [ "$(id -u)" -eq 0 ]; then chown -R postgres "$dir"; fi
}

case "${1:-}" in
    start) [ $# -eq 3 ] || die "usage: pg_sandbox.sh start <workdir> <builddir>|--system"; start "$2" "$3" ;;
    stop) stop "$2" ;;
    run) shift; run "$@" ;;
    share) shift; share "$@" ;;
    *) die "usage: pg_sandbox.sh start <workdir> <builddir>|--system | stop <workdir> | run <builddir> -- cmd... | share <variable>..." ;;
esac
