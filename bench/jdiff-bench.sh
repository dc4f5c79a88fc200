#!/usr/bin/env bash
# Compares zelk-jdiff with Debian's xdelta3 (uncompressed VCDIFF, "xdelta3 -e -0 -S none") on
#   (a) two builds (-O1 -g) of a generated C++ program, the second with one source line added;
#   (b) 64 MiB of random bytes against a copy with scattered edits, an insert, a delete and a
#       moved block.
# Prints difference sizes, times (best of several runs, wall clock and CPU) and peak memory, and
# the ratios zelk-jdiff / xdelta3. Every difference made by zelk-jdiff is applied with zelk-jptch
# and compared with the new file.
#
# Usage: bench/jdiff-bench.sh [BUILD_DIR]   (default: build; the tools are built when missing)
# Environment: JDIFF_BENCH_WORK (work directory, default /tmp/jdiff-bench; the pairs are kept
# there and reused), JDIFF_BENCH_RUNS (runs per tool, default 3).
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$(realpath -m "${1:-$source_dir/build}")
work=${JDIFF_BENCH_WORK:-/tmp/jdiff-bench}
runs=${JDIFF_BENCH_RUNS:-3}
python=/usr/bin/python3

for program in xdelta3 /usr/bin/time g++; do
    command -v "$program" >/dev/null || { echo "jdiff-bench: $program is missing (run scripts/bootstrap.sh)" >&2; exit 1; }
done
if [[ ! -x $build_dir/zelk-jdiff || ! -x $build_dir/zelk-jptch ]]; then
    cmake -S "$source_dir" -B "$build_dir" -G Ninja >/dev/null
    cmake --build "$build_dir" -j2 --target zelk-jdiff zelk-jptch
fi
mkdir -p "$work"

# Pair (a): the program is generated, so both builds differ only by the added line.
if [[ ! -f $work/program-old || ! -f $work/program-new ]]; then
    echo "jdiff-bench: compiling the program twice (-O1 -g), this takes a minute"
    "$python" "$source_dir/bench/jdiff-program.py" >"$work/program-old.cpp"
    "$python" "$source_dir/bench/jdiff-program.py" --extra-line >"$work/program-new.cpp"
    g++ -O1 -g -o "$work/program-old" "$work/program-old.cpp"
    g++ -O1 -g -o "$work/program-new" "$work/program-new.cpp"
fi
# Pair (b).
if [[ ! -f $work/random-old || ! -f $work/random-new ]]; then
    "$python" "$source_dir/bench/jdiff-random-pair.py" "$work/random-old" "$work/random-new"
fi

# Runs a command under /usr/bin/time; prints "elapsed cpu peak-KB".
measure() {
    local report=$work/time.txt
    /usr/bin/time -f '%e %U %S %M' -o "$report" "$@" >/dev/null
    awk '{ printf "%s %.2f %s\n", $1, $2 + $3, $4 }' "$report"
}

# Best elapsed and best CPU time over the runs (the machine is shared), largest peak memory.
best_of() {
    local line best_elapsed=999999 best_cpu=999999 peak=0
    for ((run = 0; run < runs; run++)); do
        line=$(measure "$@")
        read -r elapsed cpu memory <<<"$line"
        best_elapsed=$(awk -v a="$elapsed" -v b="$best_elapsed" 'BEGIN { print (a < b) ? a : b }')
        best_cpu=$(awk -v a="$cpu" -v b="$best_cpu" 'BEGIN { print (a < b) ? a : b }')
        ((memory > peak)) && peak=$memory
    done
    echo "$best_elapsed $best_cpu $peak"
}

ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "-" }'
}

printf '\n%-8s %12s | %12s %8s %8s %9s | %12s %8s %8s %9s | %6s %6s %6s\n' \
    pair "new bytes" "jdiff bytes" "wall s" "cpu s" "peak MB" "xdelta bytes" "wall s" "cpu s" "peak MB" \
    size wall cpu
status=0
for pair in program random; do
    old=$work/$pair-old
    new=$work/$pair-new
    read -r jd_wall jd_cpu jd_mem <<<"$(best_of "$build_dir/zelk-jdiff" "$old" "$new" "$work/$pair.jdiff")"
    read -r xd_wall xd_cpu xd_mem <<<"$(best_of xdelta3 -e -0 -S none -f -s "$old" "$new" "$work/$pair.vcdiff")"
    jd_size=$(stat -c %s "$work/$pair.jdiff")
    xd_size=$(stat -c %s "$work/$pair.vcdiff")
    if ! "$build_dir/zelk-jptch" "$old" "$work/$pair.jdiff" "$work/$pair.out" || ! cmp -s "$work/$pair.out" "$new"; then
        echo "jdiff-bench: the $pair difference does not rebuild the new file" >&2
        status=1
    fi
    rm -f "$work/$pair.out"
    printf '%-8s %12d | %12d %8s %8s %9d | %12d %8s %8s %9d | %6s %6s %6s\n' \
        "$pair" "$(stat -c %s "$new")" "$jd_size" "$jd_wall" "$jd_cpu" $((jd_mem / 1024)) \
        "$xd_size" "$xd_wall" "$xd_cpu" $((xd_mem / 1024)) \
        "$(ratio "$jd_size" "$xd_size")" "$(ratio "$jd_wall" "$xd_wall")" "$(ratio "$jd_cpu" "$xd_cpu")"
done
echo
echo "ratios are zelk-jdiff / xdelta3; targets: size at most 1.25, time at most 3"
exit $status
