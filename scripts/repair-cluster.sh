#!/usr/bin/env bash
# Repair at scale on one machine: SERVERS zelk-repair-server instances sharing one reference tree
# behind nginx's TCP load balancing, and CLIENTS damaged sample installations repaired through the
# balancer at once by the built patcher (pelmo-patcher -u -r). Everything listens on 127.0.0.1 and
# is stopped at the end, also when the script fails or is interrupted.
#
#   scripts/repair-cluster.sh [BUILD_DIR]        (default: build)
#   SERVERS=3 CLIENTS=10 scripts/repair-cluster.sh
#
# Exit status: 0 every client repaired, 1 a client failed or differs from the reference, 2 a
# program is missing or a server did not start.
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$source_dir/build}" && pwd)
servers=${SERVERS:-2}
clients=${CLIENTS:-4}
stream_module=${NGINX_STREAM_MODULE:-/usr/lib/nginx/modules/ngx_stream_module.so}

say() { echo "repair-cluster: $*"; }

for tool in zelk-repair-server zelk-mksample zelk-damage pelmo-patcher; do
  if [[ ! -x $build/$tool ]]; then
    say "$build/$tool is missing; build it first (ninja -C $build $tool)"
    exit 2
  fi
done
if ! command -v nginx >/dev/null || [[ ! -f $stream_module ]]; then
  say "needs nginx with its stream module: apt-get install nginx-light libnginx-mod-stream"
  exit 2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/repair-cluster-XXXXXX")
pids=()
stop_all() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  pids=()
}
trap 'stop_all; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

# A port nobody listens on now; nginx needs it named in its configuration.
free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Waits until the file holds "listening on 127.0.0.1:PORT" and prints the port.
listening_port() {
  local log=$1
  for _ in $(seq 600); do
    if grep -q 'listening on' "$log" 2>/dev/null; then
      sed -n 's/.*listening on [0-9.]*:\([0-9]*\).*/\1/p' "$log" | head -1
      return 0
    fi
    sleep 0.1
  done
  return 1
}

say "reference tree and $clients damaged installations in $work"
"$build/zelk-mksample" "$work/reference" --version 100 >/dev/null
for ((c = 0; c < clients; c++)); do
  "$build/zelk-mksample" "$work/client$c" --version 100 >/dev/null
  "$build/zelk-damage" "$work/client$c" --flip data/textures/terrain.pak:$((c % 3)) \
    --cut data/models/aircraft.mdl:$((1000 + c)) --grow data/levels/region0.lvl:4096 \
    --delete data/config/defaults.cfg --add "data/extra$c.bin:70000" --grow data/config/empty.cfg:10
done

# The servers share the reference and its cache: the first start reads the tree, the others
# find the cache current.
upstream=""
for ((s = 0; s < servers; s++)); do
  "$build/zelk-repair-server" "$work/reference" --bind 127.0.0.1 --port 0 \
    --cache "$work/reference.cache" >"$work/server$s.log" 2>&1 &
  pids+=($!)
  if ! port=$(listening_port "$work/server$s.log"); then
    say "server $s did not start:"; cat "$work/server$s.log"; exit 2
  fi
  say "server $s on 127.0.0.1:$port"
  upstream+="    server 127.0.0.1:$port;"$'\n'
done

balancer=$(free_port)
mkdir -p "$work/nginx"
cat >"$work/nginx/nginx.conf" <<EOF
load_module $stream_module;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
worker_processes 1;
events { worker_connections 1024; }
stream {
  upstream repair {
    least_conn;
$upstream  }
  server {
    listen 127.0.0.1:$balancer;
    proxy_pass repair;
    # A repair run is one long exchange; the summary can take a while to arrive.
    proxy_timeout 10m;
  }
}
EOF
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -g 'daemon off;' 2>>"$work/nginx/error.log" &
pids+=($!)
# nginx writes its pid file once it listens; a probe connection would reach a server as a client.
for _ in $(seq 100); do
  [[ -s $work/nginx/nginx.pid ]] && break
  sleep 0.1
done
say "nginx balancing 127.0.0.1:$balancer over $servers servers"

start=$(date +%s%N)
client_pids=()
for ((c = 0; c < clients; c++)); do
  mkdir -p "$work/temp$c"
  cat >"$work/client$c.reg" <<EOF
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo]
"RepairServer"="127.0.0.1:$balancer"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo\\Products\\KorvilSimulator\\Korvil]
"ProductClass"="Korvil"
"ProductInstallPath"="$work/client$c"
EOF
  PELMO_REGISTRY="$work/client$c.reg" TEMP="$work/temp$c" LANG=C \
    "$build/pelmo-patcher" -u -r >"$work/client$c.log" 2>&1 &
  client_pids+=($!)
done
failed=0
for ((c = 0; c < clients; c++)); do
  if ! wait "${client_pids[$c]}"; then
    say "client $c failed:"; tail -5 "$work/client$c.log"; failed=1
  elif ! diff -rq --exclude=unins000.dat --exclude=repair.cks "$work/reference" "$work/client$c" >/dev/null; then
    say "client $c differs from the reference:"
    diff -rq --exclude=unins000.dat --exclude=repair.cks "$work/reference" "$work/client$c" | head -5
    failed=1
  fi
done
elapsed_ms=$((($(date +%s%N) - start) / 1000000))
say "$clients clients in $elapsed_ms ms; connections served per server:"
for ((s = 0; s < servers; s++)); do
  echo "  server $s: $(grep -c ' entries ' "$work/server$s.log" || true)"
  grep ' entries ' "$work/server$s.log" | sed 's/^/    /'
done
stop_all
((failed == 0)) && say "every client equals the reference" || say "some clients failed"
exit "$failed"
