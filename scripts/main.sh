#!/usr/bin/env bash
# The main job: builds the library and the command-line tool, then runs a realistic end-to-end
# session through the Python package (examples/main_job.py). Extra arguments go to the session,
# e.g. --count 100000.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh main
# The test suites are left out, as their packages may not be installed (scripts/test.sh turns
# them on again).
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXRA_BUILD_TESTS=OFF >/dev/null
cmake --build build -j2 --target vexradb_bindings vexradb_cli
PYTHONPATH=python PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 examples/main_job.py "$@"
