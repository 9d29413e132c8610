#!/usr/bin/env bash
# A throwaway PostgreSQL 15 server for tests, benchmarks and the demo.
#
#   pg_sandbox.sh start <workdir> <builddir>   private copy of the server with the build's
#                                              extensions installed, a new cluster on a free
#                                              loopback port; writes <workdir>/env
#   pg_sandbox.sh stop <workdir>               stops the server and removes <workdir>
#   pg_sandbox.sh run <builddir> -- cmd...     start, run cmd with the env, stop (always)
#
# The system's own PostgreSQL installation is never touched: the server binaries are copied
# and the library and share trees are symlinked into <workdir>/root, where the server finds
# its files relative to its own binary. initdb and postgres refuse root, so the cluster runs
# as the postgres user when we are root. A sanitized build gets its runtime preloaded.
set -euo pipefail

die() { echo "pg_sandbox: $*" >&2; exit 1; }

free_port() {
    local port
    for _ in $(seq 1 50); do
        port=$((20000 + RANDOM % 40000))
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo "$port"
            return
        fi
    done
    die "no free port found"
}

as_cluster_owner() {
    if [ "$(id -u)" -eq 0 ]; then
        runuser -u postgres -- env "$@"
    else
        env "$@"
    fi
}

sanitizer_preload() {
    local builddir=$1
    grep -q '^TARN_SANITIZE:BOOL=ON' "$builddir/CMakeCache.txt" 2>/dev/null || return 0
    local cxx asan shim
    cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$builddir/CMakeCache.txt")
    asan=$("$cxx" -print-file-name=libasan.so)
    # A preloaded libasan starts up lazily, on its first intercepted call. In the server that
    # call comes from a library constructor inside bindtextdomain, and ASan's start-up then
    # re-enters gettext and leaves its lock broken: every server binary hangs. This shim's
    # constructor runs before all others (-z initfirst) and starts ASan there.
    shim=$builddir/pg_sandbox_asan_init.so
    if [ ! -f "$shim" ]; then
        printf 'void __asan_init(void);\n__attribute__((constructor)) static void start(void) { __asan_init(); }\n' |
            "$cxx" -shared -fPIC -o "$shim.$$" -x c - -x none -Wl,-z,initfirst -Wl,--no-as-needed "$asan"
        mv -f "$shim.$$" "$shim"
    fi
    echo "$asan $("$cxx" -print-file-name=libubsan.so) $shim"
}

start() {
    local work=$1 build
    build=$(cd "$2" && pwd)
    mkdir -p "$work"
    work=$(cd "$work" && pwd)
    local bindir pkglibdir sharedir
    bindir=$(pg_config --bindir)
    pkglibdir=$(pg_config --pkglibdir)
    sharedir=$(pg_config --sharedir)
    local root=$work/root
    mkdir -p "$root$(dirname "$bindir")" "$root$(dirname "$pkglibdir")" "$root$(dirname "$sharedir")"
    [ -e "$root$bindir" ] || cp -a "$bindir" "$root$bindir"
    [ -e "$root$pkglibdir" ] || cp -rs "$pkglibdir" "$root$pkglibdir"
    [ -e "$root$sharedir" ] || cp -rs "$sharedir" "$root$sharedir"
    DESTDIR=$root cmake --install "$build" --component postgres >/dev/null

    local port preload
    port=$(free_port)
    preload=$(sanitizer_preload "$build")
    mkdir -p "$work/socket"
    [ "$(id -u)" -eq 0 ] && chown -R postgres "$work"
    chmod 755 "$work"

    local runtime_env=(LD_LIBRARY_PATH="$build/policy/FMWK")
    if [ -n "$preload" ]; then
        runtime_env+=(LD_PRELOAD="$preload"
                      ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:detect_odr_violation=0"
                      UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1")
    fi
    as_cluster_owner "$root$bindir/initdb" -D "$work/data" -A trust -U postgres -E UTF8 \
        --locale=C.UTF-8 >"$work/initdb.log" 2>&1 || { cat "$work/initdb.log" >&2; die "initdb failed"; }
    as_cluster_owner "${runtime_env[@]}" "$root$bindir/pg_ctl" -D "$work/data" -l "$work/server.log" -w \
        -o "-p $port -k $work/socket -c listen_addresses=127.0.0.1 -c max_worker_processes=8" \
        start >/dev/null || { cat "$work/server.log" >&2; die "server did not start"; }
    cat >"$work/env" <<ENV
export PGHOST=127.0.0.1
export PGPORT=$port
export PGUSER=postgres
export PGDATABASE=postgres
export PG_SANDBOX_BIN=$root$bindir
export PG_SANDBOX_LOG=$work/server.log
export PG_SANDBOX_DATA=$work/data
export PG_REGRESS=$(pg_config --pkglibdir)/pgxs/src/test/regress/pg_regress
ENV
}

stop() {
    local work=$1
    [ -d "$work" ] || return 0
    if [ -f "$work/data/postmaster.pid" ]; then
        as_cluster_owner "$work/root$(pg_config --bindir)/pg_ctl" -D "$work/data" -m immediate -w stop \
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

case "${1:-}" in
    start) start "$2" "$3" ;;
    stop) stop "$2" ;;
    run) shift; run "$@" ;;
    *) die "usage: pg_sandbox.sh start <workdir> <builddir> | stop <workdir> | run <builddir> -- cmd..." ;;
esac
