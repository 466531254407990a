#!/usr/bin/env bash
# Cross-builds the library and its C++ test suites for 64-bit Arm (aarch64) with Debian's cross
# toolchain and runs the suites under qemu-user. Extra arguments go to ctest (e.g. -R Distance).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

# Line tables only (-g1): enough for a backtrace under the emulator, and a faster build.
cmake -S . -B build-arm64 --toolchain cmake/aarch64-linux-gnu.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
  -DVEXRA_WERROR=ON >/dev/null
cmake --build build-arm64 -j2 --target vexradb_core_tests vexradb_abi_tests vexradb_bindings_tests
ctest --test-dir build-arm64 --output-on-failure -j2 "$@"
