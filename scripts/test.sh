#!/usr/bin/env bash
# Installs what is missing, configures, builds (warnings are errors here) and runs every test, makes
# and checks the Debian packages (scripts/package.sh), then the checked pass: the suite under
# sanitizers and every fuzz target for a short while (scripts/sanitize.sh; SANITIZE=0 leaves it
# out). Arguments go to the plain suite's ctest.
# With ccache on the PATH the build uses it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

"$root/scripts/bootstrap.sh"
started=$SECONDS
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS="-Werror" \
  "${launcher[@]}" >/dev/null
cmake --build "$build"
echo "test: the build took $((SECONDS - started)) s"
started=$SECONDS
# The window tests need a display: the whole suite runs under one private X server.
(cd "$build" && xvfb-run -a -s "-screen 0 1280x1024x24" ctest --output-on-failure -j "$(nproc)" "$@")
echo "test: the suite took $((SECONDS - started)) s"
# The Debian packages, made and checked as a distribution would check them.
BUILD_DIR=$build "$root/scripts/package.sh"
if [[ ${SANITIZE:-1} != 0 ]]; then
  "$root/scripts/sanitize.sh"
fi
