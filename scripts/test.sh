#!/usr/bin/env bash
# Installs what is missing, builds the library and its tests, and runs the whole suite:
# once in the regular build and once under AddressSanitizer + UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

run_suite() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DVEXRA_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j2
  ctest --test-dir "$dir" --output-on-failure -j2
}

echo "== regular build =="
run_suite build
echo "== AddressSanitizer + UndefinedBehaviorSanitizer build =="
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DVEXRA_SANITIZE=address
