#!/usr/bin/env bash
# Takes a picture of the patcher's window in each of its states (docs/window-*.png), on a private
# X server, for people to look at after a change of the layout.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}

cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target window_tests
mkdir -p "$root/docs"
ZELK_SCREENSHOT_DIR="$root/docs" xvfb-run -a -s "-screen 0 1280x1024x24" \
  "$build/window_tests" --gtest_filter='WindowScreenshots.*'
ls "$root"/docs/window-*.png
