#!/usr/bin/env bash
# Shells on pseudo-terminals: `cat` of a 100 MB file through the server's pty_output
# events against the same cat on a bare terminal read by a C++ loop, and keystroke echo
# through both, in the same run.
#
# usage: bench/pty.sh [rounds] [keys]      (BUILD=<build dir>, default ./build)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
BUILD=${BUILD:-$here/../build}
CLIENT=$BUILD/bench/pty_client
export NIVERN_SERVER_BIN=${NIVERN_SERVER_BIN:-$BUILD/nivern-server}
[ -x "$CLIENT" ] && [ -x "$NIVERN_SERVER_BIN" ] || { echo "build nivern-server and pty_client in $BUILD first" >&2; exit 1; }

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
# 100 MB of text lines, made once per run.
(seq -f 'line %g of the file that cat prints to the terminal' 1 2000000 || true) | head -c 100000000 >"$dir/100mb.txt"
"$CLIENT" "$dir/100mb.txt" "${1:-5}" "${2:-1000}"
