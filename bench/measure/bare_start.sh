#!/bin/bash
# The reference of every start figure: a bare hello-world executable that
# returns 0 at once (bench/windows/hello.cpp, GUI; hello_console.cpp,
# console; hello_imports.cpp, GUI linked against the bootstrap's system
# libraries), started and timed exactly as fresh_start.sh starts a packed
# one. One warm-up, then 3 x --repeat runs (they are short, and every
# ratio divides by them): whole.
#
#   measure/bare_start.sh NAME EXE
set -euo pipefail
. "$(dirname "$0")/../lib.sh"
name=$1 exe=$2
temp=$RUN_TMP/bare
mkdir -p "$temp"
for i in $(seq 0 $((3 * REPEAT))); do
    line=$(launch --temp "$(wpath "$temp")" "$(wpath "$exe")")
    [ "$i" = 0 ] && continue
    add "$name" whole $(($(echo "$line" | value end) - $(echo "$line" | value start)))
done
rmdir "$temp"
