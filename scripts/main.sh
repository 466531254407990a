#!/usr/bin/env bash
# The main job: builds the library and uses it end to end through its exported C interface.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build >/dev/null
cmake --build build -j2 --target vexradb_bindings vexradb_info
./build/examples/vexradb_info
