#!/bin/bash
# Builds an earlier commit of the project, the benchmark's baseline, with
# that commit's own scripts/build.sh: its sources are exported from the
# repository (git archive) into DIR/src, built into DIR/build, logged to
# DIR/build.log. Rebuilds only when the commit changed or the build is
# incomplete; the third-party sources that commit's scripts fetch are
# copied from the current build's deps folder when it has them, so that
# nothing is downloaded twice.
#
#   BUILD_DIR=... bench/baseline.sh REV DIR
# Prints the packer's path: DIR/build/bin/onefile-pack.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
rev=$1 dir=$2
commit=$(git -C "$ROOT" rev-parse --verify --quiet "$rev^{commit}") || {
    echo "bench/baseline: no commit $rev" >&2
    exit 2
}
mkdir -p "$dir"
if [ "$(cat "$dir/source.stamp" 2>/dev/null)" != "$commit" ]; then
    rm -rf "$dir/src" "$dir/build"
    mkdir -p "$dir/src"
    git -C "$ROOT" archive "$commit" | tar -x -C "$dir/src"
    echo "$commit" > "$dir/source.stamp"
fi
mkdir -p "$dir/build/deps"
for package in $(sed -n 's/^fetch_source \([^ ]*\) .*/\1/p' "$dir/src/scripts/install-deps.sh"); do
    for source in "${BUILD_DIR:?}/deps/$package"-*; do
        [ -f "$source/.unpacked" ] && [ ! -e "$dir/build/deps/$(basename "$source")" ] &&
            cp -a "$source" "$dir/build/deps/"
    done
done
if ! BUILD_DIR=$dir/build "$dir/src/scripts/build.sh" > "$dir/build.log" 2>&1; then
    # As for the current build: the example may not build, the bootstrap
    # and the packer must.
    echo "bench/baseline: $rev's scripts/build.sh failed (see $dir/build.log)" >&2
fi
[ -x "$dir/build/bin/onefile-pack" ] || {
    echo "bench/baseline: $rev built no packer (see $dir/build.log)" >&2
    exit 1
}
echo "$dir/build/bin/onefile-pack"
