#!/usr/bin/env bash
# Suspends a process (SIGSTOP) and returns once every thread of it has stopped: the signal
# reaches each thread on its own, and a request sent in between could still be answered.
#   suspend.sh <pid>
set -euo pipefail
pid=$1
kill -STOP "$pid"
for task in /proc/"$pid"/task/*; do
    until grep -qE '^State:\s+[Tt]' "$task/status" 2>/dev/null || [ ! -e "$task" ]; do
        sleep 0.01
    done
done
