#!/usr/bin/env bash
# DownloadToFile against curl on the same 512 MiB file, served by the same local HTTP server and
# the same local FTP server (the test servers in tests/servers/), both writing a file in the same
# directory. Prints the best time of each per protocol and the ratio download_bench / curl
# (1.0 = as fast as curl, lower is faster). Usage: bench/download-bench.sh [ROUNDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
rounds=${1:-3}
python=/usr/bin/python3

command -v curl >/dev/null || { echo "download-bench: curl is missing (run scripts/bootstrap.sh)" >&2; exit 1; }
cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target download_bench >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/download-bench.XXXXXX")
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/root"
# Incompressible bytes, so nothing along the way can take a shortcut.
head -c $((512 << 20)) /dev/urandom >"$work/root/data.bin"
cat "$work/root/data.bin" >/dev/null # into the page cache

# Starts a server in the background (in this shell, so that the exit trap can end it) and sets
# the variable named by $2 to its port once it says "ready PORT".
start_server() {
    local script=$1 out=$work/$1.out
    "$python" "$root/tests/servers/$script" --root "$work/root" >"$out" 2>"$work/$1.err" &
    pids+=($!)
    for _ in $(seq 100); do
        if grep -q '^ready ' "$out" 2>/dev/null; then
            printf -v "$2" '%s' "$(awk '/^ready /{print $2; exit}' "$out")"
            return
        fi
        sleep 0.1
    done
    echo "download-bench: $script did not start" >&2
    exit 1
}
export no_proxy=127.0.0.1 NO_PROXY=127.0.0.1
start_server http_server.py http_port
start_server ftp_server.py ftp_port

best() { sort -g | head -1; }

# One timed fetch by each program; the output file is removed first so that both write anew.
time_zelk() {
    rm -f "$work/out.bin"
    "$build/bench/download_bench" "$1" "$work/out.bin"
    cmp -s "$work/out.bin" "$work/root/data.bin" || { echo "download-bench: download_bench got other bytes" >&2; exit 1; }
}
time_curl() {
    rm -f "$work/out.bin"
    # curl's own clock, as download_bench measures inside the program too.
    curl -s -S -o "$work/out.bin" -w '%{time_total}\n' "$1"
    cmp -s "$work/out.bin" "$work/root/data.bin" || { echo "download-bench: curl got other bytes" >&2; exit 1; }
}

printf '%-6s %12s %12s %8s\n' protocol zelk_s curl_s ratio
for protocol in http ftp; do
    if [[ $protocol == http ]]; then port=$http_port; else port=$ftp_port; fi
    address="$protocol://127.0.0.1:$port/data.bin"
    zelk_times=() curl_times=()
    for ((round = 0; round < rounds; round++)); do
        zelk_times+=("$(time_zelk "$address")")
        curl_times+=("$(time_curl "$address")")
    done
    zelk=$(printf '%s\n' "${zelk_times[@]}" | best)
    curl_best=$(printf '%s\n' "${curl_times[@]}" | best)
    ratio=$(awk -v a="$zelk" -v b="$curl_best" 'BEGIN { print a / b }')
    printf '%-6s %12.3f %12.3f %8.2f\n' "$protocol" "$zelk" "$curl_best" "$ratio"
done
