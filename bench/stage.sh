#!/usr/bin/env bash
# git_action "stage" of 1,000 modified files through the server vs the same
# `git add -A -- <paths>` run directly, on a clone of the kernel tree.
#
# The shared corpus (corpus-setup.sh) is left untouched: this script makes its own local
# clone beside it, once; every round rewrites the picked files, so each stage has the
# same fresh work to do.
#
# usage: bench/stage.sh [rounds]      (BUILD=<build dir>, default ./build)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
WORK=${GIT_BENCH_DATA:-$HOME/.cache/nivern-bench-git}/linux-stage
BUILD=${BUILD:-$here/../build}
CLIENT=$BUILD/bench/stage_client
rounds=${1:-15}

. "$here/kernel_clone.sh"

if kernel_clone "$WORK" stage; then
  git -C "$WORK" ls-files -- '*.c' '*.h' | awk 'NR % 37 == 0 && n < 1000 { print; n++ }' > "$WORK/.git/bench-stage-picks"
  git -C "$WORK" status --porcelain > /dev/null   # settle the index once
  touch "$WORK/.git/nivern-bench-ready"
fi

[ -x "$CLIENT" ] || { echo "build the stage_client target in $BUILD first" >&2; exit 1; }
"$CLIENT" "$WORK" "$WORK/.git/bench-stage-picks" "$rounds"
