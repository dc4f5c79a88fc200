#!/usr/bin/env bash
# Peak memory of the built patcher applying steps with very large files: one step adds a file of
# ADD_MIB (default 3 GiB), the next patches a file of PATCH_MIB (default 1.5 GiB), both from a
# standalone patcher run unattended. The reference is the same patcher applying a step of the
# small sample installation, in the same run: the ratios show how far memory follows the files.
# Peak memory is the largest resident set of the whole run, the patcher and the patch tool it
# starts (/usr/bin/time -v). Each installation must equal its build byte for byte afterwards, and
# each big run must stay under LIMIT_MB (default 300).
#
# Usage: bench/big-step-bench.sh   (needs about 6 times ADD_MIB + 4 times PATCH_MIB of disk in
# TMPDIR; BUILD_DIR names the build tree)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
add_mib=${ADD_MIB:-3072}
patch_mib=${PATCH_MIB:-1536}
limit_mb=${LIMIT_MB:-300}

cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target pelmo-patcher zelk-mksample zelk-mkpatch zelk-mkpayload zelk-jptch >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/big-step-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
say() { printf '== %s\n' "$*" >&2; }

# Content that compresses about as well as game assets do: every MiB holds 16 KiB of random bytes
# repeated, different from one MiB to the next. With a second argument, every 64th MiB is changed
# in its first 4 KiB and 100 bytes are inserted after the middle: a new build of the same file.
make_file() {
  /usr/bin/python3 - "$@" <<'PY'
import os, random, sys
path, mib = sys.argv[1], int(sys.argv[2])
edited = len(sys.argv) > 3
rng = random.Random(2024)
with open(path, 'wb', buffering=1 << 20) as out:
    for i in range(mib):
        chunk = bytearray(rng.randbytes(16384) * 64)
        if edited and i % 64 == 0:
            chunk[:4096] = rng.randbytes(4096)
        if edited and i == mib // 2:
            chunk[5000:5000] = b'inserted' * 12 + b'four'
        out.write(chunk)
PY
}

say "Making builds 100, 101 and 102 ($add_mib MiB added in 101, $patch_mib MiB patched in 102)"
declare -A digest
for version in 100 101 102; do
  digest[$version]=$("$build/zelk-mksample" "$work/build-$version" --version "$version")
  rm "$work/build-$version/unins000.dat"
done
"$build/zelk-mksample" "$work/small" --version 100 >/dev/null
"$build/zelk-mksample" "$work/installed" --version 100 >/dev/null
make_file "$work/build-100/data/big.pak" "$patch_mib"
ln "$work/build-100/data/big.pak" "$work/build-101/data/big.pak"
make_file "$work/build-102/data/big.pak" "$patch_mib" edited
make_file "$work/build-101/data/huge.pak" "$add_mib"
ln "$work/build-101/data/huge.pak" "$work/build-102/data/huge.pak"
cp "$work/build-100/data/big.pak" "$work/installed/data/big.pak"

say "Making the steps and the standalone patchers"
"$build/zelk-mkpatch" "$work/build-100" "$work/build-101" "$work/add.zip" >&2
"$build/zelk-mkpatch" "$work/build-101" "$work/build-102" "$work/patch.zip" >&2
# The small reference step: the sample installation from 100 to 101 without the big files.
mkdir "$work/small-101"
cp -r "$work/build-101/." "$work/small-101/"
rm "$work/small-101/data/big.pak" "$work/small-101/data/huge.pak"
"$build/zelk-mkpatch" --exclude data/big.pak "$work/build-100" "$work/small-101" "$work/small.zip" >&2
"$build/zelk-mkpayload" "$build/pelmo-patcher" "$work/patcher-add" --target 101 \
  --build "${digest[100]}=100" --step "100:101:$work/add.zip" >/dev/null
"$build/zelk-mkpayload" "$build/pelmo-patcher" "$work/patcher-patch" --target 102 \
  --build "${digest[101]}=101" --step "101:102:$work/patch.zip" >/dev/null
"$build/zelk-mkpayload" "$build/pelmo-patcher" "$work/patcher-small" --target 101 \
  --build "${digest[100]}=100" --step "100:101:$work/small.zip" >/dev/null
ls -l "$work/add.zip" "$work/patch.zip" "$work/small.zip" >&2

export TEMP="$work/temp"
mkdir -p "$TEMP"
# Runs one patcher on one installation; prints its peak memory in KiB.
run() {
  local patcher=$1 installation=$2
  export PELMO_REGISTRY="$work/registry.reg"
  printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo\\Products\\KorvilSimulator\\Korvil]\n"ProductClass"="Korvil"\n"ProductInstallPath"="%s"\n' \
    "$installation" >"$PELMO_REGISTRY"
  /usr/bin/time -v -o "$work/time.txt" "$patcher" -u >"$work/run.log" 2>&1 || {
    cat "$work/run.log" >&2
    echo "big-step-bench: $patcher failed" >&2
    exit 1
  }
  awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time.txt"
}
same() {
  diff -r --exclude=unins000.dat "$1" "$2" >/dev/null || {
    echo "big-step-bench: $1 differs from $2" >&2
    exit 1
  }
}

say "Applying the small step (reference)"
small_kib=$(run "$work/patcher-small" "$work/small")
same "$work/small" "$work/small-101"
say "Applying the step that adds $add_mib MiB"
add_kib=$(run "$work/patcher-add" "$work/installed")
same "$work/installed" "$work/build-101"
say "Applying the step that patches $patch_mib MiB"
patch_kib=$(run "$work/patcher-patch" "$work/installed")
same "$work/installed" "$work/build-102"

awk -v small="$small_kib" -v add="$add_kib" -v patch="$patch_kib" -v addmib="$add_mib" -v patchmib="$patch_mib" \
  -v limit="$limit_mb" 'BEGIN {
  printf "peak memory, small step (reference):  %7.1f MB\n", small * 1024 / 1e6
  printf "peak memory, adding %5d MiB:         %7.1f MB  ratio to reference %.2f\n", addmib, add * 1024 / 1e6, add / small
  printf "peak memory, patching %5d MiB:       %7.1f MB  ratio to reference %.2f\n", patchmib, patch * 1024 / 1e6, patch / small
  printf "both installations equal their builds byte for byte\n"
  if (add * 1024 / 1e6 >= limit || patch * 1024 / 1e6 >= limit) {
    printf "big-step-bench: over the limit of %d MB\n", limit > "/dev/stderr"
    exit 1
  }
}'
