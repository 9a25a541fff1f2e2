#!/usr/bin/env bash
# Builds and runs the table-size benchmark: /make requests per second and
# p50/p99 at 16 clients with 1,000 and 100,000 users (SQLite through ODBC,
# address column indexed). With QM_BENCH_BASELINE_DIR naming a second build
# directory that holds bench/bench_lookup_scale (another revision's build),
# both run in turn, each table size side by side.
# Usage: bench/lookup_scale_bench.sh [seconds-per-size] [rows ...]   (QM_BENCH_BUILD_DIR, default build-bench)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${QM_BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQM_BUILD_BENCH=ON -DQM_BUILD_DESKTOP=OFF >/dev/null
cmake --build "$BUILD_DIR" -j2 --target bench_lookup_scale
SECONDS_PER_SIZE=${1:-15}
shift || true
SIZES=("$@")
[ ${#SIZES[@]} -gt 0 ] || SIZES=(1000 100000)
for rows in "${SIZES[@]}"; do
  if [ -n "${QM_BENCH_BASELINE_DIR:-}" ]; then
    printf 'baseline (%s): ' "$QM_BENCH_BASELINE_DIR"
    "$QM_BENCH_BASELINE_DIR/bench/bench_lookup_scale" "$SECONDS_PER_SIZE" "$rows"
  fi
  printf 'this build:  '
  "$BUILD_DIR/bench/bench_lookup_scale" "$SECONDS_PER_SIZE" "$rows"
done
