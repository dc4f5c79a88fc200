#!/usr/bin/env bash
# Installs what is missing, configures, builds (warnings are errors here) and runs every test, then
# the checked pass: the suite under sanitizers and every fuzz target for a short while
# (scripts/sanitize.sh; SANITIZE=0 leaves it out). Arguments go to the plain suite's ctest.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}

"$root/scripts/bootstrap.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS="-Werror" >/dev/null
cmake --build "$build"
# The window tests need a display: the whole suite runs under one private X server.
(cd "$build" && xvfb-run -a -s "-screen 0 1280x1024x24" ctest --output-on-failure -j "$(nproc)" "$@")
if [[ ${SANITIZE:-1} != 0 ]]; then
  "$root/scripts/sanitize.sh"
fi
