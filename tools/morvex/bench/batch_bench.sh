#!/usr/bin/env bash
# The batch modes against one process per text and against the library's own cost, in one run:
# N texts sealed with one `morvex -E` and opened with one `morvex -D`, 1,000 texts through
# `morvex -e` and `morvex -d` one process each, and the same texts in process
# (morvex_envelope_cost): the library's transform calls an envelope needs, and morvex's
# envelope functions. Wall and CPU time per text, and the ratios. The batch and in-process
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
# The key envelope_cost uses.
printf 'GENERIC_KEY: 0123456789abcdef\n' >"$keydir/.genericKey.dat"

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

def run(argv, stdin=None, stdout=os.devnull):
    """Wall and CPU seconds of one process, its stdin and stdout on files."""
    actions = [(os.POSIX_SPAWN_OPEN, 0, stdin or os.devnull, os.O_RDONLY, 0),
               (os.POSIX_SPAWN_OPEN, 1, stdout, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)]
    start = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=actions)
    _, status, usage = os.wait4(pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{argv[:2]} failed")
    return wall, usage.ru_utime + usage.ru_stime

rows = {}
def keep(name, wall, cpu):
    best = rows.get(name)
    rows[name] = (min(best[0], wall), min(best[1], cpu)) if best else (wall, cpu)

sealed = os.path.join(work, "sealed")
opened = os.path.join(work, "opened")
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
             "library-open", "functions-open", "batch-open", "process-open"):
    print(f"{name:<16}{rows[name][0]:>12.0f}{rows[name][1]:>12.0f}")
for op in ("seal", "open"):
    batch, library, functions, process = (rows[k + "-" + op] for k in ("batch", "library", "functions", "process"))
    print(f"{op}: batch / library {batch[0] / library[0]:.2f}x wall, {batch[1] / library[1]:.2f}x CPU; "
          f"batch / envelope functions {batch[0] / functions[0]:.2f}x wall; "
          f"one process per text / batch {process[0] / batch[0]:.0f}x wall, {process[1] / batch[1]:.0f}x CPU")
PY
