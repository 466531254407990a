#!/usr/bin/env bash
# The main job: builds the library and the command-line tool, then runs a realistic end-to-end
# session through the Python package (examples/main_job.py). Extra arguments go to the session,
# e.g. --count 100000.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target vexradb_bindings vexradb_cli
PYTHONPATH=python PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 examples/main_job.py "$@"
