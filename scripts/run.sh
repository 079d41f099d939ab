#!/usr/bin/env bash
# Installs what the program needs to build (Debian packages, with apt-get), builds it in
# build-run/ and starts it. Arguments are passed on to the program.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make qt6-base-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  SUDO=$([ "$(id -u)" -eq 0 ] && echo "" || echo sudo)
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${missing[@]}"
fi

cmake -S . -B build-run -DCMAKE_BUILD_TYPE=Release -DTRAMLET_BUILD_TESTS=OFF \
  -DTRAMLET_BUILD_BENCH=OFF >/dev/null
cmake --build build-run -j "$(nproc)" --target tramlet
exec build-run/tramlet "$@"
