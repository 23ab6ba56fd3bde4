#!/usr/bin/env bash
# `open` of a ~60 MB UTF-8 file with CR LF endings through the built binary, against
# `cat` delivering the same number of bytes (the reply frame itself, saved from a first
# open) to the same client through a pipe, same run (target: open within 1.5x of cat).
# Needs the shared corpus (corpus-setup.sh): $BENCH_DATA/open/crlf-fit.txt.
#
# usage: bench/open.sh [rounds]      (BUILD=<build dir>, default ./build)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
BENCH_DATA=${BENCH_DATA:-$HOME/.cache/nivern-bench}
BUILD=${BUILD:-$here/../build}
FILE=$BENCH_DATA/open/crlf-fit.txt
[ -f "$FILE" ] || { echo "no $FILE: run corpus-setup.sh first" >&2; exit 1; }
cat "$FILE" > /dev/null  # into the page cache
NIVERN_SERVER_BIN=$BUILD/nivern-server "$BUILD/bench/open_client" "$FILE" "${1:-9}"
