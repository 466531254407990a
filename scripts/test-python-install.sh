#!/usr/bin/env bash
# Installs the package with pip (offline, the library built by CMake inside it) into a fresh
# virtual environment, then runs the package's tests against the installed copy from outside the
# repository, with nothing pointing back at the repository.
#
# Usage: scripts/test-python-install.sh [CMAKE_BUILD_DIR]
# With a configured build directory, pip brings the library up to date there instead of
# configuring and compiling a build of its own.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 -m venv --system-site-packages "$work/venv"
if [ $# -gt 0 ]; then
  export VEXRADB_CMAKE_BUILD_DIR="$1"
fi
"$work/venv/bin/python" -m pip install --quiet --no-build-isolation --no-index "$repo"
unset VEXRADB_CMAKE_BUILD_DIR

cp -r "$repo/python/tests" "$work/tests"
cd "$work"
unset VEXRADB_LIBRARY PYTHONPATH
export PATH="$work/venv/bin:$PATH"
"$work/venv/bin/python" - <<'PY'
import pathlib, sys, vexradb
from vexradb import _ffi
package = pathlib.Path(vexradb.__file__).resolve().parent
assert package.is_relative_to(pathlib.Path(sys.prefix).resolve()), package
assert (package / _ffi.LIBRARY_NAME).is_file(), "the library is not inside the installed package"
PY
# The command-line tool came with the package, on the environment's PATH.
"$work/venv/bin/python" - <<'PY'
import subprocess, vexradb
with vexradb.Client.open("cli-db", dimensions=3, metric="euclidean") as db:
    db.upsert("a", [1, 2, 3])
    db.checkpoint()
info = subprocess.run(["vexradb", "info", "cli-db"], check=True, capture_output=True, text=True)
assert "metric: euclidean" in info.stdout, info.stdout
PY
"$work/venv/bin/python" -m pytest -q -p no:cacheprovider tests
