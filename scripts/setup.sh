#!/usr/bin/env bash
# Installs every Debian 12 package the kit needs to build, test, benchmark and run its demo.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
    build-essential cmake pkg-config clang libclang-rt-dev clang-format
    libssl-dev openssl
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    postgresql-15 postgresql-server-dev-15 postgresql-contrib postgresql-15-pgaudit libpq-dev
    libldap-dev slapd ldap-utils
    hyperfine linux-perf python3 strace xxd procps iproute2 groff-base
    dpkg-dev file lintian man-db patchelf git
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]} > 0)); then
    if [ "$(id -u)" -ne 0 ]; then
        echo "setup: missing packages (${missing[*]}); run this script as root" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    # Other apt or dpkg runs on the machine may hold the lock for a while.
    apt-get -o DPkg::Lock::Timeout=600 update -qq
    apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Debian starts the system's own servers on install; the kit never uses them.
if command -v systemctl >/dev/null 2>&1 && [ -d /run/systemd/system ]; then
    systemctl disable --now slapd >/dev/null 2>&1 || true
fi
echo "setup: all packages present"
