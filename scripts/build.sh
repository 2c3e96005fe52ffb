#!/bin/sh
# Builds everything: the packer and host tests natively, then the bootstrap,
# the Windows tests and the examples with MinGW-w64.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}

"$ROOT/scripts/install-deps.sh" "$BUILD_DIR/deps"
cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)"
