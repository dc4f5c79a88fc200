#!/usr/bin/env bash
# What the allocation tracker costs the patcher: the same program with the tracker on and off
# (ZELK_TEST_ALLOC_TRACKER=off), in turn, on
#   1. a standalone run of the demo's sample installation (build 100 to 102, unattended), and
#   2. the window's start-up until the window is on the screen, ready to install (under Xvfb).
# Prints the median wall and CPU seconds of each and the ratios on/off (1.0 = no cost).
# Usage: bench/alloc-tracker-bench.sh [ROUNDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
rounds=${1:-7}

# The window needs a display: without one, the script runs itself again under a private X server.
if [[ -z ${DISPLAY:-} ]]; then
  command -v xvfb-run >/dev/null || { echo "alloc-tracker-bench: xvfb-run is missing (run scripts/bootstrap.sh)" >&2; exit 1; }
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi
command -v xwininfo >/dev/null || { echo "alloc-tracker-bench: xwininfo is missing (run scripts/bootstrap.sh)" >&2; exit 1; }

cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target pelmo-patcher zelk-mksample zelk-mkpatch zelk-mkpayload zelk-jptch >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/alloc-tracker-bench.XXXXXX")
patcher_pid=
cleanup() {
  [[ -n $patcher_pid ]] && kill "$patcher_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The demo's sample installation and its standalone patcher.
declare -A digest
for version in 100 101 102; do
  digest[$version]=$("$build/zelk-mksample" "$work/build-$version" --version "$version")
  rm "$work/build-$version/unins000.dat"
done
"$build/zelk-mksample" "$work/template" --version 100 >/dev/null
"$build/zelk-mkpatch" "$work/build-100" "$work/build-101" "$work/100_to_101.zip" >/dev/null
"$build/zelk-mkpatch" "$work/build-101" "$work/build-102" "$work/101_to_102.zip" >/dev/null
"$build/zelk-mkpayload" "$build/pelmo-patcher" "$work/pelmo-patcher-102" --target 102 \
  --build "${digest[100]}=100" --build "${digest[101]}=101" \
  --step "100:101:$work/100_to_101.zip" --step "101:102:$work/101_to_102.zip" >/dev/null
export PELMO_REGISTRY=$work/registry.reg TEMP=$work/temp LANG=C KORVILUTIL_LOG=$work/utility.log
mkdir -p "$TEMP"
cat >"$PELMO_REGISTRY" <<EOF
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo\\Products\\KorvilSimulator\\Korvil]
"ProductClass"="Korvil"
"ProductInstallPath"="$work/Korvil"
EOF

fresh_installation() {
  rm -rf "$work/Korvil"
  cp -a "$work/template" "$work/Korvil"
}

ticks_per_second=$(getconf CLK_TCK)

# One unattended standalone run: "wall cpu" in seconds.
standalone_run() {
  fresh_installation
  /usr/bin/time -f '%e %U %S' -o "$work/time.txt" \
    env "ZELK_TEST_ALLOC_TRACKER=$1" DISPLAY= "$work/pelmo-patcher-102" -u >"$work/run.log" 2>&1 ||
    { echo "alloc-tracker-bench: the standalone run failed:" >&2; cat "$work/run.log" >&2; exit 1; }
  diff -r --exclude=unins000.dat "$work/Korvil" "$work/build-102" >/dev/null ||
    { echo "alloc-tracker-bench: the run did not reach build 102" >&2; exit 1; }
  awk '{ printf "%s %.3f\n", $1, $2 + $3 }' "$work/time.txt"
}

# One start-up of the window until the frame is on the screen: "wall cpu" in seconds, the CPU
# time read from the running patcher at that moment.
window_startup() {
  fresh_installation
  local start now id
  start=$(date +%s%N)
  ZELK_TEST_ALLOC_TRACKER=$1 "$work/pelmo-patcher-102" >"$work/window.log" 2>&1 &
  patcher_pid=$!
  while :; do
    if ! kill -0 "$patcher_pid" 2>/dev/null; then
      echo "alloc-tracker-bench: the patcher ended before its window was ready:" >&2
      cat "$work/window.log" >&2
      exit 1
    fi
    id=$(xwininfo -root -tree 2>/dev/null | awk '/"Pelmo Patcher/ { print $1; exit }')
    if [[ -n $id ]] && xwininfo -id "$id" 2>/dev/null | grep -q IsViewable; then
      break
    fi
    sleep 0.01
  done
  now=$(date +%s%N)
  local cpu
  cpu=$(awk -v tck="$ticks_per_second" '{ printf "%.3f", ($14 + $15) / tck }' "/proc/$patcher_pid/stat")
  kill "$patcher_pid"
  wait "$patcher_pid" 2>/dev/null || true
  patcher_pid=
  awk -v s="$start" -v e="$now" -v c="$cpu" 'BEGIN { printf "%.3f %s\n", (e - s) / 1e9, c }'
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Runs the measurement in turn with the tracker on and off; prints the medians and the ratios.
compare() {
  local name=$1 measure=$2 on off
  : >"$work/on.txt"
  : >"$work/off.txt"
  : >"$work/ratios.txt"
  "$measure" on >/dev/null # warm-up: page cache, font cache
  for ((i = 0; i < rounds; i++)); do
    on=$("$measure" on)
    off=$("$measure" off)
    echo "$on" >>"$work/on.txt"
    echo "$off" >>"$work/off.txt"
    awk -v a="$on" -v b="$off" 'BEGIN { split(a, x); split(b, y); print x[1] / y[1], x[2] / y[2] }' >>"$work/ratios.txt"
  done
  printf '%s (median of %d rounds)\n' "$name" "$rounds"
  printf '  tracker on:  %.3f s wall, %.3f s CPU\n' "$(cut -d' ' -f1 "$work/on.txt" | median)" "$(cut -d' ' -f2 "$work/on.txt" | median)"
  printf '  tracker off: %.3f s wall, %.3f s CPU\n' "$(cut -d' ' -f1 "$work/off.txt" | median)" "$(cut -d' ' -f2 "$work/off.txt" | median)"
  printf '  ratio on/off, round by round: %.3f wall, %.3f CPU\n' \
    "$(cut -d' ' -f1 "$work/ratios.txt" | median)" "$(cut -d' ' -f2 "$work/ratios.txt" | median)"
}

compare "standalone run 100 -> 102" standalone_run
compare "window start-up to ready" window_startup
