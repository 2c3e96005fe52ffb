#!/bin/sh
# Runs the whole test suite: builds first, then runs the host tests natively
# and the Windows tests under Wine, in one ctest run.
#
#   scripts/test.sh [extra ctest arguments]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
export BUILD_DIR

"$ROOT/scripts/build.sh"
. "$ROOT/scripts/wine-session.sh"
start_wine_session
ctest --test-dir "$BUILD_DIR" --output-on-failure -j 2 "$@"
