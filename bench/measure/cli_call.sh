#!/bin/bash
# A packed command-line call beside the same program started directly:
# zstd's tool (the test programs' zstd.exe), asked for its version (-V) and
# to test a small frame (-t), plain and packed as a console executable,
# through --main zstd.exe and through a run_code library
# (windows/zstd_library.c), each per run and cached. Started and timed as
# fresh_start.sh starts a packed executable: without a console, and in a
# console of its own, as a command prompt runs them (bench_launch
# --console; Wine's console makes every such run slower, the plain one too);
# one warm-up (for a cached one also the first start, which fills its
# folder), then --repeat runs.
# Records zstd_<road>.version and zstd_<road>.test (whole runs), and
# console_version and console_test, road one of plain, main_run,
# main_cached, library_run, library_cached.
#
#   measure/cli_call.sh ZSTD_EXE
set -euo pipefail
. "$(dirname "$0")/../lib.sh"
zstd_exe=$1
temp=$RUN_TMP/cli apps=$WORK/apps/cli
rm -rf "$apps"
mkdir -p "$temp" "$apps/main" "$apps/library"
cp "$zstd_exe" "$apps/main/zstd.exe"
cp "$PROGRAMS/zstd_library.dll" "$apps/library/zstd_library.dll"
# 64 KiB of text, compressed natively: the frame to test.
for i in 1 2 3 4 5 6 7 8; do cat "$BENCH/../README.md"; done > "$apps/small"
truncate -s 65536 "$apps/small"
zstd -q -f -o "$apps/small.zst" "$apps/small"

declare -A EXE=([plain]=$apps/main/zstd.exe)
for road in main library; do
    main=zstd.exe
    [ "$road" = library ] && main=zstd_library.dll
    for mode in run cached; do
        options=()
        [ "$mode" = cached ] && options=(--unpack-to "{TEMP}\\onefile-bench-cli-$road")
        EXE[${road}_$mode]=$WORK/out/zstd-$road-$mode.exe
        "$PACKER" --quiet --console --main "$main" "${options[@]}" -o "${EXE[${road}_$mode]}" "$apps/$road"
    done
done

frame=$(wpath "$apps/small.zst")
for road in plain main_run main_cached library_run library_cached; do
    for call in version test console_version console_test; do
        arguments=(-V) console=()
        [ "${call#console_}" = test ] && arguments=(-t -q "$frame")
        [ "$call" != "${call#console_}" ] && console=(--console)
        for i in $(seq 0 "$REPEAT"); do
            line=$(launch --temp "$(wpath "$temp")" "${console[@]}" "$(wpath "${EXE[$road]}")" "${arguments[@]}")
            status=$(echo "$line" | value status)
            [ "$status" = 0 ] || log "zstd $road $call: ended with status $status"
            [ "$i" = 0 ] || add "zstd_$road" "$call" $(($(echo "$line" | value end) - $(echo "$line" | value start)))
        done
        # A per-run start leaves nothing; a cached one its folder alone.
        [ -z "$(find "$temp" -mindepth 1 -maxdepth 1 ! -name 'onefile-bench-cli-*' -print -quit)" ] ||
            log "zstd $road: left behind in $temp: $(ls -A "$temp" | head -n 3 | tr '\n' ' ')"
    done
done
rm -rf "$temp" "$apps"
