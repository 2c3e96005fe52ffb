#!/bin/bash
# Re-launched copies (--repeat of them): a second start of the executable
# while a fresh start of it lives, which runs the application from the
# fresh start's folder instead of unpacking.
#
#   measure/relaunch.sh NAME EXE KIND
#   bench   the application itself starts the copies (BENCH_RELAUNCH) and
#           times each from CreateProcessW to the copy's run_code
#   output  an application that does not start itself again: bench_launch
#           holds a fresh start alive (its output blocked) and starts the
#           copies from outside with the parent's variables, each timed
#           until its first output
# Records relaunch (microseconds) and the copies' peak working set
# (relaunch_peak_ws): for bench, each copy's own when its run_code was
# entered; for output, what bench_launch read while it ran.
set -euo pipefail
. "$(dirname "$0")/../lib.sh"
name=$1 exe=$2 kind=$3
temp=$RUN_TMP/boot report=$WORK/report.txt copies=$WORK/relaunch-output.txt
mkdir -p "$temp"
if [ "$kind" = output ]; then
    line=$(BENCH_OUTPUT_COPY=$(wpath "$copies") wrun "$PROGRAMS/bench_launch.exe" \
        --temp "$(wpath "$temp")" --output --relaunch "$REPEAT" "$(wpath "$exe")" | grep 'relaunch_failures' || true)
    if [ "$(echo "$line" | value relaunch_failures)" != 0 ]; then
        log "$name: the copies could not be started: no re-launched copies"
        rm -f "$copies"
        check_empty "$temp" || true
        exit 0
    fi
    # Every copy must have run from the parent's folder.
    [ "$(grep -c '^Unpacked to' "$copies")" = "$REPEAT" ] &&
        [ "$(grep '^Unpacked to' "$copies" | sort -u | wc -l)" = 1 ] ||
        log "$name: the copies did not all run as re-launched copies"
    rm -f "$copies"
    for i in $(seq 0 $((REPEAT - 1))); do
        add "$name" relaunch $(($(echo "$line" | value "relaunch_output.$i") - $(echo "$line" | value "relaunch_start.$i")))
        add "$name" relaunch_peak_ws "$(echo "$line" | value "relaunch_peak_ws.$i")"
    done
else
    rm -f "$report"
    BENCH_RELAUNCH=$REPEAT BENCH_REPORT=$(wpath "$report") $ON_CORES wine "$PROGRAMS/bench_launch.exe" \
        --temp "$(wpath "$temp")" "$(wpath "$exe")" > /dev/null
    for metric in relaunch relaunch_peak_ws; do
        grep "^$metric\." "$report" | sed 's/.*=//' >> "$SAMPLES/$name.$metric"
    done
fi
check_empty "$temp" || true
