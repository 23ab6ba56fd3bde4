#!/usr/bin/env bash
# `save` of 100 MB of text as UTF-8 (in process, through the save handler) against
# `dd bs=1M conv=fsync` writing the same bytes, same directory, same run (target: save
# within 2x of dd). A save request of this size cannot travel in one frame (64 MiB), so
# the handler is called directly. Needs the shared corpus: $BENCH_DATA/open/crlf-100M.txt.
#
# usage: bench/save.sh [rounds]      (BUILD=<build dir>, default ./build; OUT=<dir>)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
BENCH_DATA=${BENCH_DATA:-$HOME/.cache/nivern-bench}
BUILD=${BUILD:-$here/../build}
FILE=$BENCH_DATA/open/crlf-100M.txt
OUT=${OUT:-$BENCH_DATA/save-out}
[ -f "$FILE" ] || { echo "no $FILE: run corpus-setup.sh first" >&2; exit 1; }
mkdir -p "$OUT"
cat "$FILE" > /dev/null  # into the page cache
"$BUILD/bench/save_client" "$FILE" "$OUT" "${1:-7}"
rmdir "$OUT" 2>/dev/null || true
