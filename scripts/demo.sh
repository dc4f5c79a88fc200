#!/usr/bin/env bash
# Builds everything, makes a sample installation of build 100, the two patch steps 100 -> 101 ->
# 102 and a standalone patcher that carries both, then lets the patcher bring the installation up
# to 102: with its window when a display is available (press "Apply Update", then "Exit"), without
# one otherwise. Ends by comparing the installation with a fresh build 102, byte for byte.
#
# DEMO_DIR names the working directory (default: a new one in /tmp); BUILD_DIR the build tree;
# DEMO_UNATTENDED=1 runs without the window even when a display is available.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
demo=${DEMO_DIR:-$(mktemp -d /tmp/pelmo-demo-XXXXXX)}

say() { printf '\n== %s\n' "$*"; }

say "Installing what is missing and building"
"$root/scripts/bootstrap.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build"

mkdir -p "$demo"
rm -rf "$demo/Korvil" "$demo/build-100" "$demo/build-101" "$demo/build-102" "$demo/temp"
say "Making sample installations of builds 100, 101 and 102 in $demo"
declare -A digest
for version in 100 101 102; do
  digest[$version]=$("$build/zelk-mksample" "$demo/build-$version" --version "$version")
  echo "build $version: launcher digest ${digest[$version]}"
  # A publisher's build tree has no uninstall log: that belongs to each installation.
  rm "$demo/build-$version/unins000.dat"
done
"$build/zelk-mksample" "$demo/Korvil" --version 100 >/dev/null

say "Making the patch steps and the standalone patcher"
"$build/zelk-mkpatch" "$demo/build-100" "$demo/build-101" "$demo/100_to_101.zip"
"$build/zelk-mkpatch" "$demo/build-101" "$demo/build-102" "$demo/101_to_102.zip"
"$build/zelk-mkpayload" "$build/pelmo-patcher" "$demo/pelmo-patcher-102" --target 102 \
  --build "${digest[100]}=100" --build "${digest[101]}=101" \
  --step "100:101:$demo/100_to_101.zip" --step "101:102:$demo/101_to_102.zip"
ls -l "$demo/100_to_101.zip" "$demo/101_to_102.zip" "$demo/pelmo-patcher-102"

# The product's installer leaves the installation in the registry; here the registry is a file.
export PELMO_REGISTRY="$demo/registry.reg"
install_path=${demo//\\/\\\\}/Korvil
cat >"$PELMO_REGISTRY" <<EOF
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo\\Products\\KorvilSimulator\\Korvil]
"ProductClass"="Korvil"
"ProductInstallPath"="${install_path//\"/\\\"}"
EOF
export TEMP="$demo/temp"
mkdir -p "$TEMP"

status=0
if [[ -n ${DISPLAY:-} && ${DEMO_UNATTENDED:-0} != 1 ]]; then
  say "Running the patcher with its window: press \"Apply Update\", then \"Exit\""
  "$demo/pelmo-patcher-102" || status=$?
else
  say "No display: running the patcher unattended"
  "$demo/pelmo-patcher-102" -u || status=$?
fi
echo "patcher exit status: $status"

say "Comparing the installation with build 102"
# The uninstall log differs by design: it records where each installation lives and grows with
# every patch step.
if diff -r --exclude=unins000.dat "$demo/Korvil" "$demo/build-102"; then
  echo "The installation in $demo/Korvil now equals build 102 byte for byte."
else
  echo "The installation differs from build 102." >&2
  exit 1
fi
