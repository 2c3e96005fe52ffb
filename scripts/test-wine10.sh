#!/bin/sh
# Runs the tests that start Windows programs under Wine 10, Debian 13's, on
# this Debian 12 machine: in a chroot that is made once and shared by every
# build tree here, with a Wine prefix of its own in the build folder. Host
# tests that need no Windows (label "host") run only in scripts/test.sh.
# Expects a finished build (scripts/build.sh); runs as root.
#
#   scripts/test-wine10.sh [extra ctest arguments]
#   BUILD_DIR=/other/build scripts/test-wine10.sh -R Pattern
#   scripts/test-wine10.sh --run COMMAND [ARGUMENTS]   (any command in the session)
#
# The chroot's mounts live in a private mount namespace: they vanish when the
# run ends however it ends, and runs from other build trees see none of them.
# Inside it, the build folder's wineprefix is the Wine 10 prefix
# (wineprefix-wine10), since the tests name that path.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
SELF=$ROOT/scripts/test-wine10.sh
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
CHROOT=/var/cache/onefile/wine10-trixie
SUITE=trixie
# What the tests run: Wine and a display, the shell tests' tools (install,
# cpack, objdump, signing) and the image tools some tests read screens with.
# Only the 64-bit Wine: every program here is x86-64, and some kernels run
# no 32-bit program at all (with wine32 installed, `wine` then fails with
# "Exec format error"), as on the machines this was first run on.
PACKAGES="wine wine64 xvfb xauth x11-utils procps cmake
binutils-mingw-w64-x86-64 osslsigncode openssl dpkg-dev file icoutils zstd imagemagick"

fail() {
    echo "test-wine10: $*" >&2
    exit 1
}

# The machine's own Debian sources with the release renamed: no mirror is
# named here.
chroot_sources() {
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed "s/\\b$codename\\b/$SUITE/g" /etc/apt/sources.list.d/debian.sources
    else
        grep '^deb ' /etc/apt/sources.list | sed "s/\\b$codename\\b/$SUITE/g"
    fi
}

host_mirror() {
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/debian.sources | grep -v security | head -n 1
    else
        grep '^deb ' /etc/apt/sources.list | grep -v security | awk '{ print $2; exit }'
    fi | awk '{ print $1 }'
}

# Makes the chroot when it is missing or incomplete (each step writes its
# stamp last) and installs what PACKAGES lists. Holds the lock exclusively.
ensure_chroot() {
    if [ ! -f "$CHROOT/.onefile-debootstrap" ]; then
        if grep -qF " $CHROOT/" /proc/mounts; then
            fail "something is mounted inside $CHROOT; unmount it first"
        fi
        command -v debootstrap >/dev/null 2>&1 ||
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
        mirror=$(host_mirror)
        [ -n "$mirror" ] || fail "no Debian mirror in this machine's apt sources"
        echo "test-wine10: making the Debian $SUITE chroot $CHROOT from $mirror"
        rm -rf "$CHROOT" "$CHROOT.packages"
        mkdir -p "$CHROOT"
        debootstrap --variant=minbase "$SUITE" "$CHROOT" "$mirror" >"$CHROOT.log" 2>&1 ||
            { tail -n 20 "$CHROOT.log" >&2; fail "debootstrap failed; see $CHROOT.log"; }
        touch "$CHROOT/.onefile-debootstrap"
    fi
    if [ "$(cat "$CHROOT/.onefile-packages" 2>/dev/null)" != "$PACKAGES" ]; then
        echo "test-wine10: installing Wine 10 and the test tools into $CHROOT"
        rm -f "$CHROOT/etc/apt/sources.list"
        chroot_sources >"$CHROOT/etc/apt/sources.list.d/debian.sources"
        cp /etc/resolv.conf "$CHROOT/etc/resolv.conf"
        unshare -m --propagation private env ONEFILE_WINE10_STAGE=namespace \
            ONEFILE_WINE10_ACTION=install "$SELF" >"$CHROOT.log" 2>&1 ||
            { tail -n 20 "$CHROOT.log" >&2; fail "installing the packages failed; see $CHROOT.log"; }
        printf '%s' "$PACKAGES" >"$CHROOT/.onefile-packages"
    fi
}

# In the private mount namespace: mounts, the chroot, and the unmounting in
# reverse order on the way out (also on Ctrl+C or TERM).
mounted=""
unmount_all() {
    for m in $mounted; do
        umount "$m" 2>/dev/null || umount -l "$m"
    done
    mounted=""
}
bind() { # source target
    mkdir -p "$2"
    mount --bind "$1" "$2"
    mounted="$2 $mounted"
}

in_namespace() {
    trap unmount_all EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    for d in /proc /sys /dev /dev/pts /dev/shm /tmp; do
        bind "$d" "$CHROOT$d"
    done
    if [ "${ONEFILE_WINE10_ACTION:-test}" = install ]; then
        # shellcheck disable=SC2086 # the list is split into its names
        chroot "$CHROOT" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
            sh -c 'apt-get update -qq && apt-get install -y -qq --no-install-recommends "$@"' sh $PACKAGES
        return
    fi
    # The build tree, its sources and these scripts, at the same paths, and
    # the modules of the CMake that made the build: the test lists of
    # GoogleTest programs are read through them at test time.
    for tree in $(printf '%s\n' "$ROOT" "$SOURCE_DIR" "$BUILD_DIR" "$CMAKE_MODULES" | sort -u); do
        bind "$tree" "$CHROOT$tree"
    done
    mkdir -p "$BUILD_DIR/wineprefix" "$BUILD_DIR/wineprefix-wine10"
    bind "$BUILD_DIR/wineprefix-wine10" "$CHROOT$BUILD_DIR/wineprefix"
    status=0
    # Wine names Unix files in the locale's character set: names outside
    # ASCII need a UTF-8 locale, which C.UTF-8 is on every Debian.
    chroot "$CHROOT" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
        TERM="${TERM:-dumb}" BUILD_DIR="$BUILD_DIR" ONEFILE_WINE10_STAGE=chroot "$SELF" "$@" || status=$?
    return $status
}

# In the chroot: a Wine session as for Wine 8, then the tests.
in_chroot() {
    . "$ROOT/scripts/wine-session.sh"
    start_wine_session
    keep_wine_desktop
    echo "test-wine10: $(wine --version)"
    status=0
    if [ "${1:-}" = --run ]; then
        shift
        "$@" || status=$?
    else
        bounded_ctest --test-dir "$BUILD_DIR" -LE '^host$' --output-on-failure -j 2 "$@" || status=$?
    fi
    return $status
}

case ${ONEFILE_WINE10_STAGE:-} in
namespace)
    in_namespace "$@"
    exit $?
    ;;
chroot)
    in_chroot "$@"
    exit $?
    ;;
esac

[ "$(id -u)" -eq 0 ] || fail "runs as root (it makes a chroot and mounts into it)"
BUILD_DIR=$(cd "$BUILD_DIR" 2>/dev/null && pwd) || fail "no build folder $BUILD_DIR; run scripts/build.sh"
SOURCE_DIR=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$BUILD_DIR/CMakeCache.txt" 2>/dev/null) ||
    true
[ -n "$SOURCE_DIR" ] || fail "$BUILD_DIR holds no configured build; run scripts/build.sh"
CMAKE_MODULES=$(sed -n 's/^CMAKE_ROOT:INTERNAL=//p' "$BUILD_DIR/CMakeCache.txt")
export BUILD_DIR SOURCE_DIR CMAKE_MODULES

mkdir -p "$(dirname "$CHROOT")"
exec 9>"$CHROOT.lock"
flock -x 9
ensure_chroot
# Other runs may share the chroot now; a run that must change it waits.
flock -s 9
status=0
unshare -m --propagation private env ONEFILE_WINE10_STAGE=namespace "$SELF" "$@" || status=$?
exit $status
