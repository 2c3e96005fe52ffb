#!/bin/sh
# Runs the whole test suite: builds first, then runs the host tests natively
# and the Windows tests under Debian 12's Wine 8, in one ctest run, and then
# the tests that start Windows programs once more under Debian 13's Wine 10
# (scripts/test-wine10.sh). Both runs always happen; the status is 0 only
# when both pass.
#
#   scripts/test.sh [extra ctest arguments, given to both runs]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
export BUILD_DIR

"$ROOT/scripts/build.sh"
wine8=0
(
    . "$ROOT/scripts/wine-session.sh"
    start_wine_session
    keep_wine_desktop
    echo "test: Wine 8 (Debian 12): $(wine --version)"
    bounded_ctest --test-dir "$BUILD_DIR" --output-on-failure -j 2 "$@"
) || wine8=$?
wine10=0
echo "test: Wine 10 (Debian 13, in a chroot)"
"$ROOT/scripts/test-wine10.sh" "$@" || wine10=$?
echo "test: Wine 8 run $([ $wine8 -eq 0 ] && echo passed || echo FAILED)," \
    "Wine 10 run $([ $wine10 -eq 0 ] && echo passed || echo FAILED)"
[ $wine8 -eq 0 ] && [ $wine10 -eq 0 ]
