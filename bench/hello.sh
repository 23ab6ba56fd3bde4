#!/usr/bin/env bash
# 100,000 pipelined hello requests through the built binary, and idle memory after hello.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build >/dev/null
for i in 1 2 3; do build/bench/hello_client 100000; done
