#!/usr/bin/env bash
# Installs what the program needs to build (Debian packages, with apt-get), builds it in
# build-run/ and starts it. Arguments are passed on to the program.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make qt6-base-dev pkg-config libxcb1-dev libxcb-xfixes0-dev)
bash scripts/install-packages.sh "${packages[@]}"

cmake -S . -B build-run -DCMAKE_BUILD_TYPE=Release -DTRAMLET_BUILD_TESTS=OFF \
  -DTRAMLET_BUILD_BENCH=OFF >/dev/null
cmake --build build-run -j "$(nproc)" --target tramlet
exec build-run/tramlet "$@"
