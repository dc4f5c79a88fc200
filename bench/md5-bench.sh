#!/usr/bin/env bash
# HashFileMD5 against md5sum on the same 1 GiB file, both reading from the page cache; prints the
# throughput ratio (1.0 = as fast as md5sum, higher is faster). Usage: bench/md5-bench.sh [ROUNDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
rounds=${1:-3}

cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target md5_bench >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/md5-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
file=$work/data.bin
# Incompressible bytes, so nothing along the way can take a shortcut.
head -c $((1 << 30)) /dev/urandom >"$file"
cat "$file" >/dev/null # into the page cache

ours=$("$build/bench/md5_bench" "$file" "$rounds")
best_ref=
for ((i = 0; i < rounds; i++)); do
  start=$(date +%s.%N)
  ref=$(md5sum "$file" | cut -d' ' -f1)
  end=$(date +%s.%N)
  best_ref=$(awk -v s="$start" -v e="$end" -v b="$best_ref" 'BEGIN { t = e - s; print (b == "" || t < b) ? t : b }')
done

digest=${ours% *}
seconds=${ours#* }
if [[ $digest != "$ref" ]]; then
  echo "md5-bench: digests differ: HashFileMD5 $digest, md5sum $ref" >&2
  exit 1
fi
awk -v ours="$seconds" -v ref="$best_ref" -v rounds="$rounds" 'BEGIN {
  printf "file:        1 GiB, best of %d rounds\n", rounds
  printf "HashFileMD5: %.3f s (%.0f MiB/s)\n", ours, 1024 / ours
  printf "md5sum:      %.3f s (%.0f MiB/s)\n", ref, 1024 / ref
  printf "ratio (HashFileMD5 throughput / md5sum throughput): %.3f\n", ref / ours
}'
