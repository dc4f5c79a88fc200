#!/usr/bin/env bash
# Takes a picture of the patcher's window in the middle of a slow download (docs/window-download.png):
# a sample installation of build 100, a package 100 -> 101 of a few MB served by the throttled test
# HTTP server on 127.0.0.1, a maker's page from a second local web server, and the real patcher in
# download mode with its window on a private X server. The picture is taken about ten seconds into
# the download, while the status line counts the kilobytes; then the patcher and the servers are
# ended and every temporary file goes.
#
# BUILD_DIR names the build tree (default: build/).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
picture=$root/docs/window-download.png

# About 20 s for the whole package: long enough that the picture catches the download under way.
package_bytes=$((3 * 1024 * 1024))
throttle_bytes_per_second=160000
# Seconds of download before the picture: the progress line and the gauge have moved by then, and
# the web view, which starts slowly, has shown the page.
download_seconds=10

cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j2 --target pelmo-patcher zelk-mksample zelk-mkpatch zelk-jptch

work=$(mktemp -d /tmp/pelmo-download-shot-XXXXXX)
server_pids=()
cleanup() {
  for pid in "${server_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

echo "download-screenshot: making build 100, build 101 and the package in $work"
"$build/zelk-mksample" "$work/Korvil" --version 100 >/dev/null
for version in 100 101; do
  "$build/zelk-mksample" "$work/build-$version" --version "$version" >/dev/null
  rm "$work/build-$version/unins000.dat"
done
# The sample builds differ by a few hundred kB; a new movie makes the step worth watching.
mkdir -p "$work/build-101/data/movies"
head -c "$package_bytes" /dev/urandom >"$work/build-101/data/movies/intro.bik"
mkdir -p "$work/served/steps" "$work/served/list" "$work/page/patcher"
"$build/zelk-mkpatch" "$work/build-100" "$work/build-101" "$work/served/steps/100_to_101.zip"
cat >"$work/served/list/patches.txt" <<EOF
source-version: 100
target-version: 101
patch-exe-url: http://unused.example/patcher.exe
patch-data-url: ../steps/100_to_101.zip

EOF
cat >"$work/page/patcher/patcher.html" <<'EOF'
<html><body style='margin:0;background:#1d4f7a;color:white;font-family:sans-serif'>
<h3 style='margin:8px'>Korvil 101 is on its way</h3>
<p style='margin:8px'>New terrain, faster loading and a new opening movie.</p></body></html>
EOF

# start_server NAME PATTERN COMMAND...: starts a server in the background and sets port to the port
# it announces on standard output in a line that PATTERN (a sed expression) reduces to the number.
start_server() {
  local name=$1 pattern=$2
  shift 2
  "$@" >"$work/$name.out" 2>&1 &
  server_pids+=($!)
  port=
  for _ in $(seq 100); do
    port=$(sed -n "$pattern" "$work/$name.out")
    [[ -n $port ]] && return 0
    kill -0 "${server_pids[-1]}" 2>/dev/null || break
    sleep 0.1
  done
  echo "download-screenshot: the $name server did not start" >&2
  cat "$work/$name.out" >&2
  exit 1
}

start_server patches 's/^ready \([0-9]*\)$/\1/p' /usr/bin/python3 "$root/tests/servers/http_server.py" \
  --root "$work/served" --throttle "$throttle_bytes_per_second" --log "$work/requests.log"
patch_port=$port
# The test server calls every file a byte stream; the web view shows only a page served as HTML.
start_server page 's/^Serving HTTP on .* port \([0-9]*\) .*/\1/p' /usr/bin/python3 -u -m http.server \
  --bind 127.0.0.1 --directory "$work/page" 0
page_port=$port
echo "download-screenshot: serving the patches on 127.0.0.1:$patch_port at $throttle_bytes_per_second bytes/s"

# The installation and the maker's page, as the product's installer would have registered them.
cat >"$work/registry.reg" <<EOF
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo]
"PatcherPageHost"="127.0.0.1:$page_port"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo\\Products\\KorvilSimulator\\Korvil]
"ProductClass"="Korvil"
"ProductInstallPath"="$work/Korvil"
EOF
mkdir -p "$work/temp"

# Runs on the private X server: starts the patcher, waits until the package is on its way, takes the
# picture of the window and ends the patcher.
cat >"$work/inner.sh" <<'EOF'
#!/usr/bin/env bash
set -euo pipefail
"$SHOT_PATCHER" "--server=$SHOT_SERVER" --final=101 100 "$SHOT_WORK/Korvil" \
  >"$SHOT_WORK/patcher.out" 2>&1 &
patcher_pid=$!
trap 'kill "$patcher_pid" 2>/dev/null || true; wait "$patcher_pid" 2>/dev/null || true' EXIT

started=
for _ in $(seq 300); do
  if grep -q '^GET /steps/100_to_101.zip' "$SHOT_WORK/requests.log" 2>/dev/null; then
    started=1
    break
  fi
  if ! kill -0 "$patcher_pid" 2>/dev/null; then
    echo "download-screenshot: the patcher ended before the download:" >&2
    cat "$SHOT_WORK/patcher.out" >&2
    exit 1
  fi
  sleep 0.1
done
if [[ -z $started ]]; then
  echo "download-screenshot: the download did not start within 30 s" >&2
  exit 1
fi
download_start=$SECONDS
# The page view shows the page only once it has loaded; give it a moment after the request.
for _ in $(seq 200); do
  grep -q 'GET /patcher/patcher.html' "$SHOT_WORK/page.out" && break
  sleep 0.1
done
sleep 2
while ((SECONDS - download_start < SHOT_SECONDS)); do
  sleep 0.2
done

# Without a window manager the patcher's top-level window sits on the root as it is; its title
# finds it, and the picture of the screen is cut to its rectangle.
geometry=
if command -v xwininfo >/dev/null; then
  id=$(xwininfo -root -children | sed -n 's/^ *\(0x[0-9a-f]*\) "Pelmo Patcher ".*/\1/p' | head -n 1)
  if [[ -n $id ]]; then
    info=$(xwininfo -id "$id")
    x=$(sed -n 's/^ *Absolute upper-left X: *\(-\?[0-9]*\)$/\1/p' <<<"$info")
    y=$(sed -n 's/^ *Absolute upper-left Y: *\(-\?[0-9]*\)$/\1/p' <<<"$info")
    width=$(sed -n 's/^ *Width: *\([0-9]*\)$/\1/p' <<<"$info")
    height=$(sed -n 's/^ *Height: *\([0-9]*\)$/\1/p' <<<"$info")
    geometry=${width}x${height}+${x}+${y}
  fi
fi
if [[ -n $geometry ]]; then
  import -window root -crop "$geometry" +repage "$SHOT_PICTURE"
else
  echo "download-screenshot: window not found, taking the whole screen" >&2
  import -window root "$SHOT_PICTURE"
fi
EOF
chmod +x "$work/inner.sh"

mkdir -p "$(dirname "$picture")"
echo "download-screenshot: starting the patcher on a private X server"
env -u LC_ALL -u LC_MESSAGES LANG=C \
  SHOT_PATCHER="$build/pelmo-patcher" SHOT_SERVER="http://127.0.0.1:$patch_port/list" SHOT_WORK="$work" \
  SHOT_SECONDS="$download_seconds" SHOT_PICTURE="$picture" \
  PELMO_REGISTRY="$work/registry.reg" TEMP="$work/temp" KORVILUTIL_LOG="$work/utility.log" \
  ZELK_TEST_TRANSFER_RETRY_PAUSE_MS=10 ZELK_TEST_FREE_SPACE_MB=100000 no_proxy=127.0.0.1 NO_PROXY=127.0.0.1 \
  xvfb-run -a -s "-screen 0 1280x1024x24" "$work/inner.sh"
echo "download-screenshot: wrote $picture"
