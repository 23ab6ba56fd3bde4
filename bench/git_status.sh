#!/usr/bin/env bash
# git_status through the server vs the same `git status --porcelain=v1 -z --branch` run
# directly, on the kernel tree with a few hundred modified, staged, deleted, renamed and
# untracked files.
#
# The shared corpus (corpus-setup.sh) is left untouched: this script makes its own local
# clone beside it, once, and changes files there.
#
# usage: bench/git_status.sh [rounds]      (BUILD=<build dir>, default ./build)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
WORK=${GIT_BENCH_DATA:-$HOME/.cache/nivern-bench-git}/linux
BUILD=${BUILD:-$here/../build}
CLIENT=$BUILD/bench/git_status_client
rounds=${1:-21}

. "$here/kernel_clone.sh"

if kernel_clone "$WORK" git_status; then
  cd "$WORK"
  git ls-files -- 'drivers/*.c' | awk 'NR % 97 == 0' | head -n 300 > .git/bench-picks
  n=0
  while IFS= read -r f; do
    n=$((n + 1))
    case $((n % 10)) in
      0) git rm -q -- "$f" ;;                           # staged deletion
      1) rm -- "$f" ;;                                  # deletion in the work tree
      2) git mv -- "$f" "$f.moved" ;;                   # staged rename
      3) printf '/* bench */\n' >> "$f"; git add -- "$f" ;;  # staged change
      *) printf '/* bench */\n' >> "$f" ;;              # change in the work tree
    esac
  done < .git/bench-picks
  for i in $(seq 1 200); do printf 'untracked %d\n' "$i" > "drivers/bench-untracked-$i.txt"; done
  mkdir -p bench-new-dir/deeper && printf 'x\n' > bench-new-dir/deeper/file
  git status --porcelain=v1 -z --branch > /dev/null   # settle the index once
  touch .git/nivern-bench-ready
  cd - > /dev/null
fi

[ -x "$CLIENT" ] || { echo "build the git_status_client target in $BUILD first" >&2; exit 1; }
"$CLIENT" "$WORK" "$rounds"
