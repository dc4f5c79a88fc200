#!/usr/bin/env bash
# How long the patcher takes to write its crash report: the patcher started without a window and
# without a mode, once faulting on purpose at the end of its start-up (ZELK_TEST_CRASH=main: the
# fatal path writes the report, symbols included, and ends with 255) and once ending there in
# order (status 2), in turn. The difference of the median times is the report's cost.
# Usage: bench/crash-report-bench.sh [ROUNDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
rounds=${1:-9}

cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target pelmo-patcher >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/crash-report-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
# Start-up moves to the program's directory: the reports land beside this copy.
cp "$build/pelmo-patcher" "$work/pelmo-patcher"
mkdir -p "$work/temp"
export PELMO_REGISTRY=$work/registry.reg TEMP=$work/temp LANG=C DISPLAY= WAYLAND_DISPLAY=

# One run: its wall time in seconds; fails unless it ends with the expected status.
timed_run() {
  local expected=$1 status=0 start end
  shift
  start=$(date +%s%N)
  env "$@" "$work/pelmo-patcher" -u >"$work/run.log" 2>&1 || status=$?
  end=$(date +%s%N)
  if ((status != expected)); then
    echo "crash-report-bench: status $status instead of $expected:" >&2
    cat "$work/run.log" >&2
    exit 1
  fi
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f\n", (e - s) / 1e9 }'
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

timed_run 2 ZELK_TEST_ALLOC_TRACKER=on >/dev/null # warm-up
: >"$work/crash.txt"
: >"$work/orderly.txt"
for ((i = 0; i < rounds; i++)); do
  rm -f "$work"/*.dmp
  timed_run 255 ZELK_TEST_CRASH=main >>"$work/crash.txt"
  timed_run 2 ZELK_TEST_CRASH= >>"$work/orderly.txt"
done
report=$(ls "$work"/patcher-v35673-*.dmp)
crash=$(median <"$work/crash.txt")
orderly=$(median <"$work/orderly.txt")
printf 'crash report (median of %d rounds)\n' "$rounds"
printf '  start-up ending in a crash report: %.3f s\n' "$crash"
printf '  start-up ending in order:          %.3f s\n' "$orderly"
printf '  time to write the report:          %.3f s (%d lines, %d frames of the faulting stack)\n' \
  "$(awk -v a="$crash" -v b="$orderly" 'BEGIN { print a - b }')" "$(wc -l <"$report")" \
  "$(grep -c '^  #' "$report")"
