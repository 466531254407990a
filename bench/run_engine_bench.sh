#!/usr/bin/env bash
# Builds the engine benchmark in Release, the library as shipped, in build-bench/ and runs it;
# the full run's figures also go to docs/engine_bench.png.
# With --curves it runs the recall/speed sweep instead, then FAISS's HNSW on the same sets
# (bench/faiss_curves.py, where Debian's python3-faiss is installed); the full run's curves go to
# docs/recall_qps.png.
# Usage: bench/run_engine_bench.sh [--curves] [--quick]
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVEXRA_BUILD_BENCHMARKS=ON \
  -DVEXRA_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench --target vexradb_engine_bench -j2
if [ "${1:-}" = "--curves" ]; then
  shift
  ./build-bench/bench/vexradb_engine_bench --curves build-bench/curves "$@" |
    tee build-bench/recall_curves.txt
  /usr/bin/python3 bench/faiss_curves.py build-bench/curves "$@" | tee build-bench/faiss_curves.txt
  if [ "$#" -eq 0 ]; then
    /usr/bin/python3 bench/plot_figures.py curves build-bench/recall_curves.txt \
      build-bench/faiss_curves.txt docs/recall_qps.png
  fi
  exit 0
fi
./build-bench/bench/vexradb_engine_bench "$@" | tee build-bench/engine_bench.txt
if [ "$#" -eq 0 ]; then
  /usr/bin/python3 bench/plot_figures.py engine build-bench/engine_bench.txt docs/engine_bench.png
fi
