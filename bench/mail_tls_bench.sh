#!/usr/bin/env bash
# Builds and runs the mail TLS benchmark: polls answering requests with the
# replies over plain SMTP and over STARTTLS to the same server, side by side.
# Usage: bench/mail_tls_bench.sh [requests-per-round]
# (QM_BENCH_BUILD_DIR, default build-bench)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${QM_BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQM_BUILD_BENCH=ON -DQM_BUILD_DESKTOP=OFF >/dev/null
cmake --build "$BUILD_DIR" -j2 --target mail_tls_bench
"$BUILD_DIR/bench/mail_tls_bench" "${1:-100}"
