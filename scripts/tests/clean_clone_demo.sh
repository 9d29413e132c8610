#!/usr/bin/env bash
# A fresh clone in a private (0700) folder passes the demo, on a machine where no libtarncrypt
# is installed anywhere: the servers read everything from their own sandboxes, and nothing can
# stand in for the build's library. The clone holds the committed tree (HEAD).
#   clean_clone_demo.sh <checkout>
set -euo pipefail
source=$1

installed=$( (ldconfig -p | awk '/libtarncrypt/ { print $NF }'
              find /usr/local /usr/lib /lib -name 'libtarncrypt.so*' 2>/dev/null) | sort -u)
if [ -n "$installed" ]; then
    echo "clean_clone_demo: a libtarncrypt is installed (${installed//$'\n'/ }): remove it, or the" \
         "demo could pass on that copy" >&2
    exit 1
fi

private=$(mktemp -d /tmp/tarncrypt-clone.XXXXXX)
trap 'rm -rf "$private"' EXIT
chmod 700 "$private"
git clone -q "$source" "$private/checkout"
"$private/checkout/scripts/demo.sh" >"$private/demo.log" 2>&1 || { cat "$private/demo.log"; exit 1; }
tail -n 1 "$private/demo.log"
# Its build, bound to a key folder that is gone now, must be gone too.
demo_dir=$(sed -n 's/.*key directory of this build: \(.*\)\/keys).*/\1/p' "$private/demo.log")
leftovers=$(find "$private/checkout" -name CMakeCache.txt)
[ -n "$demo_dir" ] && [ ! -e "$demo_dir" ] && [ -z "$leftovers" ] ||
    { echo "clean_clone_demo: the demo left ${leftovers:-$demo_dir} behind" >&2; exit 1; }
