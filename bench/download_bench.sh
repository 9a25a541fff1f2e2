#!/usr/bin/env bash
# Builds and runs the download benchmark: a generated 4 KiB file from the
# HTTP signature server beside a private nginx (127.0.0.1 only, two workers)
# serving the same file, wrk -t2 -c16 with "Connection: close", alternating
# rounds; prints requests/s of both, the medians and their ratio.
# Needs /usr/bin/wrk and /usr/sbin/nginx.
# With "log" both servers write a line per request (our log at "everything",
# nginx's access log); by default neither does.
# Usage: bench/download_bench.sh [rounds] [seconds-per-round] [log]
# (QM_BENCH_BUILD_DIR, default build-bench)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${QM_BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQM_BUILD_BENCH=ON -DQM_BUILD_DESKTOP=OFF \
  -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null
cmake --build "$BUILD_DIR" -j2 --target download_bench
"$BUILD_DIR/bench/download_bench" "${1:-5}" "${2:-5}" ${3:+"$3"}
