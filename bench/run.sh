#!/bin/bash
# The start-up benchmark of the one-file bootstrap under Wine.
#
#   bench/run.sh [--repeat N] [--pack-repeat N] [--peer-pack-repeat N]
#                [--apps "A B C"] [--seed N] [--temp-dir DIR]
#                [--no-peer] [--no-profile] [--no-experiments] [--keep]
#
# Three applications are packed with onefile-pack (its default level) and,
# as the peer, into an NSIS self-extracting launcher (makensis, solid LZMA):
#   A  one 256 MiB file of mixed compressibility (random, text-like, zeros)
#   B  5,000 small files, 64 MiB in all, in nested folders
#   C  the example Lua application (examples/, lua-app.exe), when it is built
# A and B are generated from the seed; their first file is the benchmark's
# application library (bench/windows/bench_app.cpp), whose run_code notes
# when it was entered and returns 0.
#
# For each application: pack time and size; a fresh start's time until
# run_code, the whole run with the clean-up, a re-launched copy's start, the
# parent's peak memory; and beside them, in the same run, the limits: zstd's
# own decoder, plain programs writing the same files with the same
# 32768-byte writes natively and under Wine. Every figure is the median of
# --repeat runs (default 5; pack times of --pack-repeat, default 3, and
# makensis of --peer-pack-repeat, default 1: it takes minutes).
#
# --no-profile skips the perf profile and the callgrind counts of A and B;
# --no-experiments the what-if runs (A linked with 4096-byte file alignment,
# C without its splash).
#
# Unpacking goes to a fresh folder below --temp-dir, by default on tmpfs
# (/dev/shm): this machine's ext4 has no journal, and without one every new
# inode passes over the inodes deleted in the last minutes (ext4's
# recently_deleted() in perf). Writing B's 5,000 files natively took 1.7 s,
# then 5 s, then 8 s in successive runs there, against 0.1 s on tmpfs: the
# figures would measure the file system's history instead.
#
# Prints a markdown report and writes it to bench/results/latest.md. Needs
# root for its set-up (bench/setup.sh installs nsis, wine32, perf, valgrind).
# Builds in $BUILD_DIR (default build-bench) with its own Wine prefix.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BENCH=$ROOT/bench
REPEAT=5
PACK_REPEAT=3
PEER_PACK_REPEAT=1
APPS="A B C"
SEED=1
TEMP_PARENT=/dev/shm
PEER=yes
PROFILE=yes
EXPERIMENTS=yes
KEEP=no

usage() { sed -n '2,38p' "$0" | sed 's/^# \{0,1\}//'; }
while [ $# -gt 0 ]; do
    case $1 in
    --repeat) REPEAT=$2; shift 2 ;;
    --pack-repeat) PACK_REPEAT=$2; shift 2 ;;
    --peer-pack-repeat) PEER_PACK_REPEAT=$2; shift 2 ;;
    --apps) APPS=$2; shift 2 ;;
    --seed) SEED=$2; shift 2 ;;
    --temp-dir) TEMP_PARENT=$2; shift 2 ;;
    --no-peer) PEER=no; shift ;;
    --no-profile) PROFILE=no; shift ;;
    --no-experiments) EXPERIMENTS=no; shift ;;
    --keep) KEEP=yes; shift ;;
    -h | --help) usage; exit 0 ;;
    *) echo "bench: unknown argument $1" >&2; usage >&2; exit 2 ;;
    esac
done

export BUILD_DIR=${BUILD_DIR:-$ROOT/build-bench}
WORK=$BUILD_DIR/bench-work          # generated applications, executables
PROGRAMS=$BUILD_DIR/bench           # the benchmark's own programs
SAMPLES=$WORK/samples               # one file per figure, one value a line
RESULTS=$BENCH/results
PACKER=$BUILD_DIR/tools/onefile-pack/onefile-pack
RUN_TMP=$TEMP_PARENT/onefile-bench-$$
BENCH_START=$(date +%s)

log() { echo "bench: $*" >&2; }

# --- set-up and build -------------------------------------------------------
"$BENCH/setup.sh"
if ! "$ROOT/scripts/build.sh" > "$BUILD_DIR.build.log" 2>&1; then
    # The example may be half-way through a colleague's change: go on
    # without it as long as the bootstrap and the packer are there.
    log "scripts/build.sh failed (see $BUILD_DIR.build.log); going on with what was built"
fi
[ -x "$PACKER" ] || { log "no packer at $PACKER"; exit 1; }
"$BENCH/build.sh"

rm -rf "$SAMPLES"
mkdir -p "$WORK/apps" "$WORK/out" "$WORK/nsis" "$SAMPLES" "$RUN_TMP" "$RESULTS"

. "$ROOT/scripts/wine-session.sh"
start_wine_session
finish() {
    rm -rf "$RUN_TMP"
    if [ "$KEEP" = no ]; then
        rm -rf "$WORK/apps" "$WORK/out" "$WORK/nsis" "$WORK/profile"
    fi
    stop_wine_session
}
trap finish EXIT INT TERM
# NSIS stubs are 32-bit: a prefix made before wine32 was installed lacks them.
if [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
    wineboot -u </dev/null >/dev/null 2>&1
    wineserver -w
    wineserver -p
    wine wineboot </dev/null >/dev/null 2>&1
fi

# --- helpers ----------------------------------------------------------------
wpath() { printf 'Z:%s' "${1//\//\\}"; }              # a Unix path as Wine sees it
wrun() { wine "$@" | tr -d '\r'; }                    # a Windows program's output, Unix line ends
now_ns() { date +%s%N; }
value() { grep -o "\(^\| \)$1=[^ ]*" | head -n 1 | sed 's/.*=//'; }   # key=value from stdin
add() { echo "$3" >> "$SAMPLES/$1.$2"; }              # app metric value
median() { # app metric: the median of the samples, or nothing
    [ -s "$SAMPLES/$1.$2" ] || return 0
    sort -g "$SAMPLES/$1.$2" | awk '{v[NR] = $1} END {
        if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
samples() { [ -s "$SAMPLES/$1.$2" ] && tr '\n' ' ' < "$SAMPLES/$1.$2" | sed 's/ $//' || true; }
count() { [ -s "$SAMPLES/$1.$2" ] && wc -l < "$SAMPLES/$1.$2" || echo 0; }
# Formatting: microseconds as seconds or milliseconds, bytes as MiB.
s() { [ -n "${1:-}" ] && awk -v v="$1" 'BEGIN { printf (v >= 10e6 ? "%.1f" : v >= 1e6 ? "%.2f" : "%.3f"), v / 1e6 }' || echo "n/a"; }
ms() { [ -n "${1:-}" ] && awk -v v="$1" 'BEGIN { printf (v >= 100e3 ? "%.0f" : "%.1f"), v / 1e3 }' || echo "n/a"; }
mib() { [ -n "${1:-}" ] && awk -v v="$1" 'BEGIN { printf "%.1f", v / 1048576 }' || echo "n/a"; }
ratio() { [ -n "${1:-}" ] && [ -n "${2:-}" ] && awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }' || echo "n/a"; }
# The tree below a temporary folder must be gone after a run.
check_empty() {
    if [ -n "$(ls -A "$1")" ]; then
        log "left behind in $1: $(ls -A "$1" | head -n 3 | tr '\n' ' ')"
        rm -rf "${1:?}"/*
        return 1
    fi
}

# --- the machine ------------------------------------------------------------
CPU=$(grep -m 1 'model name' /proc/cpuinfo | sed 's/.*: //')
CORES=$(nproc)
RAM=$(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)
KERNEL=$(uname -r)
WINE_VERSION=$(wine --version 2>/dev/null)
NSIS_VERSION=$(makensis -VERSION 2>/dev/null || echo none)
ZSTD_VERSION=$(zstd -V | sed 's/.*v\([0-9.]*\).*/\1/')
DATE=$(date -u '+%Y-%m-%d %H:%M UTC')
LEVEL=$("$PACKER" --help | sed -n 's/.*default \([0-9][0-9]*\).*/\1/p' | head -n 1)
TEMP_FS=$(df -T "$RUN_TMP" | awk 'NR == 2 { print $2 }')
log "$CPU, $CORES cores, $RAM, Linux $KERNEL, $WINE_VERSION; unpacking to $TEMP_FS"

# --- the applications -------------------------------------------------------
# folder, main library and options of each application's packing
declare -A FOLDER MAIN_DLL SPLASH_OPT
generate() { # app kind
    local folder=$WORK/apps/$1 stamp
    stamp="$2 $SEED $(md5sum < "$BENCH/native/make_apps.cpp" | cut -c1-12)"
    if [ ! -d "$folder" ] || [ "$(cat "$folder.stamp" 2>/dev/null)" != "$stamp" ]; then
        log "generating application $1 ($2, seed $SEED)"
        rm -rf "$folder"
        "$PROGRAMS/bench_make_apps" "$2" "$folder" "$SEED"
        echo "$stamp" > "$folder.stamp"
    fi
    cp "$PROGRAMS/bench_app.dll" "$folder/bench_app.dll"
    FOLDER[$1]=$folder
    MAIN_DLL[$1]=bench_app.dll
    SPLASH_OPT[$1]=""
}
LUA_FOLDER=$BUILD_DIR/windows/examples/lua_app_folder
ACTIVE=""
for app in $APPS; do
    case $app in
    A) generate A big ;;
    B) generate B many ;;
    C)
        if [ ! -f "$LUA_FOLDER/lua_host.dll" ] || [ ! -f "$BUILD_DIR/windows/lua-app.exe" ]; then
            log "the Lua application is not built ($LUA_FOLDER): skipping C"
            continue
        fi
        FOLDER[C]=$LUA_FOLDER
        MAIN_DLL[C]=lua_host.dll
        SPLASH_OPT[C]="--splash $ROOT/examples/splash.png"
        ;;
    *) log "unknown application $app"; exit 2 ;;
    esac
    ACTIVE="$ACTIVE $app"
    # "<size> <relative path>" for every file: what the plain writers write.
    (cd "${FOLDER[$app]}" && find . -type f -printf '%s %P\n' | sort -k 2) > "$WORK/$app.manifest"
done

# --- packing ----------------------------------------------------------------
pack_bootstrap() { # app
    local app=$1 i t0 t1
    for i in $(seq "$PACK_REPEAT"); do
        rm -f "$WORK/out/$app.exe" "$WORK/out/$app.obj"
        t0=$(now_ns)
        # shellcheck disable=SC2086
        "$PACKER" --quiet --main "${MAIN_DLL[$app]}" ${SPLASH_OPT[$app]} -o "$WORK/out/$app.exe" \
            --write-attached-data "$WORK/out/$app.obj" "${FOLDER[$app]}"
        t1=$(now_ns)
        add "$app" pack $(((t1 - t0) / 1000))
    done
    if [ "$app" = C ]; then
        if cmp -s "$WORK/out/C.exe" "$BUILD_DIR/windows/lua-app.exe"; then
            log "C.exe is byte for byte the build's lua-app.exe"
        else
            log "C.exe differs from the build's lua-app.exe"
        fi
    fi
    add "$app" content "$(awk '{ n += $1 } END { printf "%.0f", n }' "$WORK/$app.manifest")"
    add "$app" files "$(wc -l < "$WORK/$app.manifest")"
    add "$app" exe_bytes "$(stat -c %s "$WORK/out/$app.exe")"
    "$PROGRAMS/bench_native" frame "$WORK/out/$app.obj" "$WORK/out/$app.zst" | value frame_bytes > "$SAMPLES/$app.frame_bytes"
}

# The peer: a silent NSIS launcher that unpacks into $PLUGINSDIR (removed
# when it exits), runs the application with ExecWait and passes its status on.
# NSIS runs programs, not libraries: bench_run_dll.exe loads the library and
# calls run_code, as the bootstrap's re-launched copy does.
pack_peer() { # app
    local app=$1 i t0 t1 script=$WORK/nsis/$app.nsi
    cat > "$script" <<EOF
Unicode true
SetCompressor /SOLID lzma
SilentInstall silent
RequestExecutionLevel user
Name "onefile-bench-$app"
OutFile "$WORK/out/$app-nsis.exe"
Section
  InitPluginsDir
  SetOutPath "\$PLUGINSDIR\\app"
  File "$PROGRAMS/bench_run_dll.exe"
  File /r "${FOLDER[$app]}/*"
  ExecWait '"\$PLUGINSDIR\\app\\bench_run_dll.exe" "\$PLUGINSDIR\\app\\${MAIN_DLL[$app]}"' \$0
  SetOutPath "\$TEMP"
  SetErrorLevel \$0
SectionEnd
EOF
    for i in $(seq "$PEER_PACK_REPEAT"); do
        rm -f "$WORK/out/$app-nsis.exe"
        t0=$(now_ns)
        makensis -V1 "$script" >/dev/null
        t1=$(now_ns)
        add "$app" peer_pack $(((t1 - t0) / 1000))
    done
    add "$app" peer_exe_bytes "$(stat -c %s "$WORK/out/$app-nsis.exe")"
}

# --- the limits -------------------------------------------------------------
measure_limits() { # app
    local app=$1 i t0 t1 line
    for i in $(seq "$REPEAT"); do
        t0=$(now_ns)
        zstd -q -d --long=27 -c "$WORK/out/$app.zst" > /dev/null
        t1=$(now_ns)
        add "$app" zstd_decode $(((t1 - t0) / 1000))
        line=$("$PROGRAMS/bench_native" write "$WORK/$app.manifest" "$RUN_TMP/native")
        add "$app" native_write "$(echo "$line" | value write_s | awk '{ printf "%.0f", $1 * 1e6 }')"
        add "$app" native_delete "$(echo "$line" | value delete_s | awk '{ printf "%.0f", $1 * 1e6 }')"
        line=$(wrun "$PROGRAMS/bench_limits.exe" write "$(wpath "$WORK/$app.manifest")" "$(wpath "$RUN_TMP/wine")" plain)
        add "$app" wine_write "$(echo "$line" | value write_s | awk '{ printf "%.0f", $1 * 1e6 }')"
        add "$app" wine_delete_plain "$(echo "$line" | value delete_s | awk '{ printf "%.0f", $1 * 1e6 }')"
        line=$(wrun "$PROGRAMS/bench_limits.exe" decode "$(wpath "$WORK/out/$app.obj")")
        add "$app" wine_decode "$(echo "$line" | value decode_s | awk '{ printf "%.0f", $1 * 1e6 }')"
        line=$("$PROGRAMS/bench_native_noasm" decode "$WORK/out/$app.obj")
        add "$app" native_reader_decode "$(echo "$line" | value decode_s | awk '{ printf "%.0f", $1 * 1e6 }')"
        line=$("$PROGRAMS/bench_native" decode "$WORK/out/$app.obj")
        add "$app" native_reader_decode_asm "$(echo "$line" | value decode_s | awk '{ printf "%.0f", $1 * 1e6 }')"
        line=$("$PROGRAMS/bench_native_noasm" extract "$WORK/out/$app.obj" "$RUN_TMP/extract")
        add "$app" native_extract "$(echo "$line" | value extract_s | awk '{ printf "%.0f", $1 * 1e6 }')"
    done
    # The shell's deletion call, which the bootstrap's clean-up used before it
    # walked the tree itself: once, it is slow under Wine.
    line=$(wrun "$PROGRAMS/bench_limits.exe" write "$(wpath "$WORK/$app.manifest")" "$(wpath "$RUN_TMP/wine")" shell)
    add "$app" wine_delete_shell "$(echo "$line" | value delete_s | awk '{ printf "%.0f", $1 * 1e6 }')"
    local folder
    for folder in native wine extract; do
        [ ! -e "$RUN_TMP/$folder" ] || { log "left behind: $RUN_TMP/$folder"; rm -rf "${RUN_TMP:?}/$folder"; }
    done
}

# --- the runs ---------------------------------------------------------------
# The microsecond within its second at which the parent formed the unpack
# folder's name (QALVEN_ONEFILE_TIME_US), placed after the parent's creation.
unpack_begin() { # parent_created time_us
    awk -v c="$1" -v t="$2" 'BEGIN { b = c - c % 1000000 + t; if (b < c) b += 1000000; printf "%.0f", b }'
}

run_bootstrap() { # app record(yes/no)
    run_bootstrap_as "$1" "$1" "$2"
}

run_bootstrap_as() { # name-of-the-samples app record(yes/no)
    local name=$1 app=$2 record=$3 temp=$RUN_TMP/boot line report=$WORK/report.txt start end status begin
    mkdir -p "$temp"
    rm -f "$report"
    if [ "$app" = C ]; then
        line=$(wrun "$PROGRAMS/bench_launch.exe" --temp "$(wpath "$temp")" --output "$(wpath "$WORK/out/$app.exe")" | grep '^start=')
    else
        line=$(BENCH_REPORT=$(wpath "$report") wrun "$PROGRAMS/bench_launch.exe" --temp "$(wpath "$temp")" \
            "$(wpath "$WORK/out/$app.exe")" | grep '^start=')
    fi
    start=$(echo "$line" | value start)
    end=$(echo "$line" | value end)
    status=$(echo "$line" | value status)
    [ "$status" = 0 ] || log "$app.exe ended with status $status"
    check_empty "$temp" || add "$name" leftovers 1
    [ "$record" = yes ] || return 0
    add "$name" whole $((end - start))
    add "$name" peak_ws "$(echo "$line" | value peak_ws)"
    add "$name" peak_pf "$(echo "$line" | value peak_pf)"
    add "$name" exit_read "$(echo "$line" | value exit_read):$(echo "$line" | value exit_peak_ws)"
    if [ "$app" = C ]; then
        local output
        output=$(echo "$line" | value first_output)
        if [ "${output:-0}" -gt 0 ]; then
            add "$name" to_output $((output - start))
            add "$name" phase_after $((end - output))
        fi
        return 0
    fi
    local entered created parent_created time_us
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
}

run_relaunch() { # app
    run_relaunch_as "$1" "$1"
}

run_relaunch_as() { # name-of-the-samples app
    local name=$1 app=$2 temp=$RUN_TMP/boot line report=$WORK/report.txt i
    mkdir -p "$temp"
    if [ "$app" = C ]; then
        # The Lua application does not start itself again: its copies are
        # started from outside while a fresh start of it is held alive.
        line=$(BENCH_OUTPUT_COPY=$(wpath "$WORK/relaunch-output.txt") wrun "$PROGRAMS/bench_launch.exe" \
            --temp "$(wpath "$temp")" --output --relaunch "$REPEAT" "$(wpath "$WORK/out/$app.exe")" | grep 'relaunch_failures')
        # Every copy must have run from the parent's folder.
        [ "$(grep -c '^Unpacked to' "$WORK/relaunch-output.txt")" = "$REPEAT" ] &&
            [ "$(grep '^Unpacked to' "$WORK/relaunch-output.txt" | sort -u | wc -l)" = 1 ] ||
            log "C: the copies did not all run as re-launched copies"
        rm -f "$WORK/relaunch-output.txt"
        for i in $(seq 0 $((REPEAT - 1))); do
            add "$name" relaunch $(($(echo "$line" | value "relaunch_output.$i") - $(echo "$line" | value "relaunch_start.$i")))
        done
    else
        rm -f "$report"
        BENCH_RELAUNCH=$REPEAT BENCH_REPORT=$(wpath "$report") wine "$PROGRAMS/bench_launch.exe" \
            --temp "$(wpath "$temp")" "$(wpath "$WORK/out/$app.exe")" > /dev/null
        grep '^relaunch\.' "$report" | sed 's/.*=//' >> "$SAMPLES/$name.relaunch"
    fi
    check_empty "$temp" || true
}

run_peer() { # app record(yes/no)
    local app=$1 record=$2 temp=$RUN_TMP/peer line report=$WORK/report.txt host=$WORK/host.txt start end status
    mkdir -p "$temp"
    rm -f "$report" "$host"
    line=$(BENCH_REPORT=$(wpath "$report") BENCH_HOST_REPORT=$(wpath "$host") \
        wrun "$PROGRAMS/bench_launch.exe" --temp "$(wpath "$temp")" "$(wpath "$WORK/out/$app-nsis.exe")" | grep '^start=')
    start=$(echo "$line" | value start)
    end=$(echo "$line" | value end)
    status=$(echo "$line" | value status)
    [ "$status" = 0 ] || log "$app-nsis.exe ended with status $status"
    check_empty "$temp" || add "$app" peer_leftovers 1
    [ "$record" = yes ] || return 0
    add "$app" peer_whole $((end - start))
    add "$app" peer_to_run_code $(($(value entered < "$host") - start))
    add "$app" peer_run_code $(($(value returned < "$host") - $(value entered < "$host")))
    add "$app" peer_peak_ws "$(echo "$line" | value peak_ws)"
    add "$app" peer_peak_pf "$(echo "$line" | value peak_pf)"
}

# --- the profile ------------------------------------------------------------
# One fresh run recorded system-wide with perf (cpu-clock, every 250 us of
# CPU), summed per process of this run and per kind of work.
declare -A PROFILE_TEXT
profile_run() { # app
    local app=$1 temp=$RUN_TMP/boot dir=$WORK/profile server pid line
    mkdir -p "$temp" "$dir"
    server=""
    for pid in $(pgrep -x wineserver64 || true); do
        tr '\0' '\n' < "/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" && server=$pid
    done
    line=$(BENCH_REPORT=$(wpath "$WORK/report.txt") perf record -q -a -g -e cpu-clock -c 250000 -o "$dir/$app.data" -- \
        wine "$PROGRAMS/bench_launch.exe" --temp "$(wpath "$temp")" "$(wpath "$WORK/out/$app.exe")" 2>/dev/null | tr -d '\r' | grep '^start=')
    check_empty "$temp" || true
    perf script -i "$dir/$app.data" -F comm,pid,ip,sym,dso 2>/dev/null | awk -f "$BENCH/profile_summary.awk" > "$dir/$app.summary"
    local whole
    whole=$(($(echo "$line" | value end) - $(echo "$line" | value start)))
    # Processes of this run: the two of the bootstrap (parent first), Wine's
    # desktop process if one was started for it, and our wineserver.
    PROFILE_TEXT[$app]=$(awk -v app="$app.exe" -v server="$server" -v whole="$whole" '
        $3 == app || $3 == "explorer.exe" || $1 == server {
            if ($3 == app) { if (!(($1) in role)) { n = ++apps; role[$1] = n == 1 ? "parent" : "child" } }
            else role[$1] = $1 == server ? "wineserver" : "explorer.exe"
            cpu[role[$1]] += $5; kind[role[$1] SUBSEP $4] += $5; kinds[$4] = 1
        }
        END {
            printf "Wall time of the run: %.2f s. CPU time in ms per process and kind of work (%s samples of 0.25 ms):\n\n", whole / 1e6, "cpu-clock"
            n = split("parent child wineserver explorer.exe", roles, " ")
            printf "| kind |"; for (i = 1; i <= n; i++) printf " %s |", roles[i]; printf "\n|---|"
            for (i = 1; i <= n; i++) printf "---:|"; printf "\n"
            m = split("u:anonymous-code u:msvcrt u:wine-dlls u:libc-loader u:wineserver u:other k:file-read k:file-write k:page-fault k:open-mkdir-stat k:delete k:wineserver-ipc k:mmap k:unmap-exit k:exec-fork k:scheduling k:other", order, " ")
            for (j = 1; j <= m; j++) {
                k = order[j]; if (!(k in kinds)) continue
                printf "| %s |", k
                for (i = 1; i <= n; i++) printf " %.0f |", kind[roles[i] SUBSEP k] * 0.25
                printf "\n"
            }
            printf "| **total** |"; for (i = 1; i <= n; i++) printf " **%.0f** |", cpu[roles[i]] * 0.25; printf "\n"
        }' <(sort -k 2n "$dir/$app.summary"))
}

# --- instruction counts -----------------------------------------------------
# The bootstrap's reader and extraction loop built natively (the same zstd
# sources without assembly), run once under callgrind.
declare -A CALLGRIND_TEXT
callgrind_run() { # app
    local app=$1 dir=$WORK/profile
    mkdir -p "$dir"
    valgrind --tool=callgrind --callgrind-out-file="$dir/$app.callgrind" \
        "$PROGRAMS/bench_native_noasm" extract "$WORK/out/$app.obj" "$RUN_TMP/callgrind" >/dev/null 2>&1
    rm -rf "$RUN_TMP/callgrind"
    callgrind_annotate --inclusive=yes "$dir/$app.callgrind" > "$dir/$app.inclusive" 2>/dev/null
    callgrind_annotate --threshold=100 "$dir/$app.callgrind" > "$dir/$app.self" 2>/dev/null
    CALLGRIND_TEXT[$app]=$(awk -v content="$(median "$app" content)" '
        function number(text) { gsub(/,/, "", text); return text + 0 }
        FILENAME ~ /inclusive$/ && /walk\(char const/ { walk = number($1) }
        FILENAME ~ /inclusive$/ && /read_whole\(char const/ { load = number($1) }
        FILENAME ~ /inclusive$/ && /:payload_read\(/ { read_inclusive = number($1) }
        FILENAME ~ /inclusive$/ && /:ZSTD_decompressStream / { zstd = number($1) }
        FILENAME ~ /self$/ && /:payload_read\(/ { read_self = number($1) }
        END {
            walk -= load    # reading the object file into memory comes before the loop
            copy = read_inclusive - zstd - read_self
            rest = walk - read_inclusive
            printf "| %.2f | %.1f | %.1f%% | %.1f%% | %.2f%% | %.1f%% |", walk / 1e9, walk / content, 100 * zstd / walk, 100 * copy / walk, 100 * read_self / walk, 100 * rest / walk
        }' "$dir/$app.inclusive" "$dir/$app.self")
}

# --- what-if runs -----------------------------------------------------------
# A linked as the packer links it, plus -Wl,--file-alignment,4096: sections
# then start on page boundaries in the file, and Wine maps the attached data
# instead of reading the whole image into memory at every start.
experiment_alignment() {
    local app=A runtime=$WORK/runtime-aligned i
    rm -rf "$runtime"
    cp -r "$BUILD_DIR/windows/runtime" "$runtime"
    sed -i 's/^flag -s$/flag -s\nflag -Wl,--file-alignment,4096/' "$runtime/runtime.txt"
    grep -q -- '--file-alignment' "$runtime/runtime.txt" || { log "no -s flag in the runtime description"; return 0; }
    "$PACKER" --quiet --runtime-dir "$runtime" --attached-data "$WORK/out/A.obj" -o "$WORK/out/A4k.exe"
    add A4k exe_bytes "$(stat -c %s "$WORK/out/A4k.exe")"
    mv "$WORK/out/A.exe" "$WORK/out/A-default.exe"
    mv "$WORK/out/A4k.exe" "$WORK/out/A.exe"      # keeps the process name the profile looks for
    run_bootstrap_as A4k A no
    for i in $(seq "$REPEAT"); do run_bootstrap_as A4k A yes; done
    run_relaunch_as A4k A
    mv "$WORK/out/A-default.exe" "$WORK/out/A.exe"
    rm -rf "$runtime"
}

# C packed without its splash picture: what the splash window costs.
experiment_no_splash() {
    local i
    "$PACKER" --quiet --main lua_host.dll -o "$WORK/out/C-nosplash.exe" "${FOLDER[C]}"
    add Cnosplash exe_bytes "$(stat -c %s "$WORK/out/C-nosplash.exe")"
    mv "$WORK/out/C.exe" "$WORK/out/C-splash.exe"
    mv "$WORK/out/C-nosplash.exe" "$WORK/out/C.exe"
    run_bootstrap_as Cnosplash C no
    for i in $(seq "$REPEAT"); do run_bootstrap_as Cnosplash C yes; done
    mv "$WORK/out/C-splash.exe" "$WORK/out/C.exe"
}

# --- measuring --------------------------------------------------------------
if [ "$PROFILE" = yes ] && ! { perf stat -e cpu-clock true >/dev/null 2>&1 && command -v valgrind >/dev/null; }; then
    log "perf (cpu-clock) or valgrind does not work here: no profile"
    PROFILE=no
fi
for app in $ACTIVE; do
    log "$app: packing (onefile-pack, $PACK_REPEAT times)"
    pack_bootstrap "$app"
    log "$app: limits ($REPEAT times)"
    measure_limits "$app"
    log "$app: bootstrap runs (1 warm-up + $REPEAT)"
    run_bootstrap "$app" no
    for i in $(seq "$REPEAT"); do run_bootstrap "$app" yes; done
    log "$app: re-launched copies ($REPEAT)"
    run_relaunch "$app"
    if [ "$PEER" = yes ]; then
        log "$app: NSIS packing ($PEER_PACK_REPEAT times)"
        pack_peer "$app"
        log "$app: NSIS runs (1 warm-up + $REPEAT)"
        run_peer "$app" no
        for i in $(seq "$REPEAT"); do run_peer "$app" yes; done
    fi
    if [ "$PROFILE" = yes ] && [ "$app" != C ]; then
        log "$app: profile of one run (perf), instruction counts (callgrind)"
        profile_run "$app"
        callgrind_run "$app"
    fi
    if [ "$EXPERIMENTS" = yes ] && [ "$app" = A ]; then
        log "A: linked with 4096-byte file alignment (1 warm-up + $REPEAT runs, $REPEAT re-launched copies)"
        experiment_alignment
    fi
    if [ "$EXPERIMENTS" = yes ] && [ "$app" = C ]; then
        log "C: without its splash (1 warm-up + $REPEAT runs)"
        experiment_no_splash
    fi
    # The big outputs of this application are no longer needed.
    [ "$KEEP" = yes ] || rm -f "$WORK/out/$app.obj" "$WORK/out/$app.zst"
done

# --- the report -------------------------------------------------------------
REPORT=$WORK/report.md
{
    echo "## Start-up benchmark ($DATE)"
    echo
    echo "Machine: $CPU, $CORES cores, $RAM RAM, Linux $KERNEL, $WINE_VERSION, NSIS $NSIS_VERSION, zstd $ZSTD_VERSION."
    echo "Unpacking into $TEMP_FS ($TEMP_PARENT). Medians of $REPEAT runs (packing: onefile-pack $PACK_REPEAT, makensis $PEER_PACK_REPEAT);"
    echo "onefile-pack at its default level $LEVEL. Applications: A one 256 MiB file (random, text-like and zero blocks),"
    echo "B 5,000 files of 64 MiB in nested folders, C the example Lua application; A and B start with the benchmark's"
    echo "application library, which notes when run_code is entered and returns 0."
    echo
    echo "### The bootstrap"
    echo
    echo "| app | files | content MiB | pack s | exe MiB | content / exe | to run_code s | whole run s | re-launched copy ms | parent peak working set MiB | parent peak private MiB |"
    echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
    for app in $ACTIVE; do
        to=$(median "$app" to_run_code)
        [ "$app" = C ] && to=$(median C to_output)
        echo "| $app | $(median "$app" files) | $(mib "$(median "$app" content)") | $(s "$(median "$app" pack)") | $(mib "$(median "$app" exe_bytes)") | $(ratio "$(median "$app" content)" "$(median "$app" exe_bytes)") | $(s "$to")$([ "$app" = C ] && echo "¹") | $(s "$(median "$app" whole)") | $(ms "$(median "$app" relaunch)")$([ "$app" = C ] && echo "²") | $(mib "$(median "$app" peak_ws)") | $(mib "$(median "$app" peak_pf)") |"
    done
    echo
    if [[ " $ACTIVE " == *" C "* ]]; then
        echo "¹ C's library is not the benchmark's: until its first output, which Lua writes when main.lua ends (the peer's runs measure run_code itself at $(ms "$(median C peer_run_code)") ms); from that output to the parent's end (child exit, clean-up): $(ms "$(median C phase_after)") ms."
        echo "² Started from outside with the parent's variables while a fresh start is held alive (its output blocked), until the copy's first output."
        echo
    fi
    echo "### Unpacking against its limits"
    echo
    echo "Bootstrap unpack: from forming the unpack folder's name to creating the child (its process creation time). zstd -d: the zstd $ZSTD_VERSION tool decoding the same frame to /dev/null."
    echo "Plain writers: the same files with the same 32768-byte writes, natively (write()) and under Wine (CreateFileW/WriteFile/CloseHandle), parent folders made once."
    echo
    echo "| app | bootstrap unpack s | zstd -d s | native write s | Wine write s | unpack / (zstd -d + Wine write) | reader decode, Wine s | reader decode, native s | reader + write, native s |"
    echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|"
    for app in $ACTIVE; do
        unpack=$(median "$app" unpack)
        limit=""
        [ -n "$(median "$app" zstd_decode)" ] && limit=$(awk -v a="$(median "$app" zstd_decode)" -v b="$(median "$app" wine_write)" 'BEGIN { print a + b }')
        echo "| $app | $(s "$unpack") | $(s "$(median "$app" zstd_decode)") | $(s "$(median "$app" native_write)") | $(s "$(median "$app" wine_write)") | $(ratio "$unpack" "$limit") | $(s "$(median "$app" wine_decode)") | $(s "$(median "$app" native_reader_decode)") | $(s "$(median "$app" native_extract)") |"
    done
    echo
    echo "Reader decode: the bootstrap's own payload reader (static_src/attached_data/payload_stream.cpp, 131072-byte window, 32768-byte reads) over the object in memory, writing nothing: built with MinGW-w64 and run under Wine, and built natively against the same zstd sources without assembly (as the bootstrap's); with Debian's libzstd (assembly) natively: $(for app in $ACTIVE; do printf '%s %s s; ' "$app" "$(s "$(median "$app" native_reader_decode_asm)")"; done | sed 's/; $//')."
    echo "Reader + write, native: the same loop writing the files with write(), i.e. the bootstrap's extraction without Wine."
    echo
    echo "### Where a fresh start's time goes (A and B)"
    echo
    echo "| app | launcher to parent created ms | parent start to unpack ms | unpack s | child created to run_code ms | after run_code (child exit, clean-up) s | Wine delete, plain walk s | Wine delete, shell's SHFileOperationW s | native delete s |"
    echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|"
    for app in $ACTIVE; do
        [ "$app" = C ] && continue
        echo "| $app | $(ms "$(median "$app" phase_create)") | $(ms "$(median "$app" phase_startup)") | $(s "$(median "$app" unpack)") | $(ms "$(median "$app" phase_child)") | $(s "$(median "$app" phase_after)") | $(s "$(median "$app" wine_delete_plain)") | $(s "$(median "$app" wine_delete_shell)") | $(s "$(median "$app" native_delete)") |"
    done
    echo
    echo "Launcher to parent created: CreateProcessW until Wine registers the new process. Parent start to unpack: until the unpack folder's name is formed (QALVEN_ONEFILE_TIME_US). After run_code: until the parent has ended, which includes its clean-up."
    echo "Wine delete: the plain writer's tree removed with FindFirstFileW, DeleteFileW and RemoveDirectoryW (a walk like the bootstrap's clean-up), and once with the shell's SHFileOperationW (which the clean-up used before it walked the tree itself)."
    echo
    if [ "$PEER" = yes ]; then
        echo "### The peer: NSIS $NSIS_VERSION (SetCompressor /SOLID lzma, \$PLUGINSDIR, ExecWait)"
        echo
        echo "| app | pack s | exe MiB | content / exe | to run_code s | whole run s | parent peak working set MiB | to run_code: bootstrap / NSIS | whole run: bootstrap / NSIS |"
        echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|"
        for app in $ACTIVE; do
            to=$(median "$app" to_run_code)
            [ "$app" = C ] && to=$(median C to_output)
            echo "| $app | $(s "$(median "$app" peer_pack)") | $(mib "$(median "$app" peer_exe_bytes)") | $(ratio "$(median "$app" content)" "$(median "$app" peer_exe_bytes)") | $(s "$(median "$app" peer_to_run_code)") | $(s "$(median "$app" peer_whole)") | $(mib "$(median "$app" peer_peak_ws)") | $(ratio "$to" "$(median "$app" peer_to_run_code)") | $(ratio "$(median "$app" whole)" "$(median "$app" peer_whole)") |"
        done
        echo
        echo "NSIS runs bench_run_dll.exe (in its package), which loads the application library and calls run_code as the bootstrap's child does. The NSIS stub is a 32-bit program (WoW64)."
        echo
    fi
    if [ "$EXPERIMENTS" = yes ]; then
        echo "### What if"
        echo
        echo "| variant | exe MiB | launcher to parent created ms | unpack s | child created to run_code ms | to run_code s | whole run s | re-launched copy ms | parent peak private MiB |"
        echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|"
        for pair in "A:A, as packed" "A4k:A, linked with -Wl,--file-alignment,4096"; do
            name=${pair%%:*}
            [ -s "$SAMPLES/$name.whole" ] || continue
            echo "| ${pair#*:} | $(mib "$(median "$name" exe_bytes)") | $(ms "$(median "$name" phase_create)") | $(s "$(median "$name" unpack)") | $(ms "$(median "$name" phase_child)") | $(s "$(median "$name" to_run_code)") | $(s "$(median "$name" whole)") | $(ms "$(median "$name" relaunch)") | $(mib "$(median "$name" peak_pf)") |"
        done
        for pair in "C:C, as packed (with its splash)" "Cnosplash:C, packed without --splash"; do
            name=${pair%%:*}
            [ -s "$SAMPLES/$name.whole" ] || continue
            echo "| ${pair#*:} | $(mib "$(median "$name" exe_bytes)") | | | | $(s "$(median "$name" to_output)")¹ | $(s "$(median "$name" whole)") | | $(mib "$(median "$name" peak_pf)") |"
        done
        echo
        echo "With the default file alignment of 512 bytes the sections do not start on page boundaries in the file, and Wine reads the whole image, attached data included, into private memory at every start of the executable (perf: read() in the Wine loader); at 4096 it maps them from the file."
        echo
    fi
    echo "### Memory measurement"
    echo
    echo "Peak memory is GetProcessMemoryInfo's PeakWorkingSetSize and PeakPagefileUsage of the parent, read by the launcher every 10 ms while it runs: under Wine these come from the Unix process's /proc status while it lives."
    echo "Read once more after the parent has ended (exit_read:PeakWorkingSetSize): $(for app in $ACTIVE; do printf '%s %s; ' "$app" "$(sort -u "$SAMPLES/$app.exit_read" | tr '\n' ' ' | sed 's/ $//')"; done | sed 's/; $//') — the call still succeeds, but the values are gone with the Unix process (0) unless the read wins that race, so the polled values are the ones reported."
    echo
    if [ "$PROFILE" = yes ]; then
        for app in $ACTIVE; do
            [ -n "${PROFILE_TEXT[$app]:-}" ] || continue
            echo "### Profile of one fresh run of $app"
            echo
            echo "${PROFILE_TEXT[$app]}"
            echo
        done
        echo "u: user code (anonymous-code: the executable's own code, which Wine reads into anonymous memory, so perf sees it as unnamed code; msvcrt: memcpy and friends; wine-dlls: ntdll, kernelbase, shell32 ...); k: kernel, by call chain (file-read: read()/pread() of files, which includes Wine loading the executable image; wineserver-ipc: the pipes and polls of server requests)."
        echo
        if [ -n "${CALLGRIND_TEXT[A]:-}${CALLGRIND_TEXT[B]:-}" ]; then
            echo "### Instruction counts of the reader and extraction loop (callgrind, native build)"
            echo
            echo "The bootstrap's payload reader and the extraction loop (bench/harness/walk.h), built natively against the same zstd sources without assembly, extracting the object once. Shares of the loop's instructions:"
            echo
            echo "| app | G instructions | per content byte | ZSTD_decompressStream | copy out of the window (memcpy) | payload_read itself | file calls, names, sizes |"
            echo "|---|---:|---:|---:|---:|---:|---:|"
            for app in A B; do
                if [ -n "${CALLGRIND_TEXT[$app]:-}" ]; then echo "| $app ${CALLGRIND_TEXT[$app]}"; fi
            done
            echo
            echo "glibc copies 32 KiB blocks with rep movsb, which callgrind counts per byte: the copy's share of the time is smaller (msvcrt in the profile above)."
            echo
        fi
    fi
    echo "### Samples"
    echo
    echo "Microseconds (bytes for sizes), in the order measured:"
    echo
    for f in "$SAMPLES"/*; do
        echo "- $(basename "$f"): $(tr '\n' ' ' < "$f" | sed 's/ $//')"
    done
    echo
    echo "Total benchmark time: $(( $(date +%s) - BENCH_START )) s."
} > "$REPORT"
cp "$REPORT" "$RESULTS/latest.md"
cat "$REPORT"
