#!/bin/sh
# The installed program, away from the build tree; one case per run.
#
#   installed_program_test.sh linux|windows|deb BUILD_DIR WINDOWS_BUILD_DIR APP_FOLDER SPLASH VERSION
#
# linux    `cmake --install` into a prefix that is then moved; the moved
#          packer, with nothing on PATH, packs the example, which runs.
# windows  the same for onefile-pack.exe under Wine: it imports system DLLs
#          only, writes the bytes the Linux packer writes from the same folder
#          and options, what it writes runs, and it refuses a linked folder.
# deb      `cpack -G DEB`: the package holds the packer and every staged
#          template and depends on no MinGW or Wine package, nor on libzstd,
#          whose other versions would write other frames.
set -eu
case_name=$1 build=$2 windows_build=$3 app_folder=$4 splash=$5 version=$6
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Only the packer's own folder may tell it where its templates are.
unset ONEFILE_RUNTIME_DIR

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Installs a build and moves the prefix: a program that still works found
# its files relative to itself. The moved prefix is $work/moved.
install_and_move() { # build-dir
    cmake --install "$1" --prefix "$work/installed" >/dev/null
    mv "$work/installed" "$work/moved"
    if grep -rlF "$build" "$work/moved"; then
        fail "these installed files name the build tree $build"
    fi
}

# The example ends with the status its arguments ask for.
run_example() { # exe
    status=0
    wine "$1" "Ada Lovelace" --exit 3 </dev/null || status=$?
    [ "$status" -eq 3 ] || fail "$1 ended with status $status instead of 3"
}

windows_path() {
    printf 'Z:%s' "$1" | tr / '\\'
}

case $case_name in
linux)
    install_and_move "$build"
    mkdir "$work/elsewhere"
    cd "$work/elsewhere"
    for variant in "" --console; do
        env -i PATH= "$work/moved/bin/onefile-pack" --main lua_host.dll --splash "$splash" $variant \
            -o "app$variant.exe" "$app_folder" || fail "the installed packer failed"
        run_example "$work/elsewhere/app$variant.exe"
    done
    ;;
windows)
    install_and_move "$windows_build"
    packer=$work/moved/bin/onefile-pack.exe
    for dll in $(x86_64-w64-mingw32-objdump -p "$packer" | sed -n 's/^\tDLL Name: //p' | tr A-Z a-z); do
        case $dll in
        kernel32.dll | msvcrt.dll | advapi32.dll | user32.dll | shell32.dll | ole32.dll) ;;
        *) fail "onefile-pack.exe imports $dll, which Windows does not have" ;;
        esac
    done
    mkdir "$work/linux" "$work/windows"
    set -- --quiet --main lua_host.dll --product-name "Lua example" --file-version 1.2.3
    "$build/bin/onefile-pack" "$@" --splash "$splash" -o "$work/linux/app.exe" "$app_folder"
    wine "$packer" "$@" --splash "$(windows_path "$splash")" -o "$(windows_path "$work/windows/app.exe")" \
        "$(windows_path "$app_folder")" </dev/null || fail "onefile-pack.exe failed"
    cmp "$work/linux/app.exe" "$work/windows/app.exe" ||
        fail "onefile-pack.exe wrote other bytes than onefile-pack"
    run_example "$work/windows/app.exe"
    # Each packer reads the other's executables alike.
    "$build/bin/onefile-pack" --list "$work/windows/app.exe" >"$work/linux.list" || fail "onefile-pack --list failed"
    wine "$packer" --list "$(windows_path "$work/linux/app.exe")" </dev/null >"$work/windows.list" ||
        fail "onefile-pack.exe --list failed"
    tr -d '\r' <"$work/windows.list" | cmp -s - "$work/linux.list" ||
        fail "onefile-pack.exe lists other text than onefile-pack: $(cat "$work/windows.list")"
    wine "$packer" --extract "$(windows_path "$work/linux/app.exe")" "$(windows_path "$work/files")" </dev/null ||
        fail "onefile-pack.exe --extract failed"
    diff -r "$app_folder" "$work/files" >/dev/null || fail "onefile-pack.exe extracted other files than were packed"
    # libstdc++ on Windows takes no reparse point for a link and would pack
    # the linked folder's files. Wine shows a Unix link to a folder as a
    # reparse point; on Windows so are symbolic links and junctions.
    cp -r "$app_folder" "$work/linked"
    ln -s "$work/windows" "$work/linked/elsewhere"
    status=0
    wine "$packer" --quiet --main lua_host.dll -o "$(windows_path "$work/linked.exe")" \
        "$(windows_path "$work/linked")" </dev/null 2>"$work/error" || status=$?
    [ "$status" -eq 1 ] && grep -q "'elsewhere' in the application folder is a symbolic link" "$work/error" ||
        fail "onefile-pack.exe did not refuse a linked folder (status $status): $(cat "$work/error")"
    [ ! -e "$work/linked.exe" ] || fail "onefile-pack.exe left linked.exe behind"
    # An output inside the folder it packs, spelled in other letter case.
    status=0
    wine "$packer" --quiet --main lua_host.dll -o "$(windows_path "$work")\\LINKED\\new.exe" \
        "$(windows_path "$work/linked")" </dev/null 2>"$work/error" || status=$?
    [ "$status" -eq 1 ] && grep -q "lies inside the application folder" "$work/error" ||
        fail "onefile-pack.exe wrote into the folder it packs (status $status): $(cat "$work/error")"
    # Names outside ASCII, in the folder, the main file and the output: on
    # Windows they reach the files only as UTF-16.
    named=$work/Zürich
    mkdir "$named"
    cp -r "$app_folder" "$named/äpp"
    mv "$named/äpp/lua_host.dll" "$named/äpp/Grüße.dll"
    LC_ALL=C.UTF-8 wine "$packer" --quiet --main Grüße.dll -o "$(windows_path "$named/Grüße.exe")" \
        "$(windows_path "$named/äpp")" </dev/null 2>"$work/error" ||
        fail "onefile-pack.exe failed on names outside ASCII: $(cat "$work/error")"
    run_example "$named/Grüße.exe"
    ;;
deb)
    cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" >/dev/null
    deb=$work/onefile-pack_${version}_$(dpkg --print-architecture).deb
    [ -f "$deb" ] || fail "cpack made no $(basename "$deb")"
    depends=$(dpkg-deb -f "$deb" Depends)
    echo "Depends: $depends"
    case $depends in
    *mingw* | *wine*) fail "the package depends on the Windows toolchain" ;;
    *libzstd*) fail "the package depends on libzstd: the packer must carry its own compressor" ;;
    *libstdc++6*) ;;
    *) fail "the package lacks the libraries the packer links (dpkg-shlibdeps did not run?)" ;;
    esac
    contents=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
    for file in bin/onefile-pack $(cd "$build/share" && find onefile-pack -type f | sed 's|^|share/|'); do
        echo "$contents" | grep -qx "\./usr/$file" || fail "the package lacks /usr/$file"
    done
    ;;
*)
    fail "unknown case $case_name"
    ;;
esac
