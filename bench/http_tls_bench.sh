#!/usr/bin/env bash
# Builds and runs the HTTPS benchmark: /make (and a small download) over
# HTTPS beside plain HTTP against one engine, side by side, with the ratio.
# Usage: bench/http_tls_bench.sh [requests-per-client]
# (QM_BENCH_BUILD_DIR, default build-bench)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${QM_BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQM_BUILD_BENCH=ON -DQM_BUILD_DESKTOP=OFF \
  -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null
cmake --build "$BUILD_DIR" -j2 --target http_tls_bench
"$BUILD_DIR/bench/http_tls_bench" "${1:-100}"
