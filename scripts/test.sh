#!/usr/bin/env bash
# Installs what is missing, builds the library and its tests, and runs the whole suite: once in
# the regular build and once under AddressSanitizer + UndefinedBehaviorSanitizer; the tests of
# concurrent use run a third time under ThreadSanitizer; the fuzz targets run for a short while;
# and the C++ suites run in the 64-bit Arm build under emulation.
set -euo pipefail
cd "$(dirname "$0")/.."

# stage NAME: starts timing the next stage (ending the previous one); the times are printed at
# the end.
stage_names=() stage_seconds=() stage_started=$SECONDS
stage() {
  end_stage
  stage_names+=("$1")
  stage_started=$SECONDS
  echo "== $1 =="
}
end_stage() {
  [ ${#stage_names[@]} -gt ${#stage_seconds[@]} ] && stage_seconds+=($((SECONDS - stage_started)))
  return 0
}

stage "set-up"
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

stage "regular build"
configure_and_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir build --output-on-failure -j2

stage "AddressSanitizer + UndefinedBehaviorSanitizer build"
# -O1 keeps assertions and the sanitizers' reports while running the recall and crash tests
# several times faster than an unoptimised build. The sanitizer builds keep line tables only
# (-g1): their reports name files and lines, and they compile about a third faster.
configure_and_build build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g1 -O1" \
  -DVEXRA_SANITIZE=address
ctest --test-dir build-asan --output-on-failure -j2

stage "ThreadSanitizer build (concurrency tests, readers during a checkpoint)"
configure_and_build build-tsan -DVEXRA_SANITIZE=thread \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
  --target vexradb_core_tests vexradb_abi_tests vexradb_bindings_tests
ctest --test-dir build-tsan --output-on-failure -j2 -R "Concurren|ReadersLetIn"

stage "fuzz targets (ten seconds each)"
bash scripts/fuzz.sh 10

stage "64-bit Arm build under qemu-user"
# Emulation runs about 25 times slower than this machine, so four long workloads on the real data
# sets run natively above and under emulation only in a full `bash scripts/test-arm64.sh`. Every
# other test runs here: the kernels against their fixed results, batch upserts, a recall test on
# real data, the durable engine and the exported layer.
long_workloads='^(EngineResultsTest.GraphsAndResultsOnRealDataAreUnchanged'
long_workloads+='|EngineRecallTest.RealDataSets|EngineRecallTest.FindsTheTrueNeighboursForEveryMetric'
long_workloads+='|QuantizedRecallTest.ClusteredVectors)$'
bash scripts/test-arm64.sh -E "$long_workloads"
end_stage

echo "== stage times =="
for i in "${!stage_names[@]}"; do
  printf '%6d s  %s\n' "${stage_seconds[$i]}" "${stage_names[$i]}"
done
printf '%6d s  total\n' "$SECONDS"
