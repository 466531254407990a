#!/usr/bin/env bash
# Installs what is missing, builds the library and its tests, and runs the whole suite: once in
# the regular build and once under AddressSanitizer + UndefinedBehaviorSanitizer; the tests of
# concurrent use run a third time under ThreadSanitizer; the fuzz targets run for a short while;
# and the C++ suites run in the 64-bit Arm build under emulation.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

# configure_and_build DIR [CMAKE_OPTION...] [--target TARGET...]
configure_and_build() {
  local dir=$1
  shift
  local options=() targets=()
  while [ $# -gt 0 ] && [ "$1" != --target ]; do
    options+=("$1")
    shift
  done
  [ $# -gt 0 ] && shift && targets=(--target "$@")
  cmake -S . -B "$dir" -DVEXRA_WERROR=ON -DVEXRA_BUILD_TESTS=ON "${options[@]}" >/dev/null
  cmake --build "$dir" -j2 "${targets[@]}"
}

echo "== regular build =="
configure_and_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir build --output-on-failure -j2

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build =="
# -O1 keeps assertions and the sanitizers' reports while running the recall and crash tests
# several times faster than an unoptimised build.
configure_and_build build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
  -DVEXRA_SANITIZE=address
ctest --test-dir build-asan --output-on-failure -j2

echo "== ThreadSanitizer build (concurrency tests, readers during a checkpoint) =="
configure_and_build build-tsan -DVEXRA_SANITIZE=thread \
  --target vexradb_core_tests vexradb_abi_tests vexradb_bindings_tests
ctest --test-dir build-tsan --output-on-failure -j2 -R "Concurren|ReadersLetIn"

echo "== fuzz targets (ten seconds each) =="
bash scripts/fuzz.sh 10

echo "== 64-bit Arm build under qemu-user =="
# Emulation runs about 25 times slower than this machine, so four long workloads on the real data
# sets run natively above and under emulation only in a full `bash scripts/test-arm64.sh`. Every
# other test runs here: the kernels against their fixed results, batch upserts, a recall test on
# real data, the durable engine and the exported layer.
long_workloads='^(EngineResultsTest.GraphsAndResultsOnRealDataAreUnchanged'
long_workloads+='|EngineRecallTest.RealDataSets|EngineRecallTest.FindsTheTrueNeighboursForEveryMetric'
long_workloads+='|QuantizedRecallTest.ClusteredVectors)$'
bash scripts/test-arm64.sh -E "$long_workloads"
