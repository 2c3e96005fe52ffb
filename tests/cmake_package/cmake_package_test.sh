#!/bin/sh
# The CMake package and onefile.h, installed into a fresh prefix; one case
# per run.
#
#   cmake_package_test.sh example|header BUILD_DIR SOURCE_DIR
#
# example  examples/cmake_app, configured with the MinGW-w64 toolchain file
#          that the prefix holds, against the prefix, builds hello.exe, which
#          runs under Wine. A
#          build with nothing changed packs nothing; a changed data file,
#          a removed one and a touched source each pack again.
# header   the installed onefile.h compiles as C and C++ without a warning;
#          in a program that was not packed it finds no folder and no
#          splash, and it counts the program as packed only when the
#          program lies in the folder that the environment names; packed
#          as a program, it finds itself in the unpack folder.
set -eu
case_name=$1 build=$2 source=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset ONEFILE_RUNTIME_DIR

fail() {
    printf 'FAIL: %s\n' "$*" >&2
    exit 1
}

cmake --install "$build" --prefix "$work/prefix" >/dev/null

# Runs a Windows program; its output and errors without CRs land in
# $work/out and $work/err, its status in $status.
run() { # program arguments...
    status=0
    wine "$@" </dev/null >"$work/out.crlf" 2>"$work/err.crlf" || status=$?
    tr -d '\r' <"$work/out.crlf" >"$work/out"
    tr -d '\r' <"$work/err.crlf" >"$work/err"
}

case $case_name in
example)
    # A copy, so that the case can change the application's files.
    mkdir "$work/src"
    cp -r "$source/examples/cmake_app" "$source/examples/splash.png" "$work/src/"
    app=$work/src/cmake_app
    cmake -S "$app" -B "$work/app" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$work/prefix/share/cmake/onefile/mingw-w64-x86_64.cmake" \
        -DCMAKE_PREFIX_PATH="$work/prefix" >"$work/log" 2>&1 || fail "configuring failed: $(cat "$work/log")"
    exe=$work/app/hello.exe
    # Builds; $1 says whether hello.exe must be written anew.
    build_and_expect() { # packed|unchanged
        touch "$work/stamp"
        sleep 1
        cmake --build "$work/app" >"$work/log" 2>&1 || fail "the build failed: $(cat "$work/log")"
        if [ -n "$(find "$exe" -newer "$work/stamp")" ]; then
            [ "$1" = packed ] || fail "a build with nothing changed packed hello.exe again"
        else
            [ "$1" = unchanged ] || fail "the build did not pack hello.exe again after: $2"
        fi
    }
    build_and_expect packed "the first build"
    run "$exe" Ada Grace
    printf '%s\n' "Hello, Ada and Grace!" "The folder says: Packed by CMake." "Packed: yes" \
        "Splash ended now: yes" >"$work/expected"
    [ "$status" -eq 0 ] && cmp -s "$work/out" "$work/expected" ||
        fail "hello.exe ended with status $status and printed: $(cat "$work/out" "$work/err")"
    strings -el "$exe" | grep -qx "onefile CMake example" || fail "hello.exe holds no product name"

    build_and_expect unchanged
    echo "Changed." >"$app/app/message.txt"
    build_and_expect packed "a changed data file"
    run "$exe"
    [ "$status" -eq 0 ] && grep -qx "The folder says: Changed." "$work/out" ||
        fail "hello.exe did not read the changed file (status $status): $(cat "$work/out" "$work/err")"
    rm "$app/app/message.txt"
    build_and_expect packed "a removed data file"
    run "$exe"
    [ "$status" -eq 1 ] && grep -q '^cannot read .*\\message.txt$' "$work/err" ||
        fail "hello.exe still holds the removed file (status $status): $(cat "$work/out" "$work/err")"
    touch "$app/greeter.c"
    build_and_expect packed "a touched source"
    ;;
header)
    header=$work/prefix/include/onefile/onefile.h
    [ -f "$header" ] || fail "no include/onefile/onefile.h in the installed prefix"
    x86_64-w64-mingw32-g++ -x c++ -std=c++11 -Wall -Wextra -Wpedantic -Werror -I "$(dirname "$header")" \
        -c "$source/tests/cmake_package/header_probe.c" -o "$work/probe_cpp.o" || fail "onefile.h fails as C++"
    # "fold" begins the path of "folder" but is not its folder.
    mkdir "$work/folder" "$work/fold"
    x86_64-w64-mingw32-gcc -std=c99 -Wall -Wextra -Wpedantic -Werror -I "$(dirname "$header")" \
        "$source/tests/cmake_package/header_probe.c" -o "$work/folder/probe.exe" || fail "onefile.h fails as C"
    # QALVEN_ONEFILE_PARENT names no bootstrap: there is no splash to end.
    probe() { # folder-or-empty expected-line
        if [ -n "$1" ]; then
            QALVEN_ONEFILE_UNPACK_DIRECTORY=$(winepath -w "$1") QALVEN_ONEFILE_PARENT=1 \
                wine "$work/folder/probe.exe" </dev/null >"$work/out.crlf"
        else
            env -u QALVEN_ONEFILE_UNPACK_DIRECTORY -u QALVEN_ONEFILE_PARENT \
                wine "$work/folder/probe.exe" </dev/null >"$work/out.crlf"
        fi
        line=$(tr -d '\r' <"$work/out.crlf")
        [ "$line" = "$2" ] || fail "with the folder '$1' the probe printed '$line', not '$2'"
    }
    probe "" "packed=0 directory= splash=0"
    probe "$work/fold" "packed=0 directory=$(winepath -w "$work/fold") splash=0"
    probe "$work/folder" "packed=1 directory=$(winepath -w "$work/folder") splash=0"
    # Packed as a program, started by the launcher from the unpack folder:
    # per run, and cached in a folder of the case's own.
    cache=$(winepath -w "$work/cache")
    for template in "{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}" "$cache"; do
        "$work/prefix/bin/onefile-pack" --quiet --main probe.exe --console --unpack-to "$template" \
            -o "$work/probe.exe" "$work/folder"
        run "$work/probe.exe"
        case $(cat "$work/out") in
        "packed=1 directory=C:\\"*"\\onefile_"*" splash=0" | "packed=1 directory=$cache\\"?*" splash=0") ;;
        *) fail "the probe packed for $template ended with status $status and printed: $(cat "$work/out" "$work/err")" ;;
        esac
    done
    ;;
*)
    fail "unknown case $case_name"
    ;;
esac
