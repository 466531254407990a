#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer) in
# build-fuzz, writes their seed corpora and runs each target for SECONDS seconds, two at a time
# (one a core). Fails when any target finds a crash, a sanitizer report, a leak, a hang or a
# broken invariant; the input that caused it is kept in build-fuzz/fuzz-findings/.
# What each run found is kept in build-fuzz/fuzz-corpus/<target>/ and seeds the next run.
#
# Usage: scripts/fuzz.sh SECONDS [TARGET...]
# Targets: arguments json_filter log data_dir (all of them when none is named).
set -euo pipefail
cd "$(dirname "$0")/.."

all_targets=(arguments json_filter log data_dir)
usage="usage: scripts/fuzz.sh SECONDS [TARGET...] (targets: ${all_targets[*]})"
if [ $# -lt 1 ] || ! [[ $1 =~ ^[1-9][0-9]*$ ]]; then
  echo "$usage" >&2
  exit 2
fi
seconds=$1
shift
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=("${all_targets[@]}")
fi
for target in "${targets[@]}"; do
  if ! [[ " ${all_targets[*]} " == *" $target "* ]]; then
    echo "fuzz: unknown target '$target'; $usage" >&2
    exit 2
  fi
done

build=build-fuzz
# Line tables only (-g1): the sanitizers' reports name files and lines.
CC=clang CXX=clang++ cmake -S . -B "$build" -DVEXRA_BUILD_FUZZERS=ON -DVEXRA_BUILD_TESTS=OFF \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
  -DVEXRA_SANITIZE=address >/dev/null
cmake --build "$build" -j2 --target vexradb_fuzzers

rm -rf "$build/fuzz-seeds"
"$build/fuzz/vexradb_fuzz_seeds" "$build/fuzz-seeds"
mkdir -p "$build/fuzz-findings" "$build/fuzz-logs"

# The value of one of libFuzzer's final statistics in a log.
final_stat() {
  awk -v name="stat::$2:" '$1 == name { print $2 }' "$1"
}

# Fuzzes one target for the given seconds; fails when it finds something.
run_target() {
  local target=$1
  local corpus="$build/fuzz-corpus/$target"
  mkdir -p "$corpus"
  local options=(-max_total_time="$seconds" -timeout=10 -print_final_stats=1
    -artifact_prefix="$build/fuzz-findings/$target-")
  if [ "$target" = json_filter ]; then
    options+=(-dict=fuzz/json.dict)
  fi
  "$build/fuzz/vexradb_fuzz_$target" "${options[@]}" "$corpus" "$build/fuzz-seeds/$target" \
    >"$build/fuzz-logs/$target.log" 2>&1
}

# Two targets at a time, one a core.
failed=()
for ((first = 0; first < ${#targets[@]}; first += 2)); do
  pair=("${targets[@]:first:2}")
  pids=()
  for target in "${pair[@]}"; do
    echo "== fuzzing $target for ${seconds}s =="
    run_target "$target" &
    pids+=($!)
  done
  for i in "${!pair[@]}"; do
    if ! wait "${pids[$i]}"; then
      failed+=("${pair[$i]}")
      tail -n 60 "$build/fuzz-logs/${pair[$i]}.log"
    fi
  done
done

report=()
for target in "${targets[@]}"; do
  log="$build/fuzz-logs/$target.log"
  report+=("$(printf '%-12s %12s %10s %8s' "$target" "$(final_stat "$log" number_of_executed_units)" \
    "$(final_stat "$log" average_exec_per_sec)" "$(find "$build/fuzz-corpus/$target" -type f | wc -l)")")
done

printf '%-12s %12s %10s %8s\n' target executions "exec/s" corpus
printf '%s\n' "${report[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in ${failed[*]} (inputs in $build/fuzz-findings/, logs in $build/fuzz-logs/)"
fi
echo "fuzz: $((${#targets[@]} - ${#failed[@]})) passed, ${#failed[@]} failed"
[ ${#failed[@]} -eq 0 ]
