#!/bin/bash
# The limits of unpacking one application, beside which the bootstrap's
# unpack is judged (--repeat times each):
#   zstd_decode        the zstd tool decoding the executable's frames to
#                      /dev/null, one after another (one thread)
#   zstd_decode_base   the same for the baseline's executable, when there
#                      is one: today's frame
#   wine_write         the same files written under Wine with the same
#                      32768-byte writes (bench_limits.exe write), and
#   wine_delete_plain  their removal by a plain walk (FindFirstFileW,
#                      DeleteFileW, RemoveDirectoryW)
#   native_write, native_delete   the same natively (write(), unlink())
#   wine_decode        the bootstrap's own payload reader under Wine,
#                      decoding the object in memory and writing nothing
#   native_reader_decode(_asm)    the reader built natively, against the
#                      same zstd sources without assembly (as the
#                      bootstrap's) and against Debian's libzstd
#   native_extract     the reader and extraction loop writing natively
#   wine_extract       the same under Wine, writing as the plain writer:
#                      the bootstrap's extraction without the rest of it
#   two_threads        the limit of two threads: the data frames dealt
#                      alternately to two inputs (measure/pack.sh), each
#                      decoded by a zstd tool and then written by a plain
#                      Wine writer (the files and pieces of files its frames
#                      hold), both pipelines side by side; the wall time
#                      from the start of both decoders to the end of the
#                      later writer. The writers are started and have read
#                      their manifests before the clock starts, as a
#                      thread of the bootstrap needs no process start.
# On one core (the session pinned, see lib.sh's pin_session): zstd_decode,
# zstd_decode_base and wine_write again, as *_one_core. And once, the
# shell's SHFileOperationW removing the same tree.
#
#   measure/limits.sh APP        (after measure/pack.sh APP)
set -euo pipefail
. "$(dirname "$0")/../lib.sh"
app=$1
manifest=$WORK/$app.manifest object=$WORK/out/$app.obj
base_frames=$WORK/out/${app}_base.zst

zstd_time() { # metric input
    local t0 t1
    t0=$(now_ns)
    $ON_CORES zstd -q -d --long=27 -c "$2" > /dev/null
    t1=$(now_ns)
    add "$app" "$1" $(((t1 - t0) / 1000))
}

wine_write() { # suffix
    local line
    line=$(wrun "$PROGRAMS/bench_limits.exe" write "$(wpath "$manifest")" "$(wpath "$RUN_TMP/wine")" plain)
    add "$app" "wine_write$1" "$(echo "$line" | value write_s | seconds_to_us)"
    add "$app" "wine_delete_plain$1" "$(echo "$line" | value delete_s | seconds_to_us)"
}

# Both pipelines of the two-thread limit; each writer waits for a line on
# its standard input (a FIFO), which its decoder's pipeline sends when done.
two_threads() {
    local dir=$RUN_TMP/two-threads half t0 end=0 e tries writers=()
    rm -rf "$dir"
    mkdir -p "$dir/files"
    for half in 0 1; do
        mkfifo "$dir/go.$half"
    done
    exec {go0}<>"$dir/go.0" {go1}<>"$dir/go.1"
    # Straight into the files, unbuffered: "ready" must show at once.
    for half in 0 1; do
        $ON_CORES wine "$PROGRAMS/bench_limits.exe" write "$(wpath "$WORK/$app.half$half.manifest")" \
            "$(wpath "$dir/files")" signal < "$dir/go.$half" > "$dir/out.$half" &
        writers+=($!)
    done
    for half in 0 1; do
        for tries in $(seq 3000) fail; do
            grep -q '^ready' "$dir/out.$half" 2>/dev/null && break
            sleep 0.01
        done
        if [ "$tries" = fail ]; then
            log "$app: the writer of half $half did not start"
            kill "${writers[@]}" 2>/dev/null || true
            wait
            exec {go0}>&- {go1}>&-
            rm -rf "$dir"
            return 0
        fi
    done
    t0=$(now_ns)
    { zstd -q -d -c "$WORK/out/$app.half0.zst" > /dev/null; echo go >&"$go0"; } &
    { zstd -q -d -c "$WORK/out/$app.half1.zst" > /dev/null; echo go >&"$go1"; } &
    wait
    exec {go0}>&- {go1}>&-
    for half in 0 1; do
        e=$(tr -d '\r' < "$dir/out.$half" | value end_us)
        [ -n "$e" ] || { log "$app: the writer of half $half did not finish"; rm -rf "$dir"; return 0; }
        [ "$e" -gt "$end" ] && end=$e
    done
    add "$app" two_threads $((end - t0 / 1000))
    rm -rf "$dir"
}

for i in $(seq "$REPEAT"); do
    zstd_time zstd_decode "$WORK/out/$app.zst"
    [ -f "$base_frames" ] && zstd_time zstd_decode_base "$base_frames"
    line=$("$PROGRAMS/bench_native" write "$manifest" "$RUN_TMP/native")
    add "$app" native_write "$(echo "$line" | value write_s | seconds_to_us)"
    add "$app" native_delete "$(echo "$line" | value delete_s | seconds_to_us)"
    wine_write ""
    [ -f "$WORK/out/$app.half0.zst" ] && two_threads
    pin_session one
    zstd_time zstd_decode_one_core "$WORK/out/$app.zst"
    [ -f "$base_frames" ] && zstd_time zstd_decode_base_one_core "$base_frames"
    wine_write _one_core
    pin_session every
    line=$(wrun "$PROGRAMS/bench_limits.exe" decode "$(wpath "$object")")
    add "$app" wine_decode "$(echo "$line" | value decode_s | seconds_to_us)"
    line=$("$PROGRAMS/bench_native_noasm" decode "$object")
    add "$app" native_reader_decode "$(echo "$line" | value decode_s | seconds_to_us)"
    line=$("$PROGRAMS/bench_native" decode "$object")
    add "$app" native_reader_decode_asm "$(echo "$line" | value decode_s | seconds_to_us)"
    line=$("$PROGRAMS/bench_native_noasm" extract "$object" "$RUN_TMP/extract")
    add "$app" native_extract "$(echo "$line" | value extract_s | seconds_to_us)"
    line=$(wrun "$PROGRAMS/bench_limits.exe" extract "$(wpath "$object")" "$(wpath "$RUN_TMP/extract")")
    add "$app" wine_extract "$(echo "$line" | value extract_s | seconds_to_us)"
done
line=$(wrun "$PROGRAMS/bench_limits.exe" write "$(wpath "$manifest")" "$(wpath "$RUN_TMP/wine")" shell)
add "$app" wine_delete_shell "$(echo "$line" | value delete_s | seconds_to_us)"
for folder in native wine extract; do
    [ ! -e "$RUN_TMP/$folder" ] || { log "left behind: $RUN_TMP/$folder"; rm -rf "${RUN_TMP:?}/$folder"; }
done
