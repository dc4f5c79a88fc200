#!/usr/bin/env bash
# zelk-repair-server under hostile load (bench/repair_abuse_bench.cpp says what each wave holds):
# a sample reference and an undamaged copy of it as the well-behaved clients' installation, the
# server with its default limits on 127.0.0.1, WAVES waves (default 5) of 200 connections. Prints
# the bench's figures and the server's own count of the connections it refused or dropped.
# Target: the server's peak under 600 MiB, every well-behaved client done, and its resident size
# back under 200 MiB after the clients left.
# Usage: bench/repair-abuse-bench.sh [WAVES] [HOLD_SECONDS]   (BUILD_DIR from the environment)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
waves=${1:-5}
hold=${2:-5}

for tool in zelk-repair-server zelk-mksample bench/repair_abuse_bench; do
  [[ -x $build/$tool ]] || { echo "repair-abuse-bench: build $tool first" >&2; exit 2; }
done
# Every client holds a descriptor in this process and one in the server.
ulimit -n 8192

work=$(mktemp -d "${TMPDIR:-/tmp}/repair-abuse-bench.XXXXXX")
server_pid=
cleanup() {
  if [[ -n $server_pid ]]; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

"$build/zelk-mksample" "$work/reference" --version 100 >/dev/null
cp -a "$work/reference" "$work/install"
"$build/zelk-repair-server" "$work/reference" --bind 127.0.0.1 --port 0 >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 600); do
  grep -q 'of them from the cache' "$work/server.log" 2>/dev/null && break
  sleep 0.1
done
port=$(sed -n 's/.*listening on [0-9.]*:\([0-9]*\).*/\1/p' "$work/server.log" | head -1)
[[ -n $port ]] || { echo "repair-abuse-bench: the server did not start" >&2; cat "$work/server.log" >&2; exit 2; }

status=0
"$build/bench/repair_abuse_bench" "$port" "$server_pid" "$work/install" "$waves" "$hold" || status=$?
count() { grep -c -- "$1" "$work/server.log" || true; }
echo "server log: $(count ': done$') done, $(count ' refused: ') refusal lines," \
  "$(count "over the server's memory limit") over the memory limit, $(count 'slower than') too slow," \
  "$(count 'summary') summaries refused"
exit "$status"
