#!/usr/bin/env bash
# Installs the Debian packages the project needs: with `main`, only those of the library, the
# command-line tool and the main job; by default, also those of the tests and the benchmarks.
# Idempotent: it only touches apt when something is missing.
set -euo pipefail

# What building the library and the command-line tool and running the main job need.
main_packages=(
  build-essential
  cmake
  pkg-config
  ccache            # keeps compiled objects between builds and clones (optional to the build)
  libexpected-dev   # tl::expected, the engine's result type
  nlohmann-json3-dev  # the JSON value type of metadata and filter operands
  libcli11-dev      # the command-line parser of the vexradb tool
  zlib1g-dev        # CRC-32 of the write-ahead log
  libsodium-dev     # keyed hashing of ids and metadata values (SipHash)
  libicu-dev        # keyword search: word breaking, case folding and accent removal
  libstemmer-dev    # keyword search: Snowball stemmers, chosen by language name
  python3           # the Python package runs on Debian's interpreter (/usr/bin/python3)
  python3-cffi      # the package calls the library through cffi
  python3-numpy     # optional fast path of the package; the main job's brute-force baseline
)

# What the test suite, the sanitizer, fuzz and Arm builds and the benchmarks need besides.
test_packages=(
  binutils          # nm, used by the exported-symbol test
  clang-format
  clang             # the fuzz build (scripts/fuzz.sh)
  libclang-rt-dev   # libFuzzer and clang's sanitizer runtimes
  libgtest-dev
  libgmock-dev
  libbenchmark-dev
  libhnswlib-dev    # header-only; the distance benchmark compares with its L2 kernel
  python3-pytest    # the package's tests
  python3-pip       # `pip install .` of the package (offline, without build isolation) ...
  python3-setuptools  # ... its build backend
  python3-wheel
  python3-venv      # the test of the installed package runs in a fresh virtual environment
  python3-matplotlib  # the benchmarks' charts (bench/plot_figures.py)
  python3-tqdm      # the optional progress bar of upsert_batch(..., progress=True)
  python3-distributed  # vexradb.distributed: shards as actors on a Dask cluster
  python3-faiss     # the quantized and graph benchmarks compare with FAISS in the same run
  python3-hnswlib   # the Python search benchmark compares with hnswlib's knn_query
  python3-scipy     # the keyword benchmark's vectors: sparse SVD of TF-IDF (bench/text_bench.py)
  # The 64-bit Arm build (scripts/test-arm64.sh): the cross compilers, the emulator that runs its
  # programs, and the arm64 libraries it links against.
  g++-aarch64-linux-gnu
  qemu-user
  libstdc++6:arm64
  zlib1g-dev:arm64
  libsodium-dev:arm64
  libicu-dev:arm64
  libstemmer-dev:arm64
  libgtest-dev:arm64
)

case "${1:-all}" in
  main) packages=("${main_packages[@]}") ;;
  all) packages=("${main_packages[@]}" "${test_packages[@]}") ;;
  *)
    echo "usage: setup.sh [main|all]" >&2
    exit 2
    ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Only the Arm build's libraries need the foreign architecture (and its package lists).
if [[ " ${missing[*]}" == *:arm64* ]] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
  "${sudo_cmd[@]}" dpkg --add-architecture arm64
fi
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
