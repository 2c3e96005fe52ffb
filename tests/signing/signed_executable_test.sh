#!/bin/sh
# Signs a copy of a packed executable (the example application) with a
# throw-away certificate, checks that the signature verifies against that
# certificate, and runs the signed copy under Wine in a private temporary
# folder: it must greet, end with the status asked for and leave the folder
# empty. Signing appends a certificate table after the attached data and
# changes the header's checksum and security directory; a bootstrap that
# found its data by the file's end or refused a changed header would fail.
#
#   signed_executable_test.sh PACKED_LUA_APP_EXE
set -eu

packed=$(realpath "$1")
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
    -keyout key.pem -out cert.pem 2>/dev/null
osslsigncode sign -certs cert.pem -key key.pem -n "onefile signing test" -h sha256 \
    -in "$packed" -out signed.exe >sign.log 2>&1 || { cat sign.log; fail "osslsigncode sign failed"; }
osslsigncode verify -CAfile cert.pem -in signed.exe >verify.log 2>&1 ||
    { cat verify.log; fail "the signature does not verify"; }

# Wine takes TEMP and TMP from the prefix's registry, not from the Linux
# environment; a batch file sets them for the one process it starts.
mkdir temp
temp=$(windows_path "$work/temp")
cat >run.bat <<BAT
@set TMP=$temp
@set TEMP=$temp
@"$(windows_path "$work/signed.exe")" --exit 7 Ada
@exit /b %ERRORLEVEL%
BAT
status=0
wine cmd /c "$(windows_path "$work/run.bat")" </dev/null >out.txt 2>err.txt || status=$?

[ "$status" -eq 7 ] || { cat out.txt err.txt; fail "the signed executable ended with status $status, not 7"; }
grep -q '^Hello, Ada!' out.txt || { cat out.txt err.txt; fail "the signed executable did not greet"; }
grep -qF "Unpacked to $temp\\onefile_" out.txt || { cat out.txt; fail "it did not unpack into its TEMP"; }
leftovers=$(ls -A temp)
[ -z "$leftovers" ] || fail "left behind in TEMP: $leftovers"
echo "signed, verified, ran with status 7 and left TEMP empty"
