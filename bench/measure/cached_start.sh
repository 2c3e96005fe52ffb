#!/bin/bash
# The cached unpack mode: the application packed with
# --unpack-to "{TEMP}\onefile-bench-cache\NAME" (a template without per-run
# placeholders names one folder that later starts reuse). --repeat pairs
# of a first start (the folder removed before it; every file is flushed
# before the folder is published) and a second start (the folder complete,
# checked by names and sizes), each started and timed as fresh_start.sh
# does; then, when the packer has --verify, as many second starts of the
# same application packed with --verify content (every file's content
# hashed at every start).
#
#   measure/cached_start.sh NAME FOLDER MAIN KIND [PACKER OPTIONS...]
# KIND: bench (to run_code) or output (to the first output). Records
# cached_first, cached_second, cached_verified (whole runs) and
# cached_first_to, cached_second_to, cached_verified_to (to run_code or the
# first output).
set -euo pipefail
. "$(dirname "$0")/../lib.sh"
name=$1 folder=$2 main=$3 kind=$4
shift 4
exe=$WORK/out/$name-cached.exe temp=$RUN_TMP/cache report=$WORK/report.txt
template='{TEMP}\onefile-bench-cache\'"$name"
"$PACKER" --quiet --main "$main" --unpack-to "$template" "$@" -o "$exe" "$folder"
verified=""
if [[ $("$PACKER" --help) == *--verify* ]]; then
    verified=$WORK/out/$name-verified.exe
    "$PACKER" --quiet --main "$main" --unpack-to "$template" --verify content "$@" -o "$verified" "$folder"
fi
mkdir -p "$temp"

run_once() { # metric
    local line start output=""
    rm -f "$report"
    [ "$kind" = output ] && output=--output
    line=$(BENCH_REPORT=$(wpath "$report") launch --temp "$(wpath "$temp")" $output "$(wpath "$exe")")
    start=$(echo "$line" | value start)
    [ "$(echo "$line" | value status)" = 0 ] || log "$name: the cached start ended with status $(echo "$line" | value status)"
    [ -n "$2" ] || return 0
    add "$name" "$1" $(($(echo "$line" | value end) - start))
    if [ "$kind" = output ]; then
        add "$name" "$1_to" $(($(echo "$line" | value first_output) - start))
    else
        add "$name" "$1_to" $(($(value entered < "$report") - start))
    fi
}

for i in $(seq 0 "$REPEAT"); do
    rm -rf "${temp:?}"/*
    record=""
    [ "$i" = 0 ] || record=yes
    run_once cached_first "$record"
    # A bootstrap without the cached mode takes the template for a per-run
    # folder and removes it: nothing here would be a cached start.
    if [ ! -d "$temp/onefile-bench-cache" ]; then
        log "$name: the bootstrap keeps no cached folder: no cached mode to measure"
        break
    fi
    run_once cached_second "$record"
done
if [ -n "$verified" ]; then
    exe=$verified
    rm -rf "${temp:?}"/*
    run_once cached_first ""
    for i in $(seq 0 "$REPEAT"); do
        record=""
        [ "$i" = 0 ] || record=yes
        run_once cached_verified "$record"
    done
fi
rm -rf "$temp"
