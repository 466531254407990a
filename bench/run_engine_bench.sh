#!/usr/bin/env bash
# Builds the engine benchmark in Release, the library as shipped, in build-bench/ and runs it;
# the full run's figures also go to docs/engine_bench.png.
# Usage: bench/run_engine_bench.sh [--quick]
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVEXRA_BUILD_BENCHMARKS=ON \
  -DVEXRA_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench --target vexradb_engine_bench -j2
./build-bench/bench/vexradb_engine_bench "$@" | tee build-bench/engine_bench.txt
if [ "$#" -eq 0 ]; then
  /usr/bin/python3 bench/plot_figures.py engine build-bench/engine_bench.txt docs/engine_bench.png
fi
