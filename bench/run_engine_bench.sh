#!/usr/bin/env bash
# Builds the engine benchmark in Release, the library as shipped, in build-bench/ and runs it.
# Usage: bench/run_engine_bench.sh [--quick]
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVEXRA_BUILD_BENCHMARKS=ON \
  -DVEXRA_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench --target vexradb_engine_bench -j2
./build-bench/bench/vexradb_engine_bench "$@"
