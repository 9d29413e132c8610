# Sourced by the quenby_ldap benches, inside their PostgreSQL sandbox: a throwaway slapd of
# $1 entries (0: the test tree alone; SLAPD_SANDBOX_INDEX for indexes) stopped when the bench
# exits, its env loaded; and ldapsearch's CPU per run, which the benches set beside the backend's.
# shellcheck shell=bash

bench_start_slapd() {
    slapd_work=$(mktemp -d /tmp/quenby_bench_slapd.XXXXXX)
    trap '"$root/scripts/slapd_sandbox.sh" stop "$slapd_work"' EXIT
    if [ "$1" -gt 0 ]; then
        "$root/scripts/slapd_sandbox.sh" start "$slapd_work" "$1"
    else
        "$root/scripts/slapd_sandbox.sh" start "$slapd_work"
    fi
    # shellcheck disable=SC1091
    . "$slapd_work/env"
}

# bench_ldapsearch_cpu_ms <command> <runs> <digits>: CPU milliseconds (user + system) of one run
# of the ldapsearch command line, averaged over runs.
bench_ldapsearch_cpu_ms() {
    python3 - "$1" "$2" "$3" <<'PY'
import resource, subprocess, sys
runs = int(sys.argv[2])
for _ in range(runs):
    subprocess.run(sys.argv[1], shell=True, stdout=subprocess.DEVNULL, check=True)
usage = resource.getrusage(resource.RUSAGE_CHILDREN)
print(round((usage.ru_utime + usage.ru_stime) * 1000 / runs, int(sys.argv[3])))
PY
}
