#!/usr/bin/env bash
# Wall time of one morvex run against one `openssl enc -aes-128-cbc -a` run on the same text,
# side by side in one hyperfine session: encrypt and decrypt, 16- and 256-byte texts.
#   compare_openssl.sh <morvex-binary> <keydir> [runs]
# <morvex-binary> must be a build whose key directory is <keydir>, a throwaway folder (the
# script writes .genericKey.dat there); e.g. a test build's morvex_test_keys and its keys/.
set -euo pipefail
if [ $# -lt 2 ]; then
    echo "usage: $0 <morvex-binary> <keydir> [runs]" >&2
    exit 2
fi
morvex=$1
keydir=$2
runs=${3:-300}
key=0123456789abcdef
iv=000102030405060708090a0b0c0d0e0f
keyhex=$(printf %s "$key" | od -An -tx1 | tr -d ' \n')

work=$(mktemp -d /tmp/morvex-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$keydir"
printf 'GENERIC_KEY: %s\n' "$key" >"$keydir/.genericKey.dat"

commands=()
for size in 16 256; do
    text=$(head -c "$size" /dev/zero | tr '\0' 'p')
    printf %s "$text" >"$work/plain$size"
    openssl enc -aes-128-cbc -a -K "$keyhex" -iv "$iv" -in "$work/plain$size" -out "$work/enc$size"
    envelope=$("$morvex" -e "$text")
    commands+=(
        "$morvex -e '$text'"
        "openssl enc -aes-128-cbc -a -K $keyhex -iv $iv -in $work/plain$size"
        "$morvex -d '$envelope'"
        "openssl enc -d -aes-128-cbc -a -K $keyhex -iv $iv -in $work/enc$size"
    )
done
names=(-n "morvex -e, 16 B" -n "openssl enc, 16 B" -n "morvex -d, 16 B" -n "openssl enc -d, 16 B"
    -n "morvex -e, 256 B" -n "openssl enc, 256 B" -n "morvex -d, 256 B" -n "openssl enc -d, 256 B")

hyperfine -N --warmup 20 --runs "$runs" --style none \
    --export-json "$work/result.json" "${names[@]}" "${commands[@]}" >/dev/null

# Medians and minima resist the noise of a shared machine better than means; each morvex row
# is set against the openssl row that follows it.
python3 - "$work/result.json" <<'PY'
import json, statistics, sys
rows = json.load(open(sys.argv[1]))["results"]
print(f"{'command':<24}{'median ms':>10}{'min ms':>9}{'vs openssl':>12}")
for i, r in enumerate(rows):
    median = statistics.median(r["times"]) * 1000
    peer = rows[i + 1] if i % 2 == 0 else None
    ratio = f"{median / (statistics.median(peer['times']) * 1000):.2f}x" if peer else ""
    print(f"{r['command']:<24}{median:>10.2f}{r['min'] * 1000:>9.2f}{ratio:>12}")
PY
