#!/usr/bin/env bash
# Builds and runs the mail benchmark: one poll answering N requests against
# local Dovecot + SMTP + the SQLite directory, beside a minimal POCO loop
# sending the same replies. Usage: bench/mail_bench.sh [requests]
# (QM_BENCH_BUILD_DIR, default build-bench)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${QM_BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQM_BUILD_BENCH=ON -DQM_BUILD_DESKTOP=OFF >/dev/null
cmake --build "$BUILD_DIR" -j2 --target mail_bench
"$BUILD_DIR/bench/mail_bench" "${1:-200}"
