#!/usr/bin/env bash
# Builds the Debian package (CPack's DEB generator) in a clean build folder, installing what it
# needs with apt-get first, and prints the path of the .deb; everything else goes to stderr.
# Usage: scripts/package.sh [build folder]   (build-package when none is given; it is emptied)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-package}

# dpkg-dev brings dpkg-shlibdeps and dpkg-buildflags; CPack finds the binary's kind with file.
packages=(cmake g++ make qt6-base-dev pkg-config libxcb1-dev libxcb-xfixes0-dev dpkg-dev file)
bash scripts/install-packages.sh "${packages[@]}" >&2

rm -rf "$dir"
# Debian's hardening flags, all of them (bindnow and PIE too).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
export CXXFLAGS LDFLAGS
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DTRAMLET_BUILD_TESTS=OFF \
  -DTRAMLET_BUILD_BENCH=OFF >&2
cmake --build "$dir" -j "$(nproc)" >&2
(cd "$dir" && cpack -G DEB >&2)
debs=("$(cd "$dir" && pwd -P)"/tramlet_*.deb)
echo "${debs[0]}"
