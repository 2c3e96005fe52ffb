#!/bin/sh
# Installs what the benchmark needs beyond the project's own dependencies
# (run as root; idempotent, a second run only checks):
#   linux-perf, valgrind   the profile and the instruction counts
# and with --peer, for the NSIS launcher:
#   nsis        the peer self-extracting launcher (makensis)
#   wine32      NSIS stubs are 32-bit programs: Wine needs its i386 part,
#               installed only where the kernel runs 32-bit programs (with
#               it, but without them, `wine` starts the 32-bit loader and
#               every program fails with "Exec format error"). Installing
#               it spoils every Wine prefix made before it, other
#               worktrees' too, until scripts/wine-session.sh makes them
#               again: never without the peer.
#
#   bench/setup.sh [--peer]
set -eu

peer=no
[ "${1:-}" = --peer ] && peer=yes

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

missing=""
for p in zstd libzstd-dev valgrind linux-perf; do
    installed "$p" || missing="$missing $p"
done
if [ "$peer" = yes ]; then
    installed nsis || missing="$missing nsis"
    if ! installed wine32:i386 && "$(dirname "$0")/runs_32_bit.sh"; then
        if ! dpkg --print-foreign-architectures | grep -qx i386; then
            dpkg --add-architecture i386
        fi
        missing="$missing wine32:i386"
    fi
fi
if [ -n "$missing" ]; then
    echo "bench/setup: installing$missing"
    # A mirror in the middle of a sync fails one index (the i386 one
    # first); what is needed may well be in the others.
    apt-get update -qq || echo "bench/setup: apt-get update reported errors; going on with the lists it has" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi
