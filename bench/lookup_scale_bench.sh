#!/usr/bin/env bash
# Builds and runs the directory-size benchmark: /make requests per second and
# p50/p99 at 16 clients with 1k, 10k, 100k and 1M users in SQLite through ODBC
# (address column indexed) and 1k and 100k users on slapd, the resident memory
# over 100,000 /make and the 1M/1k throughput ratio. With
# QM_BENCH_BASELINE_DIR naming a second build directory that holds
# bench/bench_lookup_scale (another revision's build), both run in turn, each
# case side by side.
# Usage: bench/lookup_scale_bench.sh [seconds-per-size] [case ...]
#   case: sql:<rows>, ldap:<entries> or memory (see lookup_scale_bench.cpp)
#   QM_BENCH_BUILD_DIR, default build-bench
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${QM_BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQM_BUILD_BENCH=ON -DQM_BUILD_DESKTOP=OFF \
  -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null
cmake --build "$BUILD_DIR" -j2 --target bench_lookup_scale
SECONDS_PER_SIZE=${1:-15}
shift || true
# One build alone: every case in one process, so that the ratio is printed.
if [ -z "${QM_BENCH_BASELINE_DIR:-}" ]; then
  exec "$BUILD_DIR/bench/bench_lookup_scale" "$SECONDS_PER_SIZE" "$@"
fi
SIZES=("$@")
[ ${#SIZES[@]} -gt 0 ] || SIZES=(sql:1000 sql:10000 sql:100000 sql:1000000 ldap:1000 ldap:100000 memory)
for rows in "${SIZES[@]}"; do
  if [ -n "${QM_BENCH_BASELINE_DIR:-}" ]; then
    printf 'baseline (%s): ' "$QM_BENCH_BASELINE_DIR"
    "$QM_BENCH_BASELINE_DIR/bench/bench_lookup_scale" "$SECONDS_PER_SIZE" "$rows"
  fi
  printf 'this build:  '
  "$BUILD_DIR/bench/bench_lookup_scale" "$SECONDS_PER_SIZE" "$rows"
done
