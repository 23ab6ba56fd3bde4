#!/usr/bin/env bash
# Text search through the server against `rg --hidden -n` with equivalent flags, on the
# kernel tree: a rare literal, a regex, a word-boundary regex, a whole-word smart-case
# query and one that hits the 5,000-match limit. Then the same queries without the limit,
# in process, to compare the raw search speed and check the matching-line counts. Last,
# a count over 1000 on one 1 MB line.
#
# usage: bench/search.sh [rounds]      (BUILD=<build dir>, default ./build)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
BENCH_DATA=${BENCH_DATA:-$HOME/.cache/nivern-bench}
ROOT=$BENCH_DATA/linux
BUILD=${BUILD:-$here/../build}
CLIENT=$BUILD/bench/search_client
rounds=${1:-11}

[ -d "$ROOT" ] || { echo "no kernel corpus at $ROOT: run corpus-setup.sh first" >&2; exit 1; }
[ -x "$CLIENT" ] || { echo "build the search_client target in $BUILD first" >&2; exit 1; }
command -v rg > /dev/null || { echo "rg is not installed" >&2; exit 1; }

echo "== through the server (one session), median of $rounds"
"$CLIENT" compare "$ROOT" "$rounds"
echo "== without the match limit, in process"
"$CLIENT" full "$ROOT" "$rounds"
echo "== one 1 MB line, through the server, median of $rounds"
long=$(mktemp -d)
trap 'rm -rf "$long"' EXIT
"$CLIENT" long-line "$long" "$rounds"
