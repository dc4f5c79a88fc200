#!/usr/bin/env bash
# Repair runs of the built patcher (pelmo-patcher -u -r) against zelk-repair-server:
#  (a) a sample installation of SIZE_MIB MiB (default 2048) in 40 files, half incompressible and
#      half text, with 1% of its 4 MiB segments damaged (scattered over up to 20 files), repaired
#      by a first repair run (no summary file yet, so every file is read) and by a run that finds
#      the summary of the undamaged installation, against rsync from a local rsync daemon serving
#      the same reference (rsync -a --inplace --no-whole-file, which reads only the files whose
#      time differs): the time ratios, and the bytes the patcher received against the damaged
#      segments' compressed size;
#  (b) CLIENTS (default 50) small damaged installations repaired at once through one server: the
#      total time, every installation checked against the reference, the server's peak memory;
#  (c) the second repair run of an undamaged installation (summary file present) against its
#      first (no summary file), as a time ratio: with the page cache warm, and (as root) with the
#      first run reading the installation from the disk;
#  (d) the same tree repaired from a web server: a repair manifest made by zelk-mkmanifest and the
#      tree served by nginx, the same segments damaged by one flipped byte each, repaired by the
#      patcher (RepairServer "http://...", summary and segment digests of an earlier run present)
#      and by rsync as in (a): the bytes each received (nginx's count of what it sent) and their
#      wall times, as ratios; and the first repair from the web (every segment's digest taken);
#  (e) the CLIENTS installations of (b), damaged again, repaired at once from one nginx.
# Each side runs as a whole process; the best of ROUNDS (default 3) wall times counts, and the
# processor time (user and system) of that run is shown beside it.
# Usage: bench/repair-bench.sh [ROUNDS]   (SIZE_MIB, CLIENTS and BUILD_DIR from the environment)
set -euo pipefail
LC_NUMERIC=C # the shell's timer writes, and awk reads, decimal points
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
rounds=${1:-3}
size_mib=${SIZE_MIB:-2048}
clients=${CLIENTS:-50}
segment=$((4 << 20))

for tool in pelmo-patcher zelk-repair-server zelk-mksample zelk-damage zelk-mkmanifest; do
  [[ -x $build/$tool ]] || { echo "repair-bench: build $tool first" >&2; exit 2; }
done
# rsync and nginx come with the project's packages; only what is missing is installed.
if ! command -v rsync >/dev/null || ! command -v nginx >/dev/null; then
  "$root/scripts/bootstrap.sh"
fi
command -v rsync >/dev/null || { echo "repair-bench: needs rsync (scripts/bootstrap.sh installs it)" >&2; exit 2; }
command -v nginx >/dev/null || { echo "repair-bench: needs nginx (scripts/bootstrap.sh installs it)" >&2; exit 2; }

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

# Starts a server on ROOT; its port goes into $port, its log is $work/server-NAME.log.
start_server() {
  local name=$1 tree=$2 log=$work/server-$1.log
  "$build/zelk-repair-server" "$tree" --bind 127.0.0.1 --port 0 --cache "$work/$name.cache" >"$log" 2>&1 &
  pids+=($!)
  echo $! >"$work/server-$name.pid"
  for _ in $(seq 3000); do
    if grep -q 'listening on' "$log" 2>/dev/null; then
      port=$(sed -n 's/.*listening on [0-9.]*:\([0-9]*\).*/\1/p' "$log" | head -1)
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

# One run of a command with its output in the file OUT: prints its wall and its processor time
# (user and system) in milliseconds, as the shell's own timer reads them: no timing program and no
# env stand between the shell and the command, whose start would count against runs of a few tens
# of milliseconds.
timed() {
  local out=$1 times
  shift
  times=$({ TIMEFORMAT='%3R %3U %3S' && time "$@" >"$out" 2>&1; } 2>&1)
  awk '{ printf "%d %d\n", $1 * 1000, ($2 + $3) * 1000 }' <<<"$times"
}

repair() {
  local reg=$1
  mkdir -p "$work/temp"
  PELMO_REGISTRY="$reg" TEMP="$work/temp" LANG=C timed "$work/patcher.log" "$build/pelmo-patcher" -u -r
}

# Keeps the run of the smaller wall time: "wall cpu" in the variable named first.
keep_best() {
  local -n best=$1
  if [[ -z $best || ${2%% *} -lt ${best%% *} ]]; then best=$2; fi
}

same_tree() {
  diff -rq --exclude=unins000.dat --exclude=repair.cks --exclude=repair.sha --exclude=unins000.exe "$1" "$2" >/dev/null
}

# nginx serving DIR on a port of its own, its access log counting the bytes it sent ($work/nginx.log).
start_nginx() {
  local dir=$1
  web_port=$(free_port)
  mkdir -p "$work/nginx"
  cat >"$work/nginx/nginx.conf" <<EOF
user root;
worker_processes 2;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
  log_format counted '\$request \$status \$bytes_sent \$connection';
  access_log $work/nginx.log counted;
  client_body_temp_path $work/nginx;
  proxy_temp_path $work/nginx;
  fastcgi_temp_path $work/nginx;
  uwsgi_temp_path $work/nginx;
  scgi_temp_path $work/nginx;
  sendfile on;
  keepalive_requests 10000;
  server {
    listen 127.0.0.1:$web_port;
    root $dir;
    max_ranges 1;
  }
}
EOF
  nginx -c "$work/nginx/nginx.conf" -g 'daemon off;' &
  pids+=($!)
  for _ in $(seq 100); do
    curl -sf -o /dev/null "http://127.0.0.1:$web_port/repair-manifest" && return 0
    sleep 0.1
  done
  echo "repair-bench: nginx did not start" >&2
  cat "$work/nginx/error.log" >&2
  return 1
}

# The bytes nginx sent since its log was last emptied.
nginx_bytes() {
  awk '{ sum += $(NF - 1) } END { printf "%d\n", sum }' "$work/nginx.log"
}

# (a) ------------------------------------------------------------------------------------------
reference=$work/reference
mkdir -p "$reference/data"
file_mib=$((size_mib / 40))
for ((i = 0; i < 40; i++)); do
  if ((i % 2 == 0)); then
    head -c $((file_mib << 20)) /dev/urandom >"$reference/data/pack$i.bin"
  else
    head -c $(((file_mib << 20) * 3 / 4)) /dev/urandom | base64 -w 120 >"$reference/data/text$i.txt"
    truncate -s $((file_mib << 20)) "$reference/data/text$i.txt"
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

start_server a "$reference"
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

# Each round: a first repair run (no summary file: every file is read); the same damage repaired by
# a run that finds the summary of the undamaged installation (only the files whose time changed are
# read, as rsync reads only the files whose time differs); the same damage by rsync.
best_ours= best_summary= best_rsync= ours_bytes= rsync_bytes=
for ((r = 0; r < rounds; r++)); do
  rm -f "$install/repair.cks"
  keep_best best_ours "$(repair "$work/a.reg")"
  same_tree "$reference" "$install" || { echo "repair-bench: the repair left differences" >&2; exit 1; }
  ours_bytes=$(grep ' entries ' "$work/server-a.log" | tail -1 | sed 's/.* bytes \([0-9]*\) .*/\1/')
  damage
  keep_best best_summary "$(repair "$work/a.reg")"
  same_tree "$reference" "$install" || { echo "repair-bench: the repair left differences" >&2; exit 1; }
  damage
  keep_best best_rsync "$(timed "$work/rsync.log" rsync -a --inplace --no-whole-file --stats \
    --exclude=repair.cks "rsync://127.0.0.1:$rsync_port/reference/" "$install/")"
  same_tree "$reference" "$install" || { echo "repair-bench: rsync left differences" >&2; exit 1; }
  rsync_bytes=$(sed -n 's/^Total bytes received: \([0-9,]*\).*/\1/p' "$work/rsync.log" | tr -d ,)
  damage
done

# (c) on the same tree, undamaged: the first run reads every file, the second only looks at times.
rm -f "$install/repair.cks"
repair "$work/a.reg" >/dev/null # undamaged again
best_first= best_second=
for ((r = 0; r < rounds; r++)); do
  rm -f "$install/repair.cks"
  keep_best best_first "$(repair "$work/a.reg")"
  keep_best best_second "$(repair "$work/a.reg")"
done
second_bytes=$(grep ' entries ' "$work/server-a.log" | tail -1 | sed 's/.* bytes \([0-9]*\) .*/\1/')
# The same pair with the installation's files out of the page cache before the first run (only
# where the cache may be emptied, as root): a first repair of an installation nobody has just read
# takes its files from the disk, where the second looks only at their times. The programs and
# their libraries are read in again before the first run, so that it pays for the files alone.
best_cold= best_after_cold=
if [[ -w /proc/sys/vm/drop_caches ]]; then
  for ((r = 0; r < rounds; r++)); do
    rm -f "$install/repair.cks"
    sync
    echo 1 >/proc/sys/vm/drop_caches
    "$build/pelmo-patcher" -u --help >/dev/null 2>&1 || true
    keep_best best_cold "$(repair "$work/a.reg")"
    keep_best best_after_cold "$(repair "$work/a.reg")"
  done
fi
# (d) ------------------------------------------------------------------------------------------
# The reference below served/files with its manifest beside it; the installation is undamaged.
mkdir -p "$work/served"
ln -s "$reference" "$work/served/files"
"$build/zelk-mkmanifest" "$reference" "$work/served" --serial 1 >/dev/null
start_nginx "$work/served"
registry "$work/d.reg" "$install" "$web_port"
sed -i "s|\"RepairServer\"=\"127.0.0.1:$web_port\"|\"RepairServer\"=\"http://127.0.0.1:$web_port/\"|" "$work/d.reg"
byte_args=("${damage_args[@]/--flip/--flip-byte}")
damage_bytes() { "$build/zelk-damage" "$install" "${byte_args[@]}"; }
rm -f "$install/repair.sha"
damage_bytes
best_web_first=
keep_best best_web_first "$(repair "$work/d.reg")"
same_tree "$reference" "$install" || { echo "repair-bench: the web repair left differences" >&2; exit 1; }
best_web= best_rsync_byte= web_bytes= rsync_byte_bytes=
for ((r = 0; r < rounds; r++)); do
  damage_bytes
  : >"$work/nginx.log"
  keep_best best_web "$(repair "$work/d.reg")"
  same_tree "$reference" "$install" || { echo "repair-bench: the web repair left differences" >&2; exit 1; }
  web_bytes=$(nginx_bytes)
  damage_bytes
  keep_best best_rsync_byte "$(timed "$work/rsync.log" rsync -a --inplace --no-whole-file --stats \
    --exclude=repair.cks --exclude=repair.sha "rsync://127.0.0.1:$rsync_port/reference/" "$install/")"
  same_tree "$reference" "$install" || { echo "repair-bench: rsync left differences" >&2; exit 1; }
  rsync_byte_bytes=$(sed -n 's/^Total bytes received: \([0-9,]*\).*/\1/p' "$work/rsync.log" | tr -d ,)
done
rm -rf "$install" "$reference"

# (b) ------------------------------------------------------------------------------------------
small=$work/small
"$build/zelk-mksample" "$small" --version 100 >/dev/null
start_server b "$small"
port_b=$port
for ((c = 0; c < clients; c++)); do
  "$build/zelk-mksample" "$work/client$c" --version 100 >/dev/null
  "$build/zelk-damage" "$work/client$c" --flip data/textures/terrain.pak:$((c % 3)) \
    --cut data/models/aircraft.mdl:$((900 + c % 100)) --grow data/levels/region0.lvl:4096 \
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

# (e) ------------------------------------------------------------------------------------------
# The same clients damaged again and repaired at once from the small reference behind one nginx.
mkdir -p "$work/served/small"
ln -s "$small" "$work/served/small/files"
"$build/zelk-mkmanifest" "$small" "$work/served/small" --serial 1 >/dev/null
for ((c = 0; c < clients; c++)); do
  "$build/zelk-damage" "$work/client$c" --flip data/textures/terrain.pak:$((c % 3)) \
    --cut data/models/aircraft.mdl:$((900 + c % 100)) --grow data/levels/region0.lvl:4096 \
    --delete data/config/defaults.cfg --add "data/extra$c.bin:70000" --grow data/config/empty.cfg:10
  sed -i "s|\"RepairServer\"=\"[^\"]*\"|\"RepairServer\"=\"http://127.0.0.1:$web_port/small/\"|" "$work/client$c.reg"
done
: >"$work/nginx.log"
start=$(date +%s%N)
client_pids=()
for ((c = 0; c < clients; c++)); do
  PELMO_REGISTRY=$work/client$c.reg TEMP=$work/temp$c LANG=C "$build/pelmo-patcher" -u -r \
    >"$work/web-client$c.log" 2>&1 &
  client_pids+=($!)
done
web_failed=0
for ((c = 0; c < clients; c++)); do
  wait "${client_pids[$c]}" || web_failed=$((web_failed + 1))
done
web_many_ms=$((($(date +%s%N) - start) / 1000000))
web_unequal=0
for ((c = 0; c < clients; c++)); do
  same_tree "$small" "$work/client$c" || web_unequal=$((web_unequal + 1))
done
web_many_bytes=$(nginx_bytes)
web_requests=$(wc -l <"$work/nginx.log")
web_connections=$(awk '{ print $NF }' "$work/nginx.log" | sort -u | wc -l)

read -r ours_wall ours_cpu <<<"$best_ours"
read -r rsync_wall rsync_cpu <<<"$best_rsync"
read -r summary_wall summary_cpu <<<"$best_summary"
read -r first_wall first_cpu <<<"$best_first"
read -r second_wall second_cpu <<<"$best_second"
read -r cold_wall cold_cpu <<<"${best_cold:-0 0}"
read -r after_cold_wall after_cold_cpu <<<"${best_after_cold:-0 0}"
read -r web_wall web_cpu <<<"$best_web"
read -r web_first_wall web_first_cpu <<<"$best_web_first"
read -r rsync_byte_wall rsync_byte_cpu <<<"$best_rsync_byte"
awk -v ow="$ours_wall" -v oc="$ours_cpu" -v rw="$rsync_wall" -v rc="$rsync_cpu" -v ob="$ours_bytes" \
  -v rb="$rsync_bytes" -v mw="$summary_wall" -v mc="$summary_cpu" -v dc="$damaged_compressed" -v damaged="$damaged" -v total="$total_segments" \
  -v size="$size_mib" -v fw="$first_wall" -v fc="$first_cpu" -v sw="$second_wall" -v sc="$second_cpu" \
  -v sb="$second_bytes" -v clients="$clients" -v failed="$failed" -v unequal="$unequal" -v many="$many_ms" \
  -v peak="$peak_kib" -v rounds="$rounds" -v cw="$cold_wall" -v aw="$after_cold_wall" 'BEGIN {
  printf "best of %d rounds by wall time, whole processes, page cache warm; cpu = user + system\n", rounds
  printf "(a) %d MiB, %d of %d segments damaged\n", size, damaged, total
  printf "    first repair run:          wall %d ms, cpu %d ms, received %d bytes\n", ow, oc, ob
  printf "    repair run with a summary: wall %d ms, cpu %d ms\n", mw, mc
  printf "    rsync:                     wall %d ms, cpu %d ms, received %d bytes\n", rw, rc, rb
  printf "    wall time ratio (first repair / rsync): %.3f, (repair with a summary / rsync): %.3f\n", ow / rw, mw / rw
  printf "    bytes received / damaged segments compressed (%d bytes): %.3f\n", dc, ob / dc
  printf "(b) %d clients at once through one server: %d ms, %d failed, %d unequal, server peak %d KiB\n",
         clients, many, failed, unequal, peak
  printf "(c) undamaged installation: first run wall %d ms cpu %d ms, second wall %d ms cpu %d ms (received %d bytes)\n",
         fw, fc, sw, sc, sb
  printf "    wall time ratio (second / first): %.3f, cpu time ratio: %.3f\n", sw / fw, sc / (fc ? fc : 1)
  if (cw > 0)
    printf "    first run from the disk: wall %d ms, the second after it %d ms: ratio %.3f\n", cw, aw, aw / cw
  else
    printf "    first run from the disk: not measured (emptying the page cache needs root)\n"
}'
awk -v ww="$web_wall" -v wc="$web_cpu" -v wb="$web_bytes" -v rw="$rsync_byte_wall" -v rc="$rsync_byte_cpu" \
  -v rb="$rsync_byte_bytes" -v fw="$web_first_wall" -v fc="$web_first_cpu" -v damaged="$damaged" \
  -v clients="$clients" -v failed="$web_failed" -v unequal="$web_unequal" -v many="$web_many_ms" \
  -v mb="$web_many_bytes" -v requests="$web_requests" -v connections="$web_connections" 'BEGIN {
  printf "(d) the same tree from nginx, %d segments with one flipped byte each\n", damaged
  printf "    web repair, summary and digests present: wall %d ms, cpu %d ms, received %d bytes\n", ww, wc, wb
  printf "    rsync:                                   wall %d ms, cpu %d ms, received %d bytes\n", rw, rc, rb
  printf "    bytes received ratio (web repair / rsync): %.3f, wall time ratio: %.3f\n", wb / rb, ww / rw
  printf "    first web repair (every segment digest taken): wall %d ms, cpu %d ms\n", fw, fc
  printf "(e) %d clients at once from one nginx: %d ms, %d failed, %d unequal, %d requests over %d connections, %d bytes\n",
         clients, many, failed, unequal, requests, connections, mb
}'
