#!/usr/bin/env bash
# 100 MB echoed through a language server that execs `cat` (lsp_input in, lsp_output
# out) against `cat` on plain pipes, same client loop, same run (target: ratio >= 0.6).
#
# usage: bench/lsp_echo.sh [megabytes] [rounds]      (BUILD=<build dir>, default ./build)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
BUILD=${BUILD:-$here/../build}
NIVERN_SERVER_BIN=$BUILD/nivern-server "$BUILD/bench/lsp_echo_client" "${1:-100}" "${2:-5}"
