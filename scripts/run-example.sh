#!/bin/sh
# The example from scratch on Debian 12, as root: builds everything
# (installing what is missing), then runs the example Lua application, packed
# into one executable, under Wine with a few arguments. Its splash comes and
# goes (on a virtual display when there is none), it prints its greeting and
# table, and it ends with the exit status its arguments ask for. Exits 0 when
# that status came back. Quick when everything is built already.
#
#   scripts/run-example.sh
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
export BUILD_DIR
APP=$BUILD_DIR/windows/lua-app.exe
ASKED_STATUS=3

"$ROOT/scripts/build.sh"
# Wine reads the arguments in the locale's character set.
export LC_ALL=C.UTF-8
. "$ROOT/scripts/wine-session.sh"
start_wine_session

# The splash is the app's X window of the picture's size. It is up for a
# fraction of a second, so the screen is looked at as often as possible.
SPLASH_SIZE=$(identify -format %wx%h "$ROOT/examples/splash.png")
watch_splash() { # app-pid result-file
    seen=no
    while kill -0 "$1" 2>/dev/null; do
        if xwininfo -root -tree 2>/dev/null | grep -Eq "\"lua-app\\.exe\"\\) +$SPLASH_SIZE\\+"; then
            seen=yes
        fi
    done
    echo "$seen" > "$2"
}

echo "run-example: lua-app.exe \"Ada Lovelace\" Jūratė --exit $ASKED_STATUS"
wine "$APP" "Ada Lovelace" Jūratė --exit "$ASKED_STATUS" &
app=$!
splash_result=$(mktemp)
watch_splash "$app" "$splash_result" &
watcher=$!
status=0
wait "$app" || status=$?
wait "$watcher"
if [ "$(cat "$splash_result")" = yes ]; then
    echo "run-example: the splash was on screen while the app started, and is gone"
else
    echo "run-example: the splash came and went too fast to be seen"
fi
rm -f "$splash_result"

if [ "$status" -eq "$ASKED_STATUS" ]; then
    echo "run-example: lua-app.exe exited with status $status, as its arguments asked: OK"
else
    echo "run-example: lua-app.exe exited with status $status, but its arguments asked for $ASKED_STATUS: FAILED"
    exit 1
fi
