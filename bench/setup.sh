#!/bin/sh
# Installs what the benchmark needs beyond the project's own dependencies
# (run as root; idempotent, a second run only checks):
#   nsis        the peer self-extracting launcher (makensis)
#   wine32      NSIS stubs are 32-bit programs: Wine needs its i386 part,
#               installed only where the kernel runs 32-bit programs (with
#               it, but without them, `wine` starts the 32-bit loader and
#               every program fails with "Exec format error")
#   linux-perf, valgrind   the profile and the instruction counts
set -eu

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

missing=""
for p in nsis zstd libzstd-dev valgrind linux-perf; do
    installed "$p" || missing="$missing $p"
done
if ! installed wine32:i386 && "$(dirname "$0")/runs_32_bit.sh"; then
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    missing="$missing wine32:i386"
fi
if [ -n "$missing" ]; then
    echo "bench/setup: installing$missing"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi
