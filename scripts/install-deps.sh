#!/bin/sh
# Installs everything the build and the tests need on Debian 12 (run as root).
# Idempotent: when all is in place it only checks and returns within a second.
#
#   scripts/install-deps.sh [DEPS_DIR]
#
# DEPS_DIR (default: build/deps) receives the third-party sources that the
# build compiles: zstd (for both packers and the bootstrap), expat, libpng
# and zlib (for both packers: the manifest check and the splash image's
# pixels) and Lua (for the Windows side), taken from Debian's source
# packages at pinned versions and never committed. Debian 12's own
# versions, from bookworm rather than bookworm-security, whose source
# mirror does not keep every version it lists.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
DEPS_DIR=${1:-$ROOT/build/deps}

ZSTD_SOURCE_VERSION=1.5.4+dfsg2-5
LUA_SOURCE_VERSION=5.4.4-3+deb12u1
EXPAT_SOURCE_VERSION=2.5.0-1+deb12u2
PNG_SOURCE_VERSION=1.6.39-2+deb12u5
ZLIB_SOURCE_VERSION=1:1.2.13.dfsg-1

PACKAGES="cmake ninja-build make g++ pkg-config dpkg-dev file
g++-mingw-w64-x86-64 wine wine64 xvfb xauth x11-utils imagemagick
zstd libcli11-dev googletest icoutils openssl osslsigncode debootstrap lld llvm"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

# A mirror in the middle of a sync fails one index; what is needed may well
# be in the others, and a missing package shows up when it is asked for.
refresh_package_lists() {
    apt-get update -qq || echo "install-deps: apt-get update reported errors; going on with the lists it has" >&2
}

updated=no
if [ -n "$missing" ]; then
    echo "install-deps: installing$missing"
    refresh_package_lists
    updated=yes
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi

# Source packages need deb-src entries. They are derived from the machine's own
# Debian sources, so no mirror is named here.
if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    SRC_LIST=/etc/apt/sources.list.d/onefile-deb-src.sources
    if [ ! -f "$SRC_LIST" ]; then
        sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources > "$SRC_LIST"
        updated=no
    fi
elif [ ! -f /etc/apt/sources.list.d/onefile-deb-src.list ]; then
    grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' > /etc/apt/sources.list.d/onefile-deb-src.list
    updated=no
fi

fetch_source() { # package version; unpacked into DEPS_DIR/<package>-<version without epoch>/src
    pkg=$1 version=$2 folder=$DEPS_DIR/$1-${2#*:}
    [ -f "$folder/.unpacked" ] && return 0
    if [ "$updated" = no ]; then refresh_package_lists; updated=yes; fi
    mkdir -p "$folder"
    (
        cd "$folder"
        apt-get source -qq --download-only "$pkg=$version" 2>&1 | grep -v unsandboxed || true
        ls ./*.dsc >/dev/null
        dsc=$(ls ./*.dsc | head -n 1)
        rm -rf src
        dpkg-source --no-check -x "$dsc" src >/dev/null
        touch .unpacked
    )
    echo "install-deps: unpacked $pkg $version"
}

fetch_source libzstd "$ZSTD_SOURCE_VERSION"
fetch_source lua5.4 "$LUA_SOURCE_VERSION"
fetch_source expat "$EXPAT_SOURCE_VERSION"
fetch_source libpng1.6 "$PNG_SOURCE_VERSION"
fetch_source zlib "$ZLIB_SOURCE_VERSION"
