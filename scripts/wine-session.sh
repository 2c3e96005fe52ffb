# Sourced by the scripts that run Windows programs. Makes the build's private
# Wine prefix once, keeps one wineserver running for the whole session (a
# warm start costs tens of milliseconds instead of seconds), and starts a
# virtual display when there is none. Everything started here is stopped on
# exit.
#
# Expects BUILD_DIR to be set.

export WINEPREFIX="$BUILD_DIR/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# Wine names Unix files in the locale's character set: without a UTF-8
# locale (a root shell often has none) no name outside ASCII can be made.
case $(locale charmap 2>/dev/null) in
UTF-8) ;;
*) export LC_ALL=C.UTF-8 ;;
esac

onefile_xvfb_pid=""

# What the prefix was made for: the Wine version and every installed Wine
# package with its architecture and version. A prefix made for another
# installation may start no program at all: one made before Wine's 32-bit
# part (wine32:i386) came fails every start with "could not load
# kernel32.dll, status c0000135".
wine_installation_stamp() {
    wine --version 2>/dev/null || true
    if command -v dpkg-query >/dev/null 2>&1; then
        dpkg-query -W -f='${db:Status-Status} ${Package}:${Architecture} ${Version}\n' \
            'wine*' 'libwine*' 2>/dev/null | grep '^installed ' | sort || true
    fi
}

# The ids of the processes of this session: every Wine program and the
# wineserver carry its WINEPREFIX, and see the same root (the Wine 10 session
# runs in a chroot, with the same prefix path).
wine_session_processes() {
    root=$(readlink /proc/$$/root)
    for d in /proc/[0-9]*; do
        [ "${d#/proc/}" = "$$" ] && continue
        # A process whose first thread has ended shows them only through
        # its other threads.
        for t in "$d" "$d"/task/*; do
            [ "$(readlink "$t/root" 2>/dev/null)" = "$root" ] || continue
            { tr '\000' '\n' <"$t/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" &&
                echo "${d#/proc/}"
            break
        done
    done
    true
}

# A wineserver that stops answering leaves every program of the session, and
# `wineserver -k` too, waiting on it for good: then the session is killed.
stop_wine_session() {
    stopped=0
    timeout 20 wineserver -k 2>/dev/null || stopped=$?
    if [ "$stopped" -eq 124 ]; then
        # shellcheck disable=SC2046 # the ids are split into words
        kill -9 $(wine_session_processes) 2>/dev/null || true
    fi
    if [ -n "$onefile_xvfb_pid" ]; then
        kill "$onefile_xvfb_pid" 2>/dev/null || true
    fi
}

start_wine_session() {
    if [ -z "${DISPLAY:-}" ]; then
        display=99
        while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
            display=$((display + 1))
        done
        Xvfb ":$display" -screen 0 1920x1080x24 -wr -nolisten tcp >/dev/null 2>&1 &
        onefile_xvfb_pid=$!
        export DISPLAY=":$display"
        for _ in $(seq 50); do
            [ -e "/tmp/.X11-unix/X$display" ] && break
            sleep 0.1
        done
    fi
    trap stop_wine_session EXIT INT TERM
    # A wineserver that was started without a display tells every program
    # that the screen is 1024x768: start ours only now.
    wineserver -k 2>/dev/null || true
    stamp_file="$WINEPREFIX/onefile-wine-installation"
    stamp=$(wine_installation_stamp)
    if [ -f "$WINEPREFIX/system.reg" ] && [ "$(cat "$stamp_file" 2>/dev/null)" != "$stamp" ]; then
        echo "wine-session: $WINEPREFIX was made for another Wine installation; making it again"
        # Emptied, not removed: scripts/test-wine10.sh mounts a prefix there.
        find "$WINEPREFIX" -mindepth 1 -delete
    fi
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "wine-session: creating the Wine prefix $WINEPREFIX"
        wineboot -i </dev/null >/dev/null 2>&1
        wineserver -w
        printf '%s\n' "$stamp" >"$stamp_file"
    fi
    wineserver -p
    # Warm the prefix before any test starts: Wine's background services must
    # not inherit a test's output pipe.
    wine wineboot </dev/null >/dev/null 2>&1
    # A crashing program must end, not wait for someone to close a dialog.
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
        </dev/null >/dev/null 2>&1
}

# For the tests: holds the desktop until the session ends (see
# tests/windows/support/desktop_keeper.cpp), once the build has made the
# keeper. The benchmark leaves the desktop to come and go as it does.
keep_wine_desktop() {
    keeper="$BUILD_DIR/windows/tests/windows/desktop_keeper.exe"
    if [ -f "$keeper" ]; then
        wine "$keeper" </dev/null >/dev/null 2>&1 &
    fi
}

# Runs ctest with the given arguments for at most ONEFILE_CTEST_LIMIT_S
# seconds (default 1500, several times what the whole suite takes). Every
# program of the session holds the runner's output open, and a wineserver that
# stops answering keeps them all waiting: ctest would then wait for good, its
# own time limits notwithstanding. Past the limit, what still runs is listed
# and the session is killed.
bounded_ctest() {
    limit=${ONEFILE_CTEST_LIMIT_S:-1500}
    status=0
    timeout --kill-after=10 "$limit" ctest "$@" || status=$?
    if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
        echo "test: ctest still ran after $limit s; the session's programs then:" >&2
        for id in $(wine_session_processes); do
            printf '  %s\n' "$(ps -o etimes=,time=,args= -p "$id" 2>/dev/null | cut -c1-200)" >&2
        done
        # shellcheck disable=SC2046 # the ids are split into words
        kill -9 $(wine_session_processes) 2>/dev/null || true
    fi
    return "$status"
}
