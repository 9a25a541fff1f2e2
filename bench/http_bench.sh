#!/usr/bin/env bash
# Builds and runs the HTTP server benchmark: /make requests per second and
# p50/p99 at 1 and 16 clients beside the two lookup cycles alone (10,000
# users in SQLite through ODBC), 4 KiB downloads at 16 clients beside a
# private nginx on loopback, and the peak memory.
# Usage: bench/http_bench.sh [requests-per-client]   (QM_BENCH_BUILD_DIR, default build-bench)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${QM_BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQM_BUILD_BENCH=ON -DQM_BUILD_DESKTOP=OFF >/dev/null
cmake --build "$BUILD_DIR" -j2 --target bench_http
"$BUILD_DIR/bench/bench_http" "${1:-200}"
