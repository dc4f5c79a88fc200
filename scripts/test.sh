#!/usr/bin/env bash
# Installs what is missing, configures, builds (warnings are errors here) and runs every test.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}

"$root/scripts/bootstrap.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS="-Werror" >/dev/null
cmake --build "$build"
cd "$build"
# The window tests need a display: the whole suite runs under one private X server.
xvfb-run -a -s "-screen 0 1280x1024x24" ctest --output-on-failure -j "$(nproc)" "$@"
