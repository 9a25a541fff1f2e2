#!/usr/bin/env bash
# Builds and runs the directory benchmark: one ODBC lookup cycle against
# `isql -b` reading the same 10,000-row table, and one LDAP lookup cycle
# against `ldapsearch` for the same filter on a 10,000-entry slapd.
# Usage: bench/directory_bench.sh [rows] [runs]   (QM_BENCH_BUILD_DIR, default build-bench)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${QM_BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQM_BUILD_BENCH=ON -DQM_BUILD_DESKTOP=OFF >/dev/null
cmake --build "$BUILD_DIR" -j2 --target directory_bench
"$BUILD_DIR/bench/directory_bench" "${1:-10000}" "${2:-20}"
