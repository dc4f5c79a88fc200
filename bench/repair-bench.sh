#!/usr/bin/env bash
# Repair runs of the built patcher (pelmo-patcher -u -r) against zelk-repair-server:
#  (a) a sample installation of SIZE_MIB MiB (default 2048) in 40 files, half incompressible and
#      half text, with 1% of its 4 MiB segments damaged (scattered over up to 20 files), repaired
#      by a first repair run (no summary file yet, so every file is read) against rsync from a
#      local rsync daemon serving the same reference (rsync -a --inplace --no-whole-file): the time
#      ratio, and the bytes the patcher received against the damaged segments' compressed size;
#  (b) CLIENTS (default 50) small damaged installations repaired at once through one server: the
#      total time, every installation checked against the reference, the server's peak memory;
#  (c) the second repair run of an undamaged installation (summary file present) against its
#      first (no summary file), as a time ratio.
# Each side runs as a whole process; the best of ROUNDS (default 3) wall times counts.
# Usage: bench/repair-bench.sh [ROUNDS]   (SIZE_MIB, CLIENTS and BUILD_DIR from the environment)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
rounds=${1:-3}
size_mib=${SIZE_MIB:-2048}
clients=${CLIENTS:-50}
segment=$((4 << 20))

for tool in pelmo-patcher zelk-repair-server zelk-mksample zelk-damage; do
  [[ -x $build/$tool ]] || { echo "repair-bench: build $tool first" >&2; exit 2; }
done
command -v rsync >/dev/null || { echo "repair-bench: needs rsync (scripts/bootstrap.sh installs it)" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/repair-bench.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Starts a server on ROOT and prints its port; its log is $work/server-NAME.log.
start_server() {
  local name=$1 tree=$2 log=$work/server-$1.log
  "$build/zelk-repair-server" "$tree" --bind 127.0.0.1 --port 0 --cache "$work/$name.cache" >"$log" 2>&1 &
  pids+=($!)
  echo $! >"$work/server-$name.pid"
  for _ in $(seq 3000); do
    if grep -q 'listening on' "$log"; then
      sed -n 's/.*listening on [0-9.]*:\([0-9]*\).*/\1/p' "$log" | head -1
      return 0
    fi
    sleep 0.1
  done
  echo "repair-bench: server $name did not start" >&2
  return 1
}

# A registry file naming the installation and the repair server.
registry() {
  local file=$1 install=$2 port=$3
  printf '%s\n' 'Windows Registry Editor Version 5.00' '' '[HKEY_LOCAL_MACHINE\SOFTWARE\Pelmo]' \
    "\"RepairServer\"=\"127.0.0.1:$port\"" '' \
    '[HKEY_LOCAL_MACHINE\SOFTWARE\Pelmo\Products\KorvilSimulator\Korvil]' '"ProductClass"="Korvil"' \
    "\"ProductInstallPath\"=\"$install\"" >"$file"
}

repair() {
  local reg=$1
  mkdir -p "$work/temp"
  PELMO_REGISTRY=$reg TEMP=$work/temp LANG=C "$build/pelmo-patcher" -u -r >"$work/patcher.log" 2>&1
}

# Wall seconds of one run of a command.
timed() {
  local start end
  start=$(date +%s%N)
  "$@"
  end=$(date +%s%N)
  echo $(((end - start) / 1000000))
}

same_tree() {
  diff -rq --exclude=unins000.dat --exclude=repair.cks --exclude=unins000.exe "$1" "$2" >/dev/null
}

# (a) ------------------------------------------------------------------------------------------
reference=$work/reference
mkdir -p "$reference/data"
file_mib=$((size_mib / 40))
for ((i = 0; i < 40; i++)); do
  if ((i % 2 == 0)); then
    head -c $((file_mib << 20)) /dev/urandom >"$reference/data/pack$i.bin"
  else
    head -c $(((file_mib << 20) * 3 / 4)) /dev/urandom | base64 -w 120 | head -c $((file_mib << 20)) \
      >"$reference/data/text$i.txt"
  fi
done
: >"$reference/data/empty.cfg"
install=$work/install
cp -a "$reference" "$install"

# 1% of the segments, one per file round the 20 largest files, each at another segment index.
total_segments=$(((size_mib << 20) / segment))
damaged=$(((total_segments + 99) / 100))
mapfile -t files < <(cd "$install" && ls -S data | head -20)
damage_args=()
for ((d = 0; d < damaged; d++)); do
  file=data/${files[$((d % ${#files[@]}))]}
  size=$(stat -c %s "$install/$file")
  index=$(((d * 7 + d / ${#files[@]}) % ((size + segment - 1) / segment)))
  damage_args+=(--flip "$file:$index")
done
damage() { "$build/zelk-damage" "$install" "${damage_args[@]}"; }
damage
# The compressed size of the damaged segments as the server sends them: a framed zlib block when
# that is smaller, the raw segment otherwise.
damaged_compressed=$(/usr/bin/python3 - "$reference" "${damage_args[@]}" <<'PY'
import sys, zlib
root, args = sys.argv[1], sys.argv[2:]
total = 0
for flag, target in zip(args[::2], args[1::2]):
    path, index = target.rsplit(":", 1)
    with open(f"{root}/{path}", "rb") as f:
        f.seek(int(index) * 4194304)
        data = f.read(4194304)
    total += min(len(data), 8 + len(zlib.compress(data, 6)))
print(total)
PY
)

port=$(start_server a "$reference")
registry "$work/a.reg" "$install" "$port"
rsync_port=$(free_port)
cat >"$work/rsyncd.conf" <<EOF
pid file = $work/rsyncd.pid
port = $rsync_port
address = 127.0.0.1
use chroot = no
[reference]
  path = $reference
  read only = yes
EOF
rsync --daemon --no-detach --config="$work/rsyncd.conf" &
pids+=($!)
sleep 1
find "$reference" "$install" -type f -exec cat {} + >/dev/null # both trees into the page cache

best_ours= best_rsync= ours_bytes= rsync_bytes=
for ((r = 0; r < rounds; r++)); do
  rm -f "$install/repair.cks"
  t=$(timed repair "$work/a.reg")
  same_tree "$reference" "$install" || { echo "repair-bench: the repair left differences" >&2; exit 1; }
  ((best_ours == "" || t < best_ours)) && best_ours=$t
  ours_bytes=$(grep ' entries ' "$work/server-a.log" | tail -1 | sed 's/.* bytes \([0-9]*\) .*/\1/')
  damage
  t=$(timed rsync -a --inplace --no-whole-file --stats --exclude=repair.cks \
    "rsync://127.0.0.1:$rsync_port/reference/" "$install/" >"$work/rsync.log")
  same_tree "$reference" "$install" || { echo "repair-bench: rsync left differences" >&2; exit 1; }
  ((best_rsync == "" || t < best_rsync)) && best_rsync=$t
  rsync_bytes=$(sed -n 's/^Total bytes received: \([0-9,]*\).*/\1/p' "$work/rsync.log" | tr -d ,)
  damage
done

# (c) on the same tree, undamaged: the first run reads every file, the second only looks at times.
rm -f "$install/repair.cks"
repair "$work/a.reg" # undamaged again
best_first= best_second=
for ((r = 0; r < rounds; r++)); do
  rm -f "$install/repair.cks"
  t=$(timed repair "$work/a.reg")
  ((best_first == "" || t < best_first)) && best_first=$t
  t=$(timed repair "$work/a.reg")
  ((best_second == "" || t < best_second)) && best_second=$t
done
second_bytes=$(grep ' entries ' "$work/server-a.log" | tail -1 | sed 's/.* bytes \([0-9]*\) .*/\1/')
rm -rf "$install" "$reference"

# (b) ------------------------------------------------------------------------------------------
small=$work/small
"$build/zelk-mksample" "$small" --version 100 >/dev/null
port_b=$(start_server b "$small")
for ((c = 0; c < clients; c++)); do
  "$build/zelk-mksample" "$work/client$c" --version 100 >/dev/null
  "$build/zelk-damage" "$work/client$c" --flip data/textures/terrain.pak:$((c % 3)) \
    --cut data/models/aircraft.mdl:$((1000 + c)) --grow data/levels/region0.lvl:4096 \
    --delete data/config/defaults.cfg --add "data/extra$c.bin:70000" --grow data/config/empty.cfg:10
  registry "$work/client$c.reg" "$work/client$c" "$port_b"
  mkdir -p "$work/temp$c"
done
start=$(date +%s%N)
client_pids=()
for ((c = 0; c < clients; c++)); do
  PELMO_REGISTRY=$work/client$c.reg TEMP=$work/temp$c LANG=C "$build/pelmo-patcher" -u -r \
    >"$work/client$c.log" 2>&1 &
  client_pids+=($!)
done
failed=0
for ((c = 0; c < clients; c++)); do
  wait "${client_pids[$c]}" || failed=$((failed + 1))
done
many_ms=$((($(date +%s%N) - start) / 1000000))
unequal=0
for ((c = 0; c < clients; c++)); do
  same_tree "$small" "$work/client$c" || unequal=$((unequal + 1))
done
peak_kib=$(sed -n 's/^VmHWM:[^0-9]*\([0-9]*\).*/\1/p' "/proc/$(cat "$work/server-b.pid")/status")

awk -v ours="$best_ours" -v theirs="$best_rsync" -v ob="$ours_bytes" -v rb="$rsync_bytes" \
  -v dc="$damaged_compressed" -v damaged="$damaged" -v total="$total_segments" -v size="$size_mib" \
  -v first="$best_first" -v second="$best_second" -v sb="$second_bytes" -v clients="$clients" \
  -v failed="$failed" -v unequal="$unequal" -v many="$many_ms" -v peak="$peak_kib" -v rounds="$rounds" 'BEGIN {
  printf "best of %d rounds, whole processes, page cache warm\n", rounds
  printf "(a) %d MiB, %d of %d segments damaged\n", size, damaged, total
  printf "    repair run: %d ms, received %d bytes\n", ours, ob
  printf "    rsync:      %d ms, received %d bytes\n", theirs, rb
  printf "    time ratio (repair / rsync): %.3f\n", ours / theirs
  printf "    bytes received / damaged segments compressed (%d bytes): %.3f\n", dc, ob / dc
  printf "(b) %d clients at once through one server: %d ms, %d failed, %d unequal, server peak %d KiB\n",
         clients, many, failed, unequal, peak
  printf "(c) undamaged installation: first run %d ms, second %d ms (received %d bytes)\n", first, second, sb
  printf "    time ratio (second / first): %.3f\n", second / first
}'
