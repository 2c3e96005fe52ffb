#!/bin/bash
# The start-up benchmark of the one-file bootstrap under Wine.
#
#   bench/run.sh [--repeat N] [--pack-repeat N] [--peer-pack-repeat N]
#                [--apps "A B C"] [--seed N] [--temp-dir DIR]
#                [--baseline REV | --no-baseline]
#                [--no-peer] [--no-profile] [--no-variants] [--keep]
#
# Three applications are packed with onefile-pack (its default level) and,
# as the peer, into an NSIS self-extracting launcher (makensis, solid LZMA):
#   A  one 256 MiB file of mixed compressibility (random, text-like, zeros)
#   B  5,000 small files, 64 MiB in all, in nested folders
#   C  the example Lua application with its splash (examples/lua_app)
# A and B are generated from the seed; their first file is the benchmark's
# application library (bench/windows/bench_app.cpp), whose run_code notes
# when it was entered and returns 0.
#
# The baseline is the code of an earlier commit, "today's" (--baseline,
# default 13d371d, the code before the frames that decode on every core),
# built in the same run with its own scripts/build.sh below the build
# folder (bench/baseline.sh; kept for the next run). Its packer packs the
# same applications the same way, and its executables are started in turn
# with the current ones (APP_base in the samples): sizes, unpack, whole
# runs, peak memory. Every fresh start is measured twice: with every core,
# and with the whole Wine session pinned to one core (taskset -c 0; the
# bootstrap takes its threads from its process affinity, so it runs one).
#
# Every start is compared with a bare hello-world executable's, measured in
# the same run the same way (bench/windows/hello.cpp). The variants, unless
# --no-variants: C packed as a console program (beside a bare console
# hello-world), C without its splash, the hello-world packed through the
# program launcher
# (--main hello.exe), zstd's tool called plain and packed (per run and
# cached, through --main zstd.exe and through a run_code library), and when
# the packer has it, the cached unpack mode (--unpack-to) of A, B and C,
# first and second start.
#
# This script only orders the work; each measurement is a script of its
# own in bench/measure/ (pack, limits, fresh_start, relaunch, bare_start,
# shell_start, server_request, peer, cached_start, profile, callgrind) and
# the report is bench/report.sh. Every figure is the median of --repeat
# runs (default 5; pack times of --pack-repeat, default 3; makensis of
# --peer-pack-repeat, default 1: it takes minutes). --no-profile skips the
# perf profiles of A, B and C and the callgrind counts of A and B.
#
# Unpacking goes to a fresh folder below --temp-dir, by default on tmpfs
# (/dev/shm): this machine's ext4 has no journal, and without one every new
# inode passes over the inodes deleted in the last minutes (ext4's
# recently_deleted() in perf). Writing B's 5,000 files natively took 1.7 s,
# then 5 s, then 8 s in successive runs there, against 0.1 s on tmpfs: the
# figures would measure the file system's history instead.
#
# Prints a markdown report, the goals' ratios first, and writes it to
# bench/results/latest.md. Needs root for its set-up (bench/setup.sh
# installs perf, valgrind, and for the peer nsis and wine32). Without a
# kernel that runs 32-bit programs there is no peer. Builds in $BUILD_DIR
# (default build-bench) with its own Wine prefix.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
export BENCH=$ROOT/bench
export REPEAT=5 PACK_REPEAT=3 PEER_PACK_REPEAT=1
APPS="A B C"
SEED=1
TEMP_PARENT=/dev/shm
PEER=yes
PROFILE=yes
VARIANTS=yes
KEEP=no
BASELINE=13d371d

usage() { awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; }
while [ $# -gt 0 ]; do
    case $1 in
    --repeat) REPEAT=$2; shift 2 ;;
    --pack-repeat) PACK_REPEAT=$2; shift 2 ;;
    --peer-pack-repeat) PEER_PACK_REPEAT=$2; shift 2 ;;
    --apps) APPS=$2; shift 2 ;;
    --seed) SEED=$2; shift 2 ;;
    --temp-dir) TEMP_PARENT=$2; shift 2 ;;
    --baseline) BASELINE=$2; shift 2 ;;
    --no-baseline) BASELINE=""; shift ;;
    --no-peer) PEER=no; shift ;;
    --no-profile) PROFILE=no; shift ;;
    --no-variants) VARIANTS=no; shift ;;
    --keep) KEEP=yes; shift ;;
    -h | --help) usage; exit 0 ;;
    *) echo "bench: unknown argument $1" >&2; usage >&2; exit 2 ;;
    esac
done

export BUILD_DIR=${BUILD_DIR:-$ROOT/build-bench}
export WORK=$BUILD_DIR/bench-work        # generated applications, executables
export PROGRAMS=$BUILD_DIR/bench         # the benchmark's own programs
export SAMPLES=$WORK/samples             # one file per figure, one value a line
export RUN_TMP=$TEMP_PARENT/onefile-bench-$$
BENCH_START=$(date +%s)
. "$BENCH/lib.sh"
MEASURE=$BENCH/measure

# --- set-up and build -------------------------------------------------------
if [ "$PEER" = yes ] && ! "$BENCH/runs_32_bit.sh"; then
    log "this kernel runs no 32-bit programs, and the NSIS stub is one: no peer"
    PEER=no
fi
# The 32-bit Wine only for the peer: installing it spoils every Wine prefix
# made before (scripts/wine-session.sh makes them again).
setup_options=()
[ "$PEER" = yes ] && setup_options=(--peer)
"$BENCH/setup.sh" "${setup_options[@]}"
if ! "$ROOT/scripts/build.sh" > "$BUILD_DIR.build.log" 2>&1; then
    # The example may be half-way through a colleague's change: go on
    # without it as long as the bootstrap and the packer are there.
    log "scripts/build.sh failed (see $BUILD_DIR.build.log); going on with what was built"
fi
[ -x "$PACKER" ] || { log "no packer at $PACKER"; exit 1; }
"$BENCH/build.sh"
export BASE_PACKER="" BASE_REVISION=""
if [ -n "$BASELINE" ]; then
    log "the baseline: $BASELINE, built with its own scripts/build.sh"
    BASE_PACKER=$("$BENCH/baseline.sh" "$BASELINE" "$BUILD_DIR/baseline")
    BASE_REVISION=$(git -C "$ROOT" log -1 --format='%h (%cd, "%s")' --date=format:'%Y-%m-%d %H:%M' "$BASELINE")
fi

rm -rf "$SAMPLES" "$WORK/profile"
mkdir -p "$WORK/apps" "$WORK/out" "$SAMPLES" "$RUN_TMP"

. "$ROOT/scripts/wine-session.sh"
start_wine_session
finish() {
    rm -rf "$RUN_TMP"
    [ "$KEEP" = yes ] || rm -rf "$WORK/apps" "$WORK/out" "$WORK/nsis" "$WORK/profile"/*.data
    stop_wine_session
}
trap finish EXIT INT TERM
# NSIS stubs are 32-bit: a prefix made before wine32 was installed lacks them.
if [ "$PEER" = yes ] && [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
    wineboot -u </dev/null >/dev/null 2>&1
    wineserver -w
    wineserver -p
    wine wineboot </dev/null >/dev/null 2>&1
fi
# No window manager runs on the virtual display. Wine's X11 driver would
# wait 2 s for one to withdraw an activated window that is destroyed (the
# splash: "wait_for_withdrawn_state ... wait timed out"), a wait that
# neither Windows nor Wine under a window manager has: windows unmanaged.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
if [ "$PROFILE" = yes ] && ! { perf stat -e cpu-clock true >/dev/null 2>&1 && command -v valgrind >/dev/null; }; then
    log "perf (cpu-clock) or valgrind does not work here: no profile"
    PROFILE=no
fi
CACHED=no
[[ $("$PACKER" --help) == *--unpack-to* ]] && CACHED=$VARIANTS

# --- the machine ------------------------------------------------------------
export CPU CORES RAM KERNEL WINE_VERSION NSIS_VERSION ZSTD_VERSION DATE LEVEL TEMP_FS TEMP_PARENT
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
generate() { # app kind: the folder of a generated application
    local folder=$WORK/apps/$1 stamp
    stamp="$2 $SEED $(md5sum < "$BENCH/native/make_apps.cpp" | cut -c1-12)"
    if [ ! -d "$folder" ] || [ "$(cat "$folder.stamp" 2>/dev/null)" != "$stamp" ]; then
        log "generating application $1 ($2, seed $SEED)"
        rm -rf "$folder"
        "$PROGRAMS/bench_make_apps" "$2" "$folder" "$SEED"
        echo "$stamp" > "$folder.stamp"
    fi
    cp "$PROGRAMS/bench_app.dll" "$folder/bench_app.dll"
    echo "$folder"
}
LUA_FOLDER=$BUILD_DIR/windows/examples/lua_app_folder
SPLASH=$ROOT/examples/splash.png
declare -A FOLDER MAIN KIND
ACTIVE=""
for app in $APPS; do
    case $app in
    A) FOLDER[A]=$(generate A big); MAIN[A]=bench_app.dll; KIND[A]=bench ;;
    B) FOLDER[B]=$(generate B many); MAIN[B]=bench_app.dll; KIND[B]=bench ;;
    C)
        if [ ! -f "$LUA_FOLDER/lua_host.dll" ]; then
            log "the Lua application is not built ($LUA_FOLDER): skipping C"
            continue
        fi
        FOLDER[C]=$LUA_FOLDER; MAIN[C]=lua_host.dll; KIND[C]=output
        ;;
    *) log "unknown application $app"; exit 2 ;;
    esac
    ACTIVE="$ACTIVE $app"
done
export ACTIVE PEER PROFILE VARIANTS CACHED

# --- measuring --------------------------------------------------------------
log "bare hello-world starts"
"$MEASURE/bare_start.sh" hello "$PROGRAMS/bench_hello.exe"
"$MEASURE/bare_start.sh" hello_imports "$PROGRAMS/bench_hello_imports.exe"
"$MEASURE/shell_start.sh" hello "$PROGRAMS/bench_hello.exe"
log "what a wineserver request costs, on every core and on one"
"$MEASURE/server_request.sh"
for app in $ACTIVE; do
    options=()
    [ "$app" = C ] && options=(--splash "$SPLASH")
    log "$app: packing (onefile-pack, $PACK_REPEAT times${BASE_PACKER:+; the baseline once})"
    "$MEASURE/pack.sh" "$app" "${FOLDER[$app]}" --main "${MAIN[$app]}" "${options[@]}"
    log "$app: limits ($REPEAT times)"
    "$MEASURE/limits.sh" "$app"
    # The executables started in turn: this build's, the baseline's, and
    # for C the same without its splash (what the splash costs).
    starts=("$app" "$WORK/out/$app.exe")
    [ -n "$BASE_PACKER" ] && starts+=("${app}_base" "$WORK/out/${app}_base.exe")
    if [ "$app" = C ]; then
        "$PACKER" --quiet --main lua_host.dll -o "$WORK/out/C-nosplash.exe" "${FOLDER[C]}"
        starts+=(C_nosplash "$WORK/out/C-nosplash.exe")
    fi
    log "$app: fresh starts on every core (1 warm-up + $REPEAT rounds of $((${#starts[@]} / 2)))"
    "$MEASURE/fresh_start.sh" "${KIND[$app]}" "${starts[@]}"
    log "$app: re-launched copies ($REPEAT)"
    "$MEASURE/relaunch.sh" "$app" "$WORK/out/$app.exe" "${KIND[$app]}"
    [ -n "$BASE_PACKER" ] && "$MEASURE/relaunch.sh" "${app}_base" "$WORK/out/${app}_base.exe" "${KIND[$app]}"
    log "$app: the same on one core (taskset -c 0, the Wine session too)"
    one_core=()
    for i in $(seq 0 2 $((${#starts[@]} - 1))); do
        one_core+=("${starts[$i]}_one_core" "${starts[$((i + 1))]}")
    done
    pin_session one
    "$MEASURE/fresh_start.sh" "${KIND[$app]}" "${one_core[@]}"
    "$MEASURE/relaunch.sh" "${app}_one_core" "$WORK/out/$app.exe" "${KIND[$app]}"
    [ -n "$BASE_PACKER" ] && "$MEASURE/relaunch.sh" "${app}_base_one_core" "$WORK/out/${app}_base.exe" "${KIND[$app]}"
    pin_session every
    if [ "$app" = C ]; then
        log "C: whole runs from the shell (1 warm-up + $REPEAT)"
        "$MEASURE/shell_start.sh" C "$WORK/out/C.exe"
    fi
    if [ "$PEER" = yes ]; then
        log "$app: NSIS (packing $PEER_PACK_REPEAT times, 1 warm-up + $REPEAT runs)"
        "$MEASURE/peer.sh" "$app" "${FOLDER[$app]}" "${MAIN[$app]}"
    fi
    if [ "$CACHED" = yes ]; then
        log "$app: cached mode (1 warm-up + $REPEAT first and second starts)"
        "$MEASURE/cached_start.sh" "$app" "${FOLDER[$app]}" "${MAIN[$app]}" "${KIND[$app]}" "${options[@]}"
    fi
    if [ "$PROFILE" = yes ]; then
        log "$app: profile of one fresh start (perf), on every core and on one"
        "$MEASURE/profile.sh" "$app" "$WORK/out/$app.exe" "${KIND[$app]}"
        pin_session one
        "$MEASURE/profile.sh" "${app}_one_core" "$WORK/out/$app.exe" "${KIND[$app]}"
        pin_session every
        if [ "$app" != C ]; then
            log "$app: instruction counts of the reader (callgrind)"
            "$MEASURE/callgrind.sh" "$app"
        fi
    fi
    # The big outputs of this application are no longer needed.
    [ "$KEEP" = yes ] || rm -f "$WORK/out/$app".*obj "$WORK/out/$app"*.zst "$WORK/out/${app}_base".*
done
if [ "$VARIANTS" = yes ]; then
    log "the console variant, the program launcher (1 warm-up + $REPEAT each)"
    "$MEASURE/bare_start.sh" hello_console "$PROGRAMS/bench_hello_console.exe"
    if [[ " $ACTIVE " == *" C "* ]]; then
        "$PACKER" --quiet --main lua_host.dll --console -o "$WORK/out/C-console.exe" "${FOLDER[C]}"
        "$MEASURE/fresh_start.sh" output C_console "$WORK/out/C-console.exe"
    fi
    mkdir -p "$WORK/apps/hello"
    cp "$PROGRAMS/bench_hello.exe" "$WORK/apps/hello/hello.exe"
    "$PACKER" --quiet --main hello.exe -o "$WORK/out/hello-launcher.exe" "$WORK/apps/hello"
    "$MEASURE/fresh_start.sh" plain hello_launcher "$WORK/out/hello-launcher.exe"
    ZSTD_EXE=$BUILD_DIR/windows/tests/windows/programs/zstd_folder/zstd.exe
    if [ -f "$ZSTD_EXE" ]; then
        log "zstd's tool, plain and packed, per run and cached ($REPEAT calls each)"
        "$MEASURE/cli_call.sh" "$ZSTD_EXE"
    else
        log "no zstd.exe at $ZSTD_EXE: no packed command-line calls"
    fi
fi

# --- the report -------------------------------------------------------------
export BENCH_SECONDS=$(($(date +%s) - BENCH_START))
"$BENCH/report.sh" > "$WORK/report.md"
mkdir -p "$BENCH/results"
cp "$WORK/report.md" "$BENCH/results/latest.md"
cat "$WORK/report.md"
