#!/bin/bash
# Instruction counts of the bootstrap's payload reader and entry walk
# (static_src/attached_data/entries.cpp), built natively against the same
# zstd sources without assembly, extracting the object once under callgrind: the loop's
# instructions, per content byte, and the shares of the decoder, of the
# copy out of the window, of payload_read itself and of the rest.
#
#   measure/callgrind.sh APP          (after measure/pack.sh APP)
# Writes $WORK/profile/APP.callgrind.md: one row of the report's table.
set -euo pipefail
. "$(dirname "$0")/../lib.sh"
app=$1 dir=$WORK/profile
mkdir -p "$dir"
valgrind --tool=callgrind --callgrind-out-file="$dir/$app.callgrind" \
    "$PROGRAMS/bench_native_noasm" extract "$WORK/out/$app.obj" "$RUN_TMP/callgrind" >/dev/null 2>&1
rm -rf "$RUN_TMP/callgrind"
callgrind_annotate --inclusive=yes "$dir/$app.callgrind" > "$dir/$app.inclusive" 2>/dev/null
callgrind_annotate --threshold=100 "$dir/$app.callgrind" > "$dir/$app.self" 2>/dev/null
awk -v app="$app" -v content="$(median "$app" content)" '
    function number(text) { gsub(/,/, "", text); return text + 0 }
    FILENAME ~ /inclusive$/ && /walk\(char const/ { walk = number($1) }
    FILENAME ~ /inclusive$/ && /read_whole\(char const/ { load = number($1) }
    FILENAME ~ /inclusive$/ && /:payload_read\(/ { read_inclusive = number($1) }
    FILENAME ~ /inclusive$/ && /:ZSTD_decompressStream / { zstd = number($1) }
    FILENAME ~ /self$/ && /:payload_read\(/ { read_self = number($1) }
    END {
        walk -= load    # reading the object file into memory comes before the loop
        copy = read_inclusive - zstd - read_self
        rest = walk - read_inclusive
        printf "| %s | %.2f | %.1f | %.1f%% | %.1f%% | %.2f%% | %.1f%% |\n", app, walk / 1e9, walk / content, 100 * zstd / walk, 100 * copy / walk, 100 * read_self / walk, 100 * rest / walk
    }' "$dir/$app.inclusive" "$dir/$app.self" > "$dir/$app.callgrind.md"
