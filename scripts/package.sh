#!/usr/bin/env bash
# Makes the Debian packages pelmo-patcher and pelmo-publisher-tools (with their -dbgsym packages)
# from the build in BUILD_DIR (default build/, configured and built as needed) into PACKAGE_DIR
# (default BUILD_DIR/packages), then checks them as a distribution would: lintian, the desktop
# entry, the metainfo, and the repair server's unit (systemd-analyze verify, and a security
# exposure no worse than "OK"). Any error fails the script.
#
#   scripts/package.sh && apt-get install ./build/packages/*.deb
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
out=${PACKAGE_DIR:-$build/packages}
started=$SECONDS

"$root/scripts/bootstrap.sh"
# The dates in the packages are the last commit's, so that the same commit gives the same bytes.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || date +%s)}
export SOURCE_DATE_EPOCH
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
else
  cmake "$build" >/dev/null
fi
cmake --build "$build"

rm -rf "$out"
mkdir -p "$out"
(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log") || { cat "$out/cpack.log"; exit 1; }
rm -rf "$out/_CPack_Packages"
debs=("$out"/pelmo-patcher_*.deb "$out"/pelmo-publisher-tools_*.deb)
for deb in "${debs[@]}"; do
  [[ -f $deb ]] || { echo "package: $deb was not made" >&2; exit 1; }
  dpkg-deb --field "$deb" Package Version Section Depends Recommends Suggests
done

# The files as installed, for the checks of the files themselves.
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
for deb in "${debs[@]}"; do
  dpkg-deb --extract "$deb" "$tree"
done

echo "package: lintian"
lintian --fail-on error "${debs[@]}"
echo "package: desktop-file-validate, appstreamcli validate"
desktop-file-validate "$tree/usr/share/applications/pelmo-patcher.desktop"
appstreamcli validate --no-net "$tree/usr/share/metainfo/org.pelmo.patcher.metainfo.xml"

# systemd-analyze reads the unit's dependencies (sysinit.target and the like) from the same root
# as the unit: the machine's units, beside the package's.
echo "package: systemd-analyze verify, security"
mkdir -p "$tree/lib/systemd/system"
cp -n /lib/systemd/system/*.target /lib/systemd/system/*.slice /lib/systemd/system/*.socket \
  "$tree/lib/systemd/system/" 2>/dev/null || true
SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --man=no --root="$tree" zelk-repair-server@example.service
# 49 on systemd's scale of 100 is the top of "OK".
systemd-analyze security --no-pager --offline=true --root="$tree" --threshold=49 \
  "$tree/lib/systemd/system/zelk-repair-server@.service" | tail -1

echo "package: ${debs[*]##*/} in $out, checked in $((SECONDS - started)) s"
