#!/usr/bin/env bash
# The batch modes against one process per text and against the library's own cost, in one run:
# N texts sealed with one `morvex -E` and opened with one `morvex -D`, 1,000 texts through
# `morvex -e` and `morvex -d` one process each, and the same texts in process
# (morvex_envelope_cost): the library's transform calls an envelope needs, and morvex's
# envelope functions; and the N envelopes moved to another key by one `morvex -R` against
# `morvex -D | morvex -E`, two processes joined by a pipe. Wall and CPU time per text (for the
# pipe, both processes' CPU), and the ratios. The batch and in-process
# rows run [rounds] times, interleaved, and report their fastest round: on a shared machine the
# minimum is the figure least bent by other load.
#   batch_bench.sh <build-dir> [texts] [invocations] [rounds]
# Uses the build's morvex_test_keys and writes its throwaway key directory: do not run it while
# that build's morvex CLI tests run.
set -euo pipefail
if [ $# -lt 1 ]; then
    echo "usage: $0 <build-dir> [texts] [invocations]" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
texts=${2:-100000}
invocations=${3:-1000}
rounds=${4:-3}
morvex=$build/tools/morvex/tests/morvex_test_keys
keydir=$build/tools/morvex/tests/keys
cost=$build/tools/morvex/bench/morvex_envelope_cost

work=$(mktemp -d /tmp/morvex-batch-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$keydir"
# The key envelope_cost uses; the re-key moves envelopes from it to the Y file's key.
printf 'GENERIC_KEY: 0123456789abcdef\n' >"$keydir/.genericKey.dat"
printf 'GENERIC_KEY: fedcba9876543210\n' >"$keydir/.genericKey.dat.default"
(umask 077 && cp "$keydir/.genericKey.dat" "$work/old.key")

python3 - "$morvex" "$cost" "$work" "$texts" "$invocations" "$rounds" <<'PY'
import os, random, subprocess, sys, time

morvex, cost, work = sys.argv[1], sys.argv[2], sys.argv[3]
count, invocations, rounds = int(sys.argv[4]), int(sys.argv[5]), int(sys.argv[6])
rng = random.Random(15)
alphabet = [chr(c) for c in range(0x21, 0x7F)]
texts = ["".join(rng.choice(alphabet) for _ in range(rng.randint(8, 40))) for _ in range(count)]
textsFile = os.path.join(work, "texts")
with open(textsFile, "w") as f:
    f.write("".join(t + "\n" for t in texts))

def stdinFrom(path):
    return (os.POSIX_SPAWN_OPEN, 0, path, os.O_RDONLY, 0)

def stdoutTo(path):
    return (os.POSIX_SPAWN_OPEN, 1, path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)

def waitAll(pids, start):
    """Wall seconds since start and the CPU seconds of all the processes."""
    cpu = 0.0
    for argv, pid in pids:
        _, status, usage = os.wait4(pid, 0)
        if os.waitstatus_to_exitcode(status) != 0:
            sys.exit(f"{argv[:2]} failed")
        cpu += usage.ru_utime + usage.ru_stime
    return time.perf_counter() - start, cpu

def run(argv, stdin=None, stdout=os.devnull):
    """Wall and CPU seconds of one process, its stdin and stdout on files."""
    start = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, os.environ,
                         file_actions=[stdinFrom(stdin or os.devnull), stdoutTo(stdout)])
    return waitAll([(argv, pid)], start)

def runPipe(first, second, stdin, stdout):
    """Wall and CPU seconds of first | second, stdin and stdout on files."""
    r, w = os.pipe()
    start = time.perf_counter()
    a = os.posix_spawn(first[0], first, os.environ,
                       file_actions=[stdinFrom(stdin), (os.POSIX_SPAWN_DUP2, w, 1)])
    b = os.posix_spawn(second[0], second, os.environ,
                       file_actions=[(os.POSIX_SPAWN_DUP2, r, 0), stdoutTo(stdout)])
    os.close(r)
    os.close(w)
    return waitAll([(first, a), (second, b)], start)

rows = {}
def keep(name, wall, cpu):
    best = rows.get(name)
    rows[name] = (min(best[0], wall), min(best[1], cpu)) if best else (wall, cpu)

sealed = os.path.join(work, "sealed")
opened = os.path.join(work, "opened")
rekeyed = os.path.join(work, "rekeyed")
resealed = os.path.join(work, "resealed")
oldKey = os.path.join(work, "old.key")
for _ in range(rounds):
    for line in subprocess.run([cost, textsFile], check=True, capture_output=True, text=True).stdout.split("\n"):
        if line:
            name, wall, cpu = line.split()
            keep(name, float(wall), float(cpu))
    wall, cpu = run([morvex, "-E"], textsFile, sealed)
    keep("batch-seal", wall * 1e9 / count, cpu * 1e9 / count)
    wall, cpu = run([morvex, "-D"], sealed, opened)
    keep("batch-open", wall * 1e9 / count, cpu * 1e9 / count)
    if open(opened).read().split("\n")[:-1] != texts:
        sys.exit("the open batch did not give the texts back")
    wall, cpu = run([morvex, "-R", oldKey, "Y"], sealed, rekeyed)
    keep("batch-rekey", wall * 1e9 / count, cpu * 1e9 / count)
    wall, cpu = runPipe([morvex, "-D"], [morvex, "-E", "Y"], sealed, resealed)
    keep("pipe-open-seal", wall * 1e9 / count, cpu * 1e9 / count)
    for moved in (rekeyed, resealed):
        run([morvex, "-D", "Y"], moved, opened)
        if open(opened).read().split("\n")[:-1] != texts:
            sys.exit("the envelopes under the new key did not open to the texts")

envelopes = open(sealed).read().split("\n")
for mode, inputs in (("-e", texts), ("-d", envelopes)):
    wallSum = cpuSum = 0.0
    for text in inputs[:invocations]:
        wall, cpu = run([morvex, mode, text])
        wallSum += wall
        cpuSum += cpu
    rows["process-" + ("seal" if mode == "-e" else "open")] = (wallSum * 1e9 / invocations,
                                                                cpuSum * 1e9 / invocations)

print(f"{count} texts of 8 to 40 characters, best of {rounds} rounds; {invocations} one-text processes per mode")
print(f"{'per text':<16}{'wall ns':>12}{'CPU ns':>12}")
for name in ("library-seal", "functions-seal", "batch-seal", "process-seal",
             "library-open", "functions-open", "batch-open", "process-open",
             "batch-rekey", "pipe-open-seal"):
    print(f"{name:<16}{rows[name][0]:>12.0f}{rows[name][1]:>12.0f}")
for op in ("seal", "open"):
    batch, library, functions, process = (rows[k + "-" + op] for k in ("batch", "library", "functions", "process"))
    print(f"{op}: batch / library {batch[0] / library[0]:.2f}x wall, {batch[1] / library[1]:.2f}x CPU; "
          f"batch / envelope functions {batch[0] / functions[0]:.2f}x wall; "
          f"one process per text / batch {process[0] / batch[0]:.0f}x wall, {process[1] / batch[1]:.0f}x CPU")
rekey, piped = rows["batch-rekey"], rows["pipe-open-seal"]
print(f"re-key: batch / (-D | -E) {rekey[0] / piped[0]:.2f}x wall, {rekey[1] / piped[1]:.2f}x CPU")
PY
