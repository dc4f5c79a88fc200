#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the demo need; only what is missing,
# so a second run is quick and changes nothing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  clang libclang-rt-14-dev llvm
  libwxgtk3.2-dev libwxgtk-webview3.2-dev
  zlib1g-dev libboost-dev libcurl4-openssl-dev libssl-dev libdw-dev
  libgtest-dev googletest
  xvfb xauth x11-utils imagemagick
  python3 python3-pyftpdlib openssl curl
  xdelta3 time rsync nginx-light
  scdoc dpkg-dev file lintian desktop-file-utils appstream systemd
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ $status == "install ok installed" ]] || missing+=("$package")
done

if ((${#missing[@]} == 0)); then
  echo "bootstrap: every package is installed"
  exit 0
fi

echo "bootstrap: installing ${missing[*]}"
sudo=()
((EUID == 0)) || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
