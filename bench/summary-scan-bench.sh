#!/usr/bin/env bash
# The summary's two scans against the programs a person would use for the same look at a tree:
#  (a) the first scan of a 2 GiB tree of 200 files (every segment read and checksummed) against
#      cksum on the same files, both from the page cache, as a throughput ratio (1.0 = as fast as
#      cksum, higher is faster);
#  (b) the second scan of a tree of 50,000 small files with the summary loaded and nothing changed
#      against find ROOT -printf '%T@ %s\n', as a time ratio (1.0 = as fast as find, lower is faster).
# Each program runs as a whole process; the best of ROUNDS wall times counts, and the peak memory
# of each is shown. Usage: bench/summary-scan-bench.sh [ROUNDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
rounds=${1:-3}

cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target segsum_bench >/dev/null
bench=$build/bench/segsum_bench

work=$(mktemp -d "${TMPDIR:-/tmp}/summary-scan-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Wall seconds of the best of $rounds runs of a command whose output is thrown away.
best_time() {
  local best= start end
  for ((i = 0; i < rounds; i++)); do
    start=$(date +%s.%N)
    "$@" >/dev/null
    end=$(date +%s.%N)
    best=$(awk -v s="$start" -v e="$end" -v b="$best" 'BEGIN { t = e - s; print (b == "" || t < b) ? t : b }')
  done
  echo "$best"
}

# Peak resident memory of one run, in KiB.
peak_kib() {
  /usr/bin/time -f %M -o "$work/time.txt" "$@" >/dev/null
  cat "$work/time.txt"
}

# (a) 200 files of 2 GiB / 200 bytes each, incompressible, so nothing can take a shortcut.
big=$work/big
mkdir -p "$big/data"
file_size=$(((2 << 30) / 200))
for ((i = 0; i < 200; i++)); do
  head -c "$file_size" /dev/urandom >"$big/data/file$i.bin"
done
cat "$big"/data/* >/dev/null # into the page cache
cksum_files() { cksum "$big"/data/*; }
ours_a=$(best_time "$bench" "$big")
ref_a=$(best_time cksum_files)
mem_ours_a=$(peak_kib "$bench" "$big")
mem_ref_a=$(peak_kib cksum "$big"/data/*)
rm -rf "$big"

# (b) 50,000 files of 100 bytes in 100 directories.
small=$work/small
/usr/bin/python3 - "$small" <<'PY'
import os, sys
root = sys.argv[1]
for d in range(100):
    folder = os.path.join(root, "dir%03d" % d)
    os.makedirs(folder)
    for f in range(500):
        with open(os.path.join(folder, "file%03d.dat" % f), "wb") as out:
            out.write(os.urandom(100))
PY
summary=$work/small.cks
"$bench" "$small" --save "$summary" >/dev/null # the first scan, which makes the summary
ours_b=$(best_time "$bench" "$small" --load "$summary")
ref_b=$(best_time find "$small" -printf '%T@ %s\n')
mem_ours_b=$(peak_kib "$bench" "$small" --load "$summary")
mem_ref_b=$(peak_kib find "$small" -printf '%T@ %s\n')

awk -v oa="$ours_a" -v ra="$ref_a" -v ob="$ours_b" -v rb="$ref_b" -v rounds="$rounds" \
  -v moa="$mem_ours_a" -v mra="$mem_ref_a" -v mob="$mem_ours_b" -v mrb="$mem_ref_b" 'BEGIN {
  printf "best of %d rounds, whole processes, page cache warm\n", rounds
  printf "(a) first scan, 2 GiB in 200 files\n"
  printf "    FileTreeSummary::Scan: %.3f s (%.0f MiB/s), peak %d KiB\n", oa, 2048 / oa, moa
  printf "    cksum:                 %.3f s (%.0f MiB/s), peak %d KiB\n", ra, 2048 / ra, mra
  printf "    throughput ratio (Scan / cksum): %.3f\n", ra / oa
  printf "(b) second scan, 50,000 unchanged files, summary loaded\n"
  printf "    FileTreeSummary::Scan: %.3f s, peak %d KiB\n", ob, mob
  printf "    find -printf:          %.3f s, peak %d KiB\n", rb, mrb
  printf "    time ratio (Scan / find): %.3f\n", ob / rb
}'
