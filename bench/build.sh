#!/bin/bash
# Builds the benchmark's own programs into $BUILD_DIR/bench (after the
# project itself is built there): the Windows side with the project's MinGW-w64
# compiler, the native side with g++. Rebuilds only what is out of date.
#
#   BUILD_DIR=... bench/build.sh
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build-bench}
OUT=$BUILD_DIR/bench
BENCH=$ROOT/bench
mkdir -p "$OUT/native-zstd"

ZSTD_SRC=$(ls -d "$BUILD_DIR"/deps/libzstd-*/src | head -n 1)
ZSTD_WINDOWS_LIB=$BUILD_DIR/windows/libzstd_decompress.a
[ -f "$ZSTD_SRC/lib/zstd.h" ] || { echo "bench/build: zstd sources missing; run scripts/build.sh" >&2; exit 1; }
[ -f "$ZSTD_WINDOWS_LIB" ] || { echo "bench/build: $ZSTD_WINDOWS_LIB missing; run scripts/build.sh" >&2; exit 1; }

WCXX=x86_64-w64-mingw32-g++-posix
# The bootstrap is built -O3 (CMake's Release without -DNDEBUG); so is
# everything here that stands in for a part of it.
WFLAGS=(-O3 -s -std=c++17 -municode -static -D_WIN32_WINNT=0x0A00 -DUNICODE -D_UNICODE)
NFLAGS=(-O3 -std=c++17 -Wall -Wextra)
# The bootstrap's entry walk, payload reader and entry-name check, as the
# stream road of the extraction runs them.
READER=(-I"$ROOT/static_src" -I"$ROOT/tools/binary" -I"$ROOT/tools/resources")
READER_SOURCES="$ROOT/static_src/attached_data/entries.cpp $ROOT/static_src/attached_data/payload_stream.cpp
$ROOT/static_src/attached_data/entry_names.cpp $ROOT/static_src/format/entry_name_fold.cpp"
# The packer's reader of little-endian integers and its UTF-16 conversion,
# for the frame index.
PACKER_SOURCES="$ROOT/tools/binary/little_endian.cpp $ROOT/tools/resources/utf16.cpp"

# out_of_date OUTPUT INPUT...: true when OUTPUT is missing or older than an input.
out_of_date() {
    local output=$1
    shift
    [ -f "$output" ] || return 0
    local input
    for input in "$@"; do
        [ "$input" -nt "$output" ] && return 0
    done
    return 1
}

build() { # OUTPUT "INPUTS" COMMAND...
    local output=$1 inputs=$2
    shift 2
    # shellcheck disable=SC2086
    if out_of_date "$output" $inputs "$0"; then
        echo "bench/build: $(basename "$output")"
        "$@"
    fi
}

# Windows programs.
build "$OUT/bench_app.dll" "$BENCH/windows/bench_app.cpp" \
    $WCXX "${WFLAGS[@]}" -shared -o "$OUT/bench_app.dll" "$BENCH/windows/bench_app.cpp"
PROCESS_START=$ROOT/static_src/process_start/process_start.cpp
build "$OUT/bench_launch.exe" "$BENCH/windows/launch.cpp $PROCESS_START" \
    $WCXX "${WFLAGS[@]}" -I"$ROOT/static_src" -o "$OUT/bench_launch.exe" "$BENCH/windows/launch.cpp" \
    "$PROCESS_START" -lpsapi -lntdll
build "$OUT/bench_hello.exe" "$BENCH/windows/hello.cpp" \
    $WCXX "${WFLAGS[@]}" -mwindows -o "$OUT/bench_hello.exe" "$BENCH/windows/hello.cpp"
build "$OUT/bench_hello_imports.exe" "$BENCH/windows/hello_imports.cpp" \
    $WCXX "${WFLAGS[@]}" -mwindows -o "$OUT/bench_hello_imports.exe" "$BENCH/windows/hello_imports.cpp" \
    -ladvapi32
build "$OUT/bench_hello_console.exe" "$BENCH/windows/hello_console.cpp" \
    $WCXX "${WFLAGS[@]}" -o "$OUT/bench_hello_console.exe" "$BENCH/windows/hello_console.cpp"
build "$OUT/bench_run_dll.exe" "$BENCH/windows/run_dll.cpp" \
    $WCXX "${WFLAGS[@]}" -o "$OUT/bench_run_dll.exe" "$BENCH/windows/run_dll.cpp"
build "$OUT/bench_limits.exe" "$BENCH/windows/wine_limits.cpp $READER_SOURCES $ZSTD_WINDOWS_LIB" \
    $WCXX "${WFLAGS[@]}" "${READER[@]}" -I"$ZSTD_SRC/lib" -o "$OUT/bench_limits.exe" \
    "$BENCH/windows/wine_limits.cpp" $READER_SOURCES "$ZSTD_WINDOWS_LIB" -lshell32
# zstd's tool as an application library (zstd_library.c): the tool's
# sources as the test programs build zstd.exe, its main renamed.
ZSTD_TOOL_SOURCES=("$ZSTD_SRC"/programs/*.c "$ZSTD_SRC"/lib/common/*.c "$ZSTD_SRC"/lib/compress/*.c \
    "$ZSTD_SRC"/lib/decompress/*.c "$ZSTD_SRC"/lib/dictBuilder/*.c)
build "$OUT/zstd_library.dll" "$BENCH/windows/zstd_library.c" \
    x86_64-w64-mingw32-gcc-posix -O2 -s -shared -static -DZSTD_DISABLE_ASM -DZSTD_LEGACY_SUPPORT=0 \
    -Dmain=zstd_cli_main -I"$ZSTD_SRC/lib" -I"$ZSTD_SRC/lib/common" -o "$OUT/zstd_library.dll" \
    "$BENCH/windows/zstd_library.c" "${ZSTD_TOOL_SOURCES[@]}"

# Native programs.
build "$OUT/bench_make_apps" "$BENCH/native/make_apps.cpp" \
    g++ "${NFLAGS[@]}" -o "$OUT/bench_make_apps" "$BENCH/native/make_apps.cpp"
# The payload reader against Debian's libzstd (with its x86-64 assembly) ...
build "$OUT/bench_native" "$BENCH/native/native_limits.cpp $READER_SOURCES $PACKER_SOURCES" \
    g++ "${NFLAGS[@]}" "${READER[@]}" -o "$OUT/bench_native" \
    "$BENCH/native/native_limits.cpp" $READER_SOURCES $PACKER_SOURCES -lzstd
# ... and against the decoder built as the bootstrap's is: the same sources,
# -DZSTD_DISABLE_ASM, -O3.
ZSTD_OBJECTS=()
for source in "$ZSTD_SRC"/lib/common/*.c "$ZSTD_SRC"/lib/decompress/*.c; do
    object=$OUT/native-zstd/$(basename "$source" .c).o
    build "$object" "$source" \
        gcc -O3 -DZSTD_DISABLE_ASM -DXXH_NAMESPACE=ZSTD_ -I"$ZSTD_SRC/lib" -c -o "$object" "$source"
    ZSTD_OBJECTS+=("$object")
done
build "$OUT/bench_native_noasm" "$BENCH/native/native_limits.cpp $READER_SOURCES $PACKER_SOURCES ${ZSTD_OBJECTS[*]}" \
    g++ "${NFLAGS[@]}" "${READER[@]}" -I"$ZSTD_SRC/lib" -o "$OUT/bench_native_noasm" \
    "$BENCH/native/native_limits.cpp" $READER_SOURCES $PACKER_SOURCES "${ZSTD_OBJECTS[@]}"
