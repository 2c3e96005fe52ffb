#!/bin/bash
# Fresh starts of packed executables, started with CreateProcessW by
# bench_launch.exe with a TEMP of its own: one warm-up of each, then
# --repeat rounds that start each executable once in turn, so that two
# builds of one application are measured side by side under the same load.
#
#   measure/fresh_start.sh KIND NAME EXE [NAME EXE]...
# KIND says what the executables tell about themselves:
#   bench   the benchmark's library (bench_app.dll) notes when run_code was
#           entered: to_run_code, and the phases of the start
#           (phase_create: CreateProcessW until Wine has the parent;
#           phase_startup: until the unpack folder's name is formed;
#           unpack: until the child is created; phase_child: until
#           run_code; phase_after: until the parent has ended; cleanup:
#           from the child's end to the parent's, the removal of the
#           folder), and the child's peak working set when run_code was
#           entered (child_peak_ws)
#   output  the application writes to its standard output: to_output (its
#           first byte) and phase_after (from there to the parent's end)
#   plain   nothing: the whole run only
# Every kind: whole (CreateProcessW until the wait returned), peak_ws and
# peak_pf (the parent's peak working set and its largest private memory
# read, see windows/launch.cpp), leftovers.
set -euo pipefail
. "$(dirname "$0")/../lib.sh"
kind=$1
shift
temp=$RUN_TMP/boot report=$WORK/report.txt

# The microsecond within its second at which the parent formed the unpack
# folder's name (QALVEN_ONEFILE_TIME_US), placed after the parent's creation.
unpack_begin() { # parent_created time_us
    awk -v c="$1" -v t="$2" 'BEGIN { b = c - c % 1000000 + t; if (b < c) b += 1000000; printf "%.0f", b }'
}

run_once() { # name exe record(yes/no)
    local name=$1 exe=$2 line start end status output
    mkdir -p "$temp"
    rm -f "$report"
    if [ "$kind" = output ]; then
        line=$(launch --temp "$(wpath "$temp")" --output "$(wpath "$exe")")
    else
        line=$(BENCH_REPORT=$(wpath "$report") launch --temp "$(wpath "$temp")" "$(wpath "$exe")")
    fi
    start=$(echo "$line" | value start)
    end=$(echo "$line" | value end)
    status=$(echo "$line" | value status)
    [ "$status" = 0 ] || log "$name: $(basename "$exe") ended with status $status"
    check_empty "$temp" || add "$name" leftovers 1
    [ "$3" = yes ] || return 0
    add "$name" whole $((end - start))
    add "$name" peak_ws "$(echo "$line" | value peak_ws)"
    add "$name" peak_pf "$(echo "$line" | value peak_pf)"
    case $kind in
    output)
        output=$(echo "$line" | value first_output)
        if [ "${output:-0}" -gt 0 ]; then
            add "$name" to_output $((output - start))
            add "$name" phase_after $((end - output))
        fi
        ;;
    bench)
        local entered created parent_created time_us begin parent_exit child_exit
        entered=$(value entered < "$report")
        created=$(value created < "$report")
        parent_created=$(value parent_created < "$report")
        time_us=$(value time_us < "$report")
        begin=$(unpack_begin "$parent_created" "$((10#$time_us))")
        add "$name" to_run_code $((entered - start))
        add "$name" phase_create $((parent_created - start))
        add "$name" phase_startup $((begin - parent_created))
        add "$name" unpack $((created - begin))
        add "$name" phase_child $((entered - created))
        add "$name" phase_after $((end - entered))
        add "$name" child_peak_ws "$(value peak_ws < "$report")"
        parent_exit=$(echo "$line" | value parent_exit)
        child_exit=$(echo "$line" | value child_exit)
        if [ "${parent_exit:-0}" -gt 0 ] && [ "${child_exit:-0}" -gt 0 ]; then
            add "$name" cleanup $((parent_exit - child_exit))
        fi
        ;;
    esac
}

names=() exes=()
while [ $# -ge 2 ]; do
    names+=("$1") exes+=("$2")
    shift 2
done
for i in "${!names[@]}"; do run_once "${names[$i]}" "${exes[$i]}" no; done
for _ in $(seq "$REPEAT"); do
    for i in "${!names[@]}"; do run_once "${names[$i]}" "${exes[$i]}" yes; done
done
