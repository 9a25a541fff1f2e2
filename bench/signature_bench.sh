#!/usr/bin/env bash
# Builds and runs the signature benchmark: MakeSignature (40-line HTML
# template, 20 field placeholders) beside its lookup cycle alone, against a
# 10,000-row SQLite table through ODBC and a 10,000-entry slapd, then one
# LibreOffice conversion of that signature.
# Usage: bench/signature_bench.sh [rounds]   (QM_BENCH_BUILD_DIR, default build-bench)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${QM_BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQM_BUILD_BENCH=ON -DQM_BUILD_DESKTOP=OFF >/dev/null
cmake --build "$BUILD_DIR" -j2 --target bench_signature
"$BUILD_DIR/bench/bench_signature" "${1:-31}"
