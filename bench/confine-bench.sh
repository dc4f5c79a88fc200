#!/usr/bin/env bash
# What resolving every name beneath the installation costs the patcher: the patcher of this tree
# against the one built from the commit before the installation was confined, run in turn on
#  (a) a standalone run of a 1 GiB step on a sample installation: eight files of 64 MiB patched
#      (each checked by MD5 before and after, backed up, rewritten by the patch tool), eight of
#      64 MiB added, one deleted, the journal and the uninstall log;
#  (b) a repair run that scans an installation of SIZE_MIB MiB (default 2048) in 40 files without
#      a summary file (every segment read and checksummed) against a server with the same files,
#      so that the scan is the whole run.
# Each run is a whole process with the page cache warm; the two programs alternate, A B A B, and
# the median wall time of ROUNDS runs (default 5) of each counts: the ratio confined / before
# (1.00 = no cost). The processor time (user and system) of each median run is shown beside it.
# Usage: bench/confine-bench.sh [ROUNDS]
# BUILD_DIR is this tree's build (default build/); REFERENCE_BUILD a build of the code before
# (default: the commit before kernel/ConfinedDirectory.h came in, exported with git archive and
# built in the scratch directory).
set -euo pipefail
LC_NUMERIC=C # the shell's timer writes, and awk reads, decimal points
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
rounds=${1:-5}
size_mib=${SIZE_MIB:-2048}

for tool in pelmo-patcher zelk-repair-server zelk-mksample zelk-mkpatch zelk-mkpayload; do
  [[ -x $build/$tool ]] || { echo "confine-bench: build $tool first" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/confine-bench.XXXXXX")
server_pid=
cleanup() {
  [[ -n $server_pid ]] && kill -TERM "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

reference_build=${REFERENCE_BUILD:-}
if [[ -z $reference_build ]]; then
  added=$(git -C "$root" log --diff-filter=A --format=%H -- kernel/ConfinedDirectory.h | tail -1)
  [[ -n $added ]] || { echo "confine-bench: cannot find the commit before the confinement" >&2; exit 2; }
  echo "building the patcher of ${added:0:12}^ (before the confinement)..."
  mkdir -p "$work/reference-src"
  git -C "$root" archive "$added^" | tar -x -C "$work/reference-src"
  reference_build=$work/reference-build
  cmake -S "$work/reference-src" -B "$reference_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$reference_build" --target pelmo-patcher >/dev/null
fi
[[ -x $reference_build/pelmo-patcher ]] || { echo "confine-bench: no pelmo-patcher in $reference_build" >&2; exit 2; }

# One run with its output in the file OUT: prints its wall and its processor time (user and system)
# in milliseconds, as the shell's own timer reads them.
timed() {
  local out=$1 times
  shift
  times=$({ TIMEFORMAT='%3R %3U %3S' && time "$@" >"$out" 2>&1; } 2>&1)
  awk '{ printf "%d %d\n", $1 * 1000, ($2 + $3) * 1000 }' <<<"$times"
}

# The median run of a list of "wall cpu" lines, by wall time.
median() {
  sort -n | awk '{ line[NR] = $0 } END { print line[int((NR + 1) / 2)] }'
}

registry() {
  local file=$1 install=$2 port=${3:-}
  {
    printf '%s\n' 'Windows Registry Editor Version 5.00' ''
    [[ -n $port ]] && printf '%s\n' '[HKEY_LOCAL_MACHINE\SOFTWARE\Pelmo]' "\"RepairServer\"=\"127.0.0.1:$port\"" ''
    printf '%s\n' '[HKEY_LOCAL_MACHINE\SOFTWARE\Pelmo\Products\KorvilSimulator\Korvil]' '"ProductClass"="Korvil"' \
      "\"ProductInstallPath\"=\"$install\""
  } >"$file"
}

same_tree() {
  diff -rq --exclude=unins000.dat --exclude=repair.cks --exclude=unins000.exe "$1" "$2" >/dev/null
}

# (a) ------------------------------------------------------------------------------------------
echo "making the 1 GiB step..."
old=$work/old
new=$work/new
digest=$("$build/zelk-mksample" "$old" --version 100 | head -1)
"$build/zelk-mksample" "$new" --version 101 >/dev/null
rm -f "$new/unins000.dat"
mkdir -p "$old/data/big" "$new/data/big"
for ((i = 0; i < 8; i++)); do
  head -c $((64 << 20)) /dev/urandom >"$old/data/big/patch$i.bin"
  cp "$old/data/big/patch$i.bin" "$new/data/big/patch$i.bin"
  head -c $((64 << 10)) /dev/urandom | dd of="$new/data/big/patch$i.bin" bs=1M seek=$((8 + 4 * i)) conv=notrunc \
    status=none
  head -c $((64 << 20)) /dev/urandom >"$new/data/big/add$i.bin"
done
head -c $((16 << 20)) /dev/urandom >"$old/data/big/gone.bin"
"$build/zelk-mkpatch" "$old" "$new" "$work/step.zip" >/dev/null
for side in confined before; do
  patcher=$build/pelmo-patcher
  [[ $side == before ]] && patcher=$reference_build/pelmo-patcher
  "$build/zelk-mkpayload" "$patcher" "$work/patcher-$side" --target 101 --build "$digest=100" \
    --step "100:101:$work/step.zip" >/dev/null
done

install=$work/install
registry "$work/a.reg" "$install"
standalone() {
  local side=$1
  rm -rf "$install" "$work/temp"
  cp -a "$old" "$install"
  mkdir -p "$work/temp"
  cat "$install"/data/big/* >/dev/null
  PELMO_REGISTRY=$work/a.reg TEMP=$work/temp LANG=C KORVILUTIL_LOG=$work/utility.log \
    timed "$work/standalone-$side.log" "$work/patcher-$side" -u
  same_tree "$new" "$install" || { echo "confine-bench: the $side run left differences" >&2; exit 1; }
}
: >"$work/a-confined" >"$work/a-before"
for ((r = 0; r < rounds; r++)); do
  standalone confined >>"$work/a-confined"
  standalone before >>"$work/a-before"
done
rm -rf "$install" "$old" "$new" "$work/step.zip" "$work"/patcher-* "$work/temp"

# (b) ------------------------------------------------------------------------------------------
echo "making the $size_mib MiB installation..."
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
cp -a "$reference" "$install"
"$build/zelk-repair-server" "$reference" --bind 127.0.0.1 --port 0 --cache "$work/reference.cache" \
  >"$work/server.log" 2>&1 &
server_pid=$!
port=
for _ in $(seq 3000); do
  port=$(sed -n 's/.*listening on [0-9.]*:\([0-9]*\).*/\1/p' "$work/server.log" | head -1)
  [[ -n $port ]] && break
  sleep 0.1
done
[[ -n $port ]] || { echo "confine-bench: the repair server did not start" >&2; exit 1; }
registry "$work/b.reg" "$install" "$port"
mkdir -p "$work/temp"
scan() {
  local side=$1 patcher=$build/pelmo-patcher
  [[ $side == before ]] && patcher=$reference_build/pelmo-patcher
  rm -f "$install/repair.cks"
  PELMO_REGISTRY=$work/b.reg TEMP=$work/temp LANG=C timed "$work/scan-$side.log" "$patcher" -u -r
  grep -q 'Patching completed.' "$work/scan-$side.log" || { echo "confine-bench: the $side repair failed" >&2; exit 1; }
}
cat "$install"/data/* >/dev/null
: >"$work/b-confined" >"$work/b-before"
for ((r = 0; r < rounds; r++)); do
  scan confined >>"$work/b-confined"
  scan before >>"$work/b-before"
done

read -r a_wall a_cpu < <(median <"$work/a-confined")
read -r a_ref_wall a_ref_cpu < <(median <"$work/a-before")
read -r b_wall b_cpu < <(median <"$work/b-confined")
read -r b_ref_wall b_ref_cpu < <(median <"$work/b-before")
awk -v rounds="$rounds" -v size="$size_mib" -v aw="$a_wall" -v ac="$a_cpu" -v arw="$a_ref_wall" -v arc="$a_ref_cpu" \
  -v bw="$b_wall" -v bc="$b_cpu" -v brw="$b_ref_wall" -v brc="$b_ref_cpu" 'BEGIN {
  printf "median of %d runs each, in turn, whole processes, page cache warm; cpu = user + system\n", rounds
  printf "(a) standalone run of the 1 GiB step: confined wall %d ms cpu %d ms, before wall %d ms cpu %d ms\n",
         aw, ac, arw, arc
  printf "    wall time ratio (confined / before): %.3f\n", aw / arw
  printf "(b) repair scan of %d MiB: confined wall %d ms cpu %d ms, before wall %d ms cpu %d ms\n",
         size, bw, bc, brw, brc
  printf "    wall time ratio (confined / before): %.3f\n", bw / brw
}'
