#!/usr/bin/env bash
# Builds the fuzz targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer, libFuzzer) in a
# build directory of their own and runs one target, or every target in turn, for SECONDS each on
# its seed corpus and what earlier runs found.
#   scripts/fuzz.sh [TARGET|all] [SECONDS]
# FUZZ_BUILD_DIR chooses the build directory (default build-fuzz); FUZZ_JOBS the build's jobs.
# Inputs that crash, leak, run out of memory or time go to <build>/fuzz-crashes/; the script then
# fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
target=${1:-all}
seconds=${2:-60}

if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DZELK_FUZZ=ON -DZELK_SANITIZE=address >/dev/null
fi
if [[ $target == all ]]; then
  targets=()
  for source in "$root"/tests/fuzz/fuzz_*.cpp; do
    name=$(basename "$source" .cpp)
    targets+=("$name")
  done
else
  targets=("$target")
fi
cmake --build "$build" --target "${targets[@]}" -- ${FUZZ_JOBS:+-j "$FUZZ_JOBS"}

crashes=$build/fuzz-crashes
mkdir -p "$crashes"
# The targets write small files for every input; memory is much faster than the disk for that.
export TMPDIR=${FUZZ_TMPDIR:-/dev/shm}
export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
failed=()
for name in "${targets[@]}"; do
  seeds=$build/fuzz-corpus/$name
  found=$build/fuzz-found/$name
  mkdir -p "$found"
  # Standard output holds only the diagnostic log of the code under test (a line for every refused
  # input); the fuzzer and the sanitizers report on standard error.
  options=(-max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=2048 -timeout=30
    -artifact_prefix="$crashes/$name-" -print_final_stats=1 -close_fd_mask=1)
  [[ -f $root/tests/fuzz/$name.dict ]] && options+=(-dict="$root/tests/fuzz/$name.dict")
  echo "fuzz: $name for ${seconds}s"
  log=$build/fuzz-$name.log
  if "$build/tests/fuzz/$name" "${options[@]}" "$found" "$seeds" >"$log" 2>&1; then
    grep -E '^stat::(number_of_executed_units|peak_rss_mb|new_units_added)|cov: ' "$log" | tail -4 || true
  else
    echo "fuzz: $name failed; its log: $log"
    tail -40 "$log"
    failed+=("$name")
  fi
done
if ((${#failed[@]})); then
  echo "fuzz: failed: ${failed[*]}"
  exit 1
fi
