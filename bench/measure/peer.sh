#!/bin/bash
# The peer: the same application in a silent NSIS launcher (solid LZMA)
# that unpacks into $PLUGINSDIR (removed when it exits), runs it with
# ExecWait and passes its status on. NSIS runs programs, not libraries:
# bench_run_dll.exe loads the library and calls run_code, as the
# bootstrap's re-launched copy does. Packing --peer-pack-repeat times
# (peer_pack, peer_exe_bytes), then one warm-up and --repeat runs
# (peer_whole, peer_to_run_code, peer_run_code, peer_peak_ws, peer_peak_pf).
#
#   measure/peer.sh APP FOLDER MAIN_DLL
set -euo pipefail
. "$(dirname "$0")/../lib.sh"
app=$1 folder=$2 main=$3
script=$WORK/nsis/$app.nsi exe=$WORK/out/$app-nsis.exe
temp=$RUN_TMP/peer report=$WORK/report.txt host=$WORK/host.txt
mkdir -p "$WORK/nsis" "$temp"
cat > "$script" <<NSI
Unicode true
SetCompressor /SOLID lzma
SilentInstall silent
RequestExecutionLevel user
Name "onefile-bench-$app"
OutFile "$exe"
Section
  InitPluginsDir
  SetOutPath "\$PLUGINSDIR\\app"
  File "$PROGRAMS/bench_run_dll.exe"
  File /r "$folder/*"
  ExecWait '"\$PLUGINSDIR\\app\\bench_run_dll.exe" "\$PLUGINSDIR\\app\\$main"' \$0
  SetOutPath "\$TEMP"
  SetErrorLevel \$0
SectionEnd
NSI
for i in $(seq "$PEER_PACK_REPEAT"); do
    rm -f "$exe"
    t0=$(now_ns)
    makensis -V1 "$script" >/dev/null
    t1=$(now_ns)
    add "$app" peer_pack $(((t1 - t0) / 1000))
done
add "$app" peer_exe_bytes "$(stat -c %s "$exe")"

for i in $(seq 0 "$REPEAT"); do
    rm -f "$report" "$host"
    line=$(BENCH_REPORT=$(wpath "$report") BENCH_HOST_REPORT=$(wpath "$host") \
        launch --temp "$(wpath "$temp")" "$(wpath "$exe")")
    start=$(echo "$line" | value start)
    status=$(echo "$line" | value status)
    [ "$status" = 0 ] || log "$app-nsis.exe ended with status $status"
    check_empty "$temp" || add "$app" peer_leftovers 1
    [ "$i" = 0 ] && continue
    add "$app" peer_whole $(($(echo "$line" | value end) - start))
    add "$app" peer_to_run_code $(($(value entered < "$host") - start))
    add "$app" peer_run_code $(($(value returned < "$host") - $(value entered < "$host")))
    add "$app" peer_peak_ws "$(echo "$line" | value peak_ws)"
    add "$app" peer_peak_pf "$(echo "$line" | value peak_pf)"
done
