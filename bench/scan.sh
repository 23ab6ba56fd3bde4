#!/usr/bin/env bash
# scan and list_dir through the server, side by side with ripgrep in one run.
#
#  1. Whole process: start the server, hello, scan the kernel tree, end; against
#     `rg --files --hidden` on the same tree (hyperfine, same run).
#  2. One session: scan requests interleaved with rg runs (medians and their ratio),
#     and the server's peak resident memory against the size of the `scanned` reply.
#  3. list_dir of a directory of 10,000 entries (median round trip).
#
# usage: bench/scan.sh [rounds]      (BUILD=<build dir>, default ./build)
# Needs the kernel corpus of /work/shared/bench/corpus-setup.sh ($BENCH_DATA/linux).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
BENCH_DATA=${BENCH_DATA:-$HOME/.cache/nivern-bench}
LINUX=$BENCH_DATA/linux
LIST=${VFS_BENCH_DATA:-$HOME/.cache/nivern-bench-vfs}/list10k
BUILD=${BUILD:-$here/../build}
CLIENT=$BUILD/bench/scan_client
export NIVERN_SERVER_BIN=${NIVERN_SERVER_BIN:-$BUILD/nivern-server}
rounds=${1:-21}

[ -d "$LINUX" ] || { echo "no kernel corpus at $LINUX: run corpus-setup.sh first" >&2; exit 1; }
[ -x "$CLIENT" ] && [ -x "$NIVERN_SERVER_BIN" ] || { echo "build nivern-server and scan_client in $BUILD first" >&2; exit 1; }

if [ ! -e "$LIST/.ready" ]; then
  echo "[scan] making a directory of 10,000 entries in $LIST (once)" >&2
  rm -rf "$LIST"
  mkdir -p "$LIST"
  (cd "$LIST" && seq -f 'File-%05g.txt' 0 8999 | xargs touch && seq -f 'dir-%04g' 0 999 | xargs mkdir)
  touch "$LIST/.ready"   # the 10,001st entry, a marker
fi

echo "== whole process: scan of $LINUX vs rg --files --hidden"
hyperfine -N --warmup 3 --runs "$rounds" \
  "$CLIENT once $LINUX" \
  "rg --files --hidden $LINUX"

echo "== one session: scan requests vs rg runs, interleaved"
"$CLIENT" compare "$LINUX" "$rounds"

echo "== list_dir of 10,000 entries"
"$CLIENT" list "$LIST" "$rounds"
