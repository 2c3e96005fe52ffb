#!/bin/bash
# Where one fresh start's CPU time goes (on the cores ON_CORES leaves it,
# see lib.sh): the run recorded system-wide with
# perf (cpu-clock, a sample every 250 us of CPU), summed per process of the
# run (parent, child, our wineserver, Wine's desktop process) and per kind
# of work (bench/profile_summary.awk). Also keeps perf's own report of the
# parent's and the wineserver's hottest symbols.
#
#   measure/profile.sh NAME EXE [KIND]     KIND: bench (default) or output
# Writes $WORK/profile/NAME.md (a markdown table), NAME.data, NAME.symbols.
set -euo pipefail
. "$(dirname "$0")/../lib.sh"
name=$1 exe=$2 kind=${3:-bench}
temp=$RUN_TMP/boot dir=$WORK/profile
mkdir -p "$temp" "$dir"
server=""
for pid in $(pgrep -x wineserver64 || pgrep -x wineserver || true); do
    tr '\0' '\n' < "/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" && server=$pid
done
output=""
[ "$kind" = output ] && output=--output
line=$(BENCH_REPORT=$(wpath "$WORK/report.txt") perf record -q -a -g -e cpu-clock -c 250000 -o "$dir/$name.data" -- \
    $ON_CORES wine "$PROGRAMS/bench_launch.exe" --temp "$(wpath "$temp")" $output "$(wpath "$exe")" 2>/dev/null |
    tr -d '\r' | grep '^start=')
check_empty "$temp" || true
perf script -i "$dir/$name.data" -F comm,pid,ip,sym,dso 2>/dev/null | awk -f "$BENCH/profile_summary.awk" > "$dir/$name.summary"
perf report -i "$dir/$name.data" --no-children --sort comm,dso,sym --stdio 2>/dev/null |
    grep -v '^#' | grep -v '^$' | grep -E "^ +[0-9.]+% +($(basename "$exe" | cut -c1-15)|wineserver)" | head -n 40 > "$dir/$name.symbols" || true
whole=$(($(echo "$line" | value end) - $(echo "$line" | value start)))
# Processes of this run: the bootstrap's parent (the first seen), its child
# (every later process of the same name: Wine starts a process through a
# short-lived helper of that name), Wine's desktop process if one was
# started for it, and our wineserver. The kernel keeps 15 characters of a
# process name.
awk -v app="$(basename "$exe" | cut -c1-15)" -v server="$server" -v whole="$whole" '
    $3 == app || $3 == "explorer.exe" || $1 == server {
        if ($3 == app) { if (!(($1) in role)) role[$1] = ++apps == 1 ? "parent" : "child" }
        else role[$1] = $1 == server ? "wineserver" : "explorer.exe"
        cpu[role[$1]] += $5; kind[role[$1] SUBSEP $4] += $5; kinds[$4] = 1
    }
    END {
        printf "Wall time of the run: %.3f s. CPU time in ms per process and kind of work (cpu-clock samples of 0.25 ms):\n\n", whole / 1e6
        n = split("parent child wineserver explorer.exe", roles, " ")
        printf "| kind |"; for (i = 1; i <= n; i++) printf " %s |", roles[i]; printf "\n|---|"
        for (i = 1; i <= n; i++) printf "---:|"; printf "\n"
        m = split("u:executable u:app-dlls u:anonymous-code u:msvcrt u:wine-dlls u:libc-loader u:wineserver u:other k:file-read k:file-write k:page-fault k:open-mkdir-stat k:delete k:wineserver-ipc k:mmap k:unmap-exit k:exec-fork k:scheduling k:other", order, " ")
        for (j = 1; j <= m; j++) {
            k = order[j]; if (!(k in kinds)) continue
            printf "| %s |", k
            for (i = 1; i <= n; i++) printf " %.0f |", kind[roles[i] SUBSEP k] * 0.25
            printf "\n"
        }
        printf "| **total** |"; for (i = 1; i <= n; i++) printf " **%.0f** |", cpu[roles[i]] * 0.25; printf "\n"
    }' <(sort -k 2n "$dir/$name.summary") > "$dir/$name.md"
