#!/bin/bash
# Fresh starts of a packed executable, started with CreateProcessW by
# bench_launch.exe with a TEMP of its own: one warm-up, then --repeat runs.
#
#   measure/fresh_start.sh NAME EXE KIND
# KIND says what the executable tells about itself:
#   bench   the benchmark's library (bench_app.dll) notes when run_code was
#           entered: to_run_code, and the phases of the start
#           (phase_create: CreateProcessW until Wine has the parent;
#           phase_startup: until the unpack folder's name is formed;
#           unpack: until the child is created; phase_child: until
#           run_code; phase_after: until the parent has ended, with the
#           clean-up)
#   output  the application writes to its standard output: to_output (its
#           first byte) and phase_after (from there to the parent's end)
#   plain   nothing: the whole run only
# Every kind: whole (CreateProcessW until the wait returned), peak_ws and
# peak_pf (the parent's peak working set and private memory), leftovers.
set -euo pipefail
. "$(dirname "$0")/../lib.sh"
name=$1 exe=$2 kind=$3
temp=$RUN_TMP/boot report=$WORK/report.txt

# The microsecond within its second at which the parent formed the unpack
# folder's name (QALVEN_ONEFILE_TIME_US), placed after the parent's creation.
unpack_begin() { # parent_created time_us
    awk -v c="$1" -v t="$2" 'BEGIN { b = c - c % 1000000 + t; if (b < c) b += 1000000; printf "%.0f", b }'
}

run_once() { # record(yes/no)
    local line start end status output
    mkdir -p "$temp"
    rm -f "$report"
    if [ "$kind" = output ]; then
        line=$(wrun "$PROGRAMS/bench_launch.exe" --temp "$(wpath "$temp")" --output "$(wpath "$exe")" | grep '^start=')
    else
        line=$(BENCH_REPORT=$(wpath "$report") wrun "$PROGRAMS/bench_launch.exe" --temp "$(wpath "$temp")" \
            "$(wpath "$exe")" | grep '^start=')
    fi
    start=$(echo "$line" | value start)
    end=$(echo "$line" | value end)
    status=$(echo "$line" | value status)
    [ "$status" = 0 ] || log "$name: $(basename "$exe") ended with status $status"
    check_empty "$temp" || add "$name" leftovers 1
    [ "$1" = yes ] || return 0
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
        local entered created parent_created time_us begin
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
        ;;
    esac
}

run_once no
for i in $(seq "$REPEAT"); do run_once yes; done
