#!/bin/bash
# The limits of unpacking one application, beside which the bootstrap's
# unpack is judged (--repeat times each):
#   zstd_decode        the zstd tool decoding the same frame to /dev/null
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
# and once, the shell's SHFileOperationW removing the same tree.
#
#   measure/limits.sh APP        (after measure/pack.sh APP)
set -euo pipefail
. "$(dirname "$0")/../lib.sh"
app=$1
manifest=$WORK/$app.manifest object=$WORK/out/$app.obj

for i in $(seq "$REPEAT"); do
    t0=$(now_ns)
    zstd -q -d --long=27 -c "$WORK/out/$app.zst" > /dev/null
    t1=$(now_ns)
    add "$app" zstd_decode $(((t1 - t0) / 1000))
    line=$("$PROGRAMS/bench_native" write "$manifest" "$RUN_TMP/native")
    add "$app" native_write "$(echo "$line" | value write_s | seconds_to_us)"
    add "$app" native_delete "$(echo "$line" | value delete_s | seconds_to_us)"
    line=$(wrun "$PROGRAMS/bench_limits.exe" write "$(wpath "$manifest")" "$(wpath "$RUN_TMP/wine")" plain)
    add "$app" wine_write "$(echo "$line" | value write_s | seconds_to_us)"
    add "$app" wine_delete_plain "$(echo "$line" | value delete_s | seconds_to_us)"
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
