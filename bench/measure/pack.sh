#!/bin/bash
# Packing: onefile-pack's time for one application (--pack-repeat times),
# the executable's size, the content it holds and its zstd frames alone
# (for zstd -d in limits.sh), as the packer cut them (zstd -l -v on them:
# a skippable frame with the index, then the data frames). With a packer
# that takes --threads, A is packed with one thread too, in the same run:
# the speed-up of every core. With a baseline packer ($BASE_PACKER), the
# application is packed once more by it, the same way: APP_base.
#
#   measure/pack.sh APP FOLDER [PACKER OPTIONS...]
# Writes $WORK/out/APP.exe, APP.obj (the attached data), APP.zst (its
# frames), APP.half0.zst and APP.half1.zst (its data frames dealt to two
# inputs, when it has a frame index) with the manifests of what each holds
# ($WORK/APP.half0.manifest, APP.half1.manifest), the same for APP_base
# but the halves, and $WORK/APP.manifest ("<size> <relative path>" of
# every file). Records exe_bytes, frame_bytes, frames (data frames),
# largest_window (of a data frame: what a decoder allocates) of both.
set -euo pipefail
. "$(dirname "$0")/../lib.sh"
app=$1 folder=$2
shift 2

pack_times() { # name packer repeat metric [extra options...]
    local name=$1 packer=$2 repeat=$3 metric=$4 i t0 t1
    shift 4
    for i in $(seq "$repeat"); do
        rm -f "$WORK/out/$name.exe" "$WORK/out/$name.obj"
        t0=$(now_ns)
        "$packer" --quiet "$@" -o "$WORK/out/$name.exe" --write-attached-data "$WORK/out/$name.obj" "$folder"
        t1=$(now_ns)
        add "$name" "$metric" $(((t1 - t0) / 1000))
    done
}

frames() { # name: its frames, what zstd says of them, and the halves
    local name=$1 out=$WORK/out/$1 line
    add "$name" exe_bytes "$(stat -c %s "$out.exe")"
    line=$("$PROGRAMS/bench_native" frame "$out.obj" "$out.zst")
    add "$name" frame_bytes "$(echo "$line" | value frame_bytes)"
    add "$name" frames "$(zstd -l -v "$out.zst" 2>&1 | sed -n 's/^# Zstandard Frames: *//p')"
    add "$name" largest_window "$("$PROGRAMS/bench_native" frames "$out.obj" | value largest_window)"
    if [ "$name" = "$app" ] && [ "$(median "$name" frames)" -gt 1 ]; then
        "$PROGRAMS/bench_native" halves "$out.obj" "$out.half0.zst" "$out.half1.zst" \
            "$WORK/$name.half0.manifest" "$WORK/$name.half1.manifest" > /dev/null
    fi
}

(cd "$folder" && find . -type f -printf '%s %P\n' | sort -k 2) > "$WORK/$app.manifest"
rm -f "$WORK/out/$app".half?.zst "$WORK/$app".half?.manifest
if [ "$app" = A ] && [[ $("$PACKER" --help) == *--threads* ]]; then
    pack_times "$app" "$PACKER" "$PACK_REPEAT" pack_one_thread --threads 1 "$@"
    one_thread=$WORK/out/$app.one-thread.exe
    mv "$WORK/out/$app.exe" "$one_thread"
    pack_times "$app" "$PACKER" "$PACK_REPEAT" pack "$@"
    cmp -s "$one_thread" "$WORK/out/$app.exe" || log "$app: one thread and every core packed different bytes"
    rm -f "$one_thread"
else
    pack_times "$app" "$PACKER" "$PACK_REPEAT" pack "$@"
fi
add "$app" content "$(awk '{ n += $1 } END { printf "%.0f", n }' "$WORK/$app.manifest")"
add "$app" files "$(wc -l < "$WORK/$app.manifest")"
frames "$app"
if [ -n "${BASE_PACKER:-}" ]; then
    pack_times "${app}_base" "$BASE_PACKER" 1 pack "$@"
    frames "${app}_base"
fi
