#!/usr/bin/env bash
# morvex end to end: a demo key file, an envelope made and opened again, a legacy text, a
# secret given by pipe to the batch modes, and envelopes moved to a new key.
#   demo.sh <morvex-binary> <keydir>
# <morvex-binary> must be a build whose key directory (TARN_KEY_DIR) is <keydir>, a throwaway
# folder: the demo writes its key file there.
set -euo pipefail
if [ $# -ne 2 ]; then
    echo "usage: $0 <morvex-binary> <keydir>" >&2
    exit 2
fi
morvex=$1
keydir=$2

# 13 characters of lead-in, then the 16-character generic key.
printf 'GENERIC_KEY: %s\n' 'Demo-Key-0123456' >"$keydir/.genericKey.dat"
echo "key file:   $keydir/.genericKey.dat (generic key Demo-Key-0123456)"

secret='s3cret pass'
envelope=$("$morvex" -e "$secret")
echo "morvex -e '$secret'"
echo "  envelope: $envelope"
opened=$("$morvex" -d "$envelope")
echo "morvex -d <envelope>"
echo "  opened:   $opened"
[ "$opened" = "$secret" ] || { echo "demo: the envelope did not open to the secret" >&2; exit 1; }

# Made by an earlier tool under the tool legacy key; morvex only reads this format.
legacy='@vZfNQ_pHq0ZJGSOKPvTKgz'
clear=$("$morvex" -d "$legacy")
echo "morvex -d '$legacy'   (legacy text)"
echo "  opened:   $clear"
[ "$clear" = "legacy-secret" ] || { echo "demo: the legacy text did not open" >&2; exit 1; }

# A secret by pipe never stands in an argument list (printf is a shell builtin); a batch seals
# or opens every line of its input in one process.
piped=$(printf '%s\n' "$secret" | "$morvex" -E)
echo "printf '%s\\n' \"\$secret\" | morvex -E"
echo "  envelope: $piped"
batch=$(printf '%s\n' "$piped" "$envelope" "$legacy" | "$morvex" -D)
echo "morvex -D   (lines: that envelope, the first envelope, the legacy text)"
sed 's/^/  opened:   /' <<<"$batch"
[ "$batch" = "$(printf '%s\n' "$secret" "$secret" legacy-secret)" ] ||
    { echo "demo: the batch did not open every line" >&2; exit 1; }

# Moving envelopes to a new key: the old key stays in a private file (mktemp makes it 0600),
# the new one goes to the key file of a selector; the texts never leave morvex.
printf 'GENERIC_KEY: %s\n' 'Demo-Key-NEW-789' >"$keydir/.genericKey.dat.default"
old=$(mktemp)
trap 'rm -f "$old"' EXIT
cp "$keydir/.genericKey.dat" "$old"
rekeyed=$(printf '%s\n' "$piped" "$envelope" | "$morvex" -R "$old" Y)
echo "morvex -R <old key file> Y   (lines: both envelopes)"
sed 's/^/  envelope: /' <<<"$rekeyed"
reopened=$("$morvex" -D Y <<<"$rekeyed")
[ "$reopened" = "$(printf '%s\n' "$secret" "$secret")" ] ||
    { echo "demo: the re-keyed envelopes did not open under the new key" >&2; exit 1; }
echo "morvex -D Y   opens both to '$secret'"
