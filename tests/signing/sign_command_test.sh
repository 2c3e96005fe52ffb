#!/bin/sh
# --sign-command with osslsigncode and a throw-away certificate, made here.
# Every image that --extract writes back verifies against that certificate,
# every other file is the folder's own, an image signed beforehand is left
# as it was (and signed anew with --resign), and each signed executable
# verifies and runs under Wine: the example application (a DLL) and the Lua
# interpreter as a tool (--main), per run and cached. A command that fails
# and one that signs nothing are refused with one line and leave nothing.
# The Windows packer runs its command through cmd.exe, with a blank in its
# TEMP: the "signing" there copies a signed image over the private copy.
# Wine checks no signature when it loads an image; on Windows, Smart App
# Control and WDAC would refuse the unsigned images this test starts from.
#
#   sign_command_test.sh PACKER WINDOWS_PACKER RUNTIME_DIR APP_FOLDER TOOL_FOLDER
set -eu

packer=$1 windows_packer=$2 runtime=$3 app_folder=$4 tool_folder=$5
work=$(mktemp -d "${TMPDIR:-/tmp}/onefile-signing-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The path as a Windows program sees it: under Wine the Unix root is Z:.
windows_path() {
    printf 'Z:%s' "$1" | tr / '\\'
}

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=onefile test signer" \
    -addext extendedKeyUsage=codeSigning -keyout key.pem -out cert.pem 2>/dev/null
sign="osslsigncode sign -certs '$work/cert.pem' -key '$work/key.pem' -h sha256 -in {file} -out {file}.signed && mv {file}.signed {file}"
verifies() { # file
    osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >verify.log 2>&1
}

# The packer's temporary folder holds a blank and a quote, which {file} must survive.
temp="$work/packer temp'"
mkdir "$temp"
pack() { # packer arguments...
    TMPDIR=$temp "$packer" --quiet --runtime-dir "$runtime" "$@"
}

# The example with lua54.dll signed beforehand: a folder holding both kinds.
cp -r "$app_folder" app
osslsigncode sign -certs cert.pem -key key.pem -h sha256 -in app/lua54.dll -out lua54.signed >/dev/null
mv lua54.signed app/lua54.dll
cp app/lua54.dll presigned-lua54.dll
pack --main lua_host.dll -o plain.exe app
"$packer" --list plain.exe >plain.list
grep -qx 'signature: unsigned' plain.list &&
    grep -Eq '^ +[0-9]+  unsigned  lua_host\.dll$' plain.list &&
    grep -Eq '^ +[0-9]+  signed    lua54\.dll$' plain.list &&
    grep -Eq '^ +[0-9]+            main\.lua$' plain.list || fail "--list shows: $(cat plain.list)"

# Writes the executable's files into $1.files and checks them: images
# verify, other files are the folder's own.
check_extracted() { # executable folder
    "$packer" --extract "$1" "$1.files"
    (cd "$1.files" && find . -type f) | while read -r name; do
        if [ "$(head -c 2 "$1.files/$name")" = MZ ]; then
            verifies "$1.files/$name" || fail "$1: $name does not verify: $(cat verify.log)"
        else
            cmp -s "$1.files/$name" "$2/$name" || fail "$1: $name is not the folder's own"
        fi
    done || exit 1
    [ -z "$(ls -A "$temp")" ] || fail "the packer left in its temporary folder: $(ls -A "$temp")"
}

# Wine takes TEMP and TMP from the prefix's registry, not from the Linux
# environment; a batch file sets them for the one process it starts.
mkdir run-temp
run_temp=$(windows_path "$work/run-temp")
run() { # executable arguments...
    executable=$1
    shift
    cat >run.bat <<BAT
@set TMP=$run_temp
@set TEMP=$run_temp
@"$(windows_path "$work/$executable")" $*
@exit /b %ERRORLEVEL%
BAT
    status=0
    wine cmd /c "$(windows_path "$work/run.bat")" </dev/null >out.txt 2>err.txt || status=$?
}

for mode in per-run cached; do
    app_unpack= tool_unpack=
    if [ "$mode" = cached ]; then
        app_unpack="--unpack-to {TEMP}\\signed-app" tool_unpack="--unpack-to {TEMP}\\signed-tool"
    fi
    # shellcheck disable=SC2086 # the unpack options are two words or none
    pack --main lua_host.dll $app_unpack --sign-command "$sign" -o "app-$mode.exe" app
    # shellcheck disable=SC2086
    pack --main lua.exe --arg "{APP_DIR}\\tool.lua" --console $tool_unpack --sign-command "$sign" \
        -o "tool-$mode.exe" "$tool_folder"
    for executable in "app-$mode.exe" "tool-$mode.exe"; do
        verifies "$executable" || fail "$executable does not verify: $(cat verify.log)"
        "$packer" --list "$executable" | grep -qx 'signature: signed' || fail "$executable is listed unsigned"
    done
    check_extracted "app-$mode.exe" app
    cmp -s "app-$mode.exe.files/lua54.dll" presigned-lua54.dll || fail "the signed lua54.dll was signed again"
    check_extracted "tool-$mode.exe" "$tool_folder"
    for start in first second; do
        run "app-$mode.exe" --exit 7 Ada
        [ "$status" -eq 7 ] && grep -q '^Hello, Ada!' out.txt ||
            fail "app-$mode.exe, $start start: status $status: $(cat out.txt err.txt)"
        run "tool-$mode.exe" Ada
        [ "$status" -eq 0 ] && tr -d '\r' <out.txt | grep -qx '1	\[Ada\]' ||
            fail "tool-$mode.exe, $start start: status $status: $(cat out.txt err.txt)"
        [ "$mode" = cached ] || [ -z "$(ls -A run-temp)" ] || fail "left behind in TEMP: $(ls -A run-temp)"
    done
done

pack --main lua_host.dll --resign --sign-command "$sign" -o resigned.exe app
"$packer" --extract resigned.exe resigned
verifies resigned/lua54.dll && ! cmp -s resigned/lua54.dll presigned-lua54.dll ||
    fail "--resign did not sign lua54.dll anew"

# Refusals: one line naming the first image and the command's last line;
# no output and nothing in the temporary folder.
refused() { # expected-text packer-arguments...
    expected=$1
    shift
    status=0
    pack --main lua_host.dll -o refused.exe "$@" app 2>err.txt || status=$?
    [ "$status" -eq 1 ] && [ "$(wc -l <err.txt)" -eq 1 ] && grep -qF "$expected" err.txt ||
        fail "status $status, expected one line with '$expected': $(cat err.txt)"
    [ -z "$(ls -A "$temp")" ] && [ -z "$(ls -d refused.exe* 2>/dev/null)" ] ||
        fail "a refused signing left files behind"
}
refused "the sign command failed on 'lua_host.dll' with status 3: no key for" \
    --sign-command 'echo no key for {file} >&2; exit 3'
refused "the sign command left 'lua_host.dll' without a signature: looked at $temp/onefile-sign-" \
    --sign-command 'echo looked at {file}'

# The Windows packer through cmd.exe, in a TEMP with a blank.
mkdir dll-only "windows temp"
cp app/lua_host.dll app/main.lua dll-only/
osslsigncode sign -certs cert.pem -key key.pem -h sha256 -in app/lua_host.dll -out presigned-host.dll >/dev/null
windows_pack() { # command
    cat >pack.bat <<BAT
@set TMP=$(windows_path "$work/windows temp")
@set TEMP=$(windows_path "$work/windows temp")
@"$(windows_path "$windows_packer")" --quiet --runtime-dir "$(windows_path "$runtime")" --main lua_host.dll ^
  --write-attached-data "$(windows_path "$work/windows.qvd")" --sign-command "$1" "$(windows_path "$work/dll-only")"
@exit /b %ERRORLEVEL%
BAT
    status=0
    wine cmd /c "$(windows_path "$work/pack.bat")" </dev/null >out.txt 2>err.txt || status=$?
}
windows_pack "copy /y $(windows_path "$work/presigned-host.dll") {file} >nul"
[ "$status" -eq 0 ] || fail "onefile-pack.exe failed to sign through cmd.exe: $(cat err.txt)"
pack --attached-data windows.qvd -o windows.exe
"$packer" --extract windows.exe windows-files
cmp -s windows-files/lua_host.dll presigned-host.dll || fail "onefile-pack.exe did not pack the signed copy"
windows_pack "echo no certificate for {file} & exit /b 5"
[ "$status" -eq 1 ] && tr -d '\r' <err.txt | grep -qF "with status 5: no certificate for \"Z:\\" ||
    fail "onefile-pack.exe: status $status: $(cat err.txt)"
[ "$(ls -d windows.qvd*)" = windows.qvd ] && [ -z "$(ls -A "windows temp")" ] ||
    fail "onefile-pack.exe left files behind"
echo "signed, verified and ran; refusals left nothing"
