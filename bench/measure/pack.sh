#!/bin/bash
# Packing: onefile-pack's time for one application (--pack-repeat times),
# the executable's size, the content it holds and its zstd frame alone (for
# zstd -d in limits.sh). With a packer that takes --threads, A is packed
# with one thread too, in the same run: the speed-up of every core.
#
#   measure/pack.sh APP FOLDER [PACKER OPTIONS...]
# Writes $WORK/out/APP.exe, APP.obj (the attached data), APP.zst (its
# frame) and $WORK/APP.manifest ("<size> <relative path>" of every file).
set -euo pipefail
. "$(dirname "$0")/../lib.sh"
app=$1 folder=$2
shift 2

pack_times() { # metric [extra options...]
    local metric=$1 i t0 t1
    shift
    for i in $(seq "$PACK_REPEAT"); do
        rm -f "$WORK/out/$app.exe" "$WORK/out/$app.obj"
        t0=$(now_ns)
        "$PACKER" --quiet "$@" -o "$WORK/out/$app.exe" --write-attached-data "$WORK/out/$app.obj" "$folder"
        t1=$(now_ns)
        add "$app" "$metric" $(((t1 - t0) / 1000))
    done
}

(cd "$folder" && find . -type f -printf '%s %P\n' | sort -k 2) > "$WORK/$app.manifest"
help=$("$PACKER" --help)
if [ "$app" = A ] && [[ $help == *--threads* ]]; then
    pack_times pack_one_thread --threads 1 "$@"
    one_thread=$WORK/out/$app.one-thread.exe
    mv "$WORK/out/$app.exe" "$one_thread"
    pack_times pack "$@"
    cmp -s "$one_thread" "$WORK/out/$app.exe" || log "$app: one thread and every core packed different bytes"
    rm -f "$one_thread"
else
    pack_times pack "$@"
fi
add "$app" content "$(awk '{ n += $1 } END { printf "%.0f", n }' "$WORK/$app.manifest")"
add "$app" files "$(wc -l < "$WORK/$app.manifest")"
add "$app" exe_bytes "$(stat -c %s "$WORK/out/$app.exe")"
"$PROGRAMS/bench_native" frame "$WORK/out/$app.obj" "$WORK/out/$app.zst" | value frame_bytes > "$SAMPLES/$app.frame_bytes"
