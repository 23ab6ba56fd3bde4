#!/usr/bin/env bash
# watch through the server, side by side with inotifywait (inotify-tools) in one run.
#
#  1. Latency: from one write to the server's `changed` event, and to `inotifywait -m`'s line
#     for the same write (medians).
#  2. Set-up: from `watch` on the kernel tree to `watching`, and on until every directory is
#     watched (the crawl runs after the reply), against the time `inotifywait -r` takes to
#     print "Watches established." on the same tree (medians and their ratio).
#  3. Burst: 10,000 and 100,000 files created at once on tmpfs: events sent, and how long the
#     server stays busy after the burst.
#  4. Idle: voluntary context switches of every server thread over 10 idle seconds.
#
# usage: bench/watch.sh [rounds]      (BUILD=<build dir>, default ./build)
# Needs the kernel corpus of /work/shared/bench/corpus-setup.sh ($BENCH_DATA/linux).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
BENCH_DATA=${BENCH_DATA:-$HOME/.cache/nivern-bench}
LINUX=$BENCH_DATA/linux
BUILD=${BUILD:-$here/../build}
CLIENT=$BUILD/bench/watch_client
export NIVERN_SERVER_BIN=${NIVERN_SERVER_BIN:-$BUILD/nivern-server}
rounds=${1:-21}

[ -d "$LINUX" ] || { echo "no kernel corpus at $LINUX: run corpus-setup.sh first" >&2; exit 1; }
[ -x "$CLIENT" ] && [ -x "$NIVERN_SERVER_BIN" ] || { echo "build nivern-server and watch_client in $BUILD first" >&2; exit 1; }
command -v inotifywait >/dev/null || { echo "inotifywait is missing: run scripts/setup" >&2; exit 1; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/nivern-watch-bench.XXXXXX")
shm=$(mktemp -d /dev/shm/nivern-watch-bench.XXXXXX)
trap 'rm -rf "$scratch" "$shm"' EXIT

echo "== latency"
"$CLIENT" latency "$scratch" "$rounds"
echo "== set-up on the kernel tree"
"$CLIENT" setup "$LINUX" "$(( rounds < 7 ? rounds : 7 ))"
echo "== bursts (tmpfs)"
"$CLIENT" burst "$shm" 10000
"$CLIENT" burst "$shm" 100000
echo "== idle"
"$CLIENT" idle "$LINUX" 10
