#!/usr/bin/env bash
# A summary of 100,000 entries sent with FileTreeSummary::Save into a connection to a plain reader
# on 127.0.0.1 (until the reader has every byte), against the same Save into a file. Prints the
# best seconds of each, the ratio connection / file (1.0 = as fast as the file) and the peak memory
# of each process. Usage: bench/summary-send-bench.sh [ROUNDS] [ENTRIES]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
rounds=${1:-5}
entries=${2:-100000}

cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target summary_send_bench >/dev/null
bench=$build/bench/summary_send_bench

work=$(mktemp -d "${TMPDIR:-/tmp}/summary-send-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The best of $rounds runs: "<bytes> <seconds>" with the smallest seconds.
best_run() {
  for ((i = 0; i < rounds; i++)); do "$@"; done | sort -g -k2 | head -1
}

peak_kib() {
  /usr/bin/time -f %M -o "$work/time.txt" "$@" >/dev/null
  cat "$work/time.txt"
}

tcp=$(best_run "$bench" tcp "$entries")
file=$(best_run "$bench" file "$entries" "$work/summary.cks")
mem_tcp=$(peak_kib "$bench" tcp "$entries")
mem_file=$(peak_kib "$bench" file "$entries" "$work/summary.cks")

read -r tcp_bytes tcp_seconds <<<"$tcp"
read -r file_bytes file_seconds <<<"$file"
if [[ $tcp_bytes != "$file_bytes" ]]; then
  echo "summary-send-bench: the reader got $tcp_bytes bytes, the file holds $file_bytes" >&2
  exit 1
fi
awk -v e="$entries" -v b="$tcp_bytes" -v t="$tcp_seconds" -v f="$file_seconds" -v r="$rounds" \
  -v mt="$mem_tcp" -v mf="$mem_file" 'BEGIN {
  printf "summary of %d entries, %d bytes, best of %d rounds\n", e, b, r
  printf "Save into ZelkDataBufferTCP (127.0.0.1): %.4f s, peak %d KiB\n", t, mt
  printf "Save into ZelkDataBufferFile:            %.4f s, peak %d KiB\n", f, mf
  printf "ratio (connection / file): %.2f\n", t / f
}'
