#!/bin/bash
# A whole run started from the Linux shell with `wine EXE`, as a user's
# terminal starts it: Wine's own start-up on the Unix side is counted (a
# warm wineserver is running). The way the bare start's 0.11 s and the Lua
# example's 0.31 s were first measured; fresh_start.sh starts with
# CreateProcessW from inside Wine instead. One warm-up, then --repeat runs:
# shell_whole.
#
#   measure/shell_start.sh NAME EXE
set -euo pipefail
. "$(dirname "$0")/../lib.sh"
name=$1 exe=$2
temp=$RUN_TMP/shell
mkdir -p "$temp"
for i in $(seq 0 "$REPEAT"); do
    t0=$(now_ns)
    TMP=$(wpath "$temp") TEMP=$(wpath "$temp") wine "$exe" > /dev/null
    t1=$(now_ns)
    check_empty "$temp" || add "$name" leftovers 1
    [ "$i" = 0 ] || add "$name" shell_whole $(((t1 - t0) / 1000))
done
rmdir "$temp"
