#!/usr/bin/env bash
# Installs what the build and the tests need, then builds and runs the whole suite:
# a plain build, the same under AddressSanitizer with UndefinedBehaviorSanitizer, and the
# Qt-free part under ThreadSanitizer, and clang-tidy over src/ (scripts/tidy.sh). Exits non-zero
# on any failure.
# Usage: scripts/test.sh [plain] [asan] [tsan] [tidy]   (all four when none is named)
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev curl netcat-openbsd python3 openssl
  dante-server microsocks qt6-base-dev wmctrl
  pkg-config libxcb1-dev libxcb-xfixes0-dev
  xvfb x11-utils openbox trayer xdotool imagemagick dbus-daemon dbus-bin chromium clang-tidy-14)
bash scripts/install-packages.sh "${packages[@]}"

jobs=$(nproc)
variants=("$@")
((${#variants[@]})) || variants=(plain asan tsan tidy)

run_variant() {
  local name=$1 sanitize=$2 dir=build-$1 type=Release
  # Sanitizer builds favour build time and readable reports over speed.
  [ -n "$sanitize" ] && type=SanitizerCheck
  echo "=== $name build ==="
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=$type -DTRAMLET_SANITIZE="$sanitize" \
    -DTRAMLET_BUILD_BENCH="$([ -n "$sanitize" ] && echo OFF || echo ON)" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "=== $name tests ==="
  (cd "$dir" && ctest -j "$((jobs * 2))" --output-on-failure --timeout 300)
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

for v in "${variants[@]}"; do
  case $v in
    plain) run_variant plain "" ;;
    asan) run_variant asan address ;;
    tsan) run_variant tsan thread ;;
    # Over the plain build's compile commands when there is one.
    tidy) echo "=== tidy ===" && bash scripts/tidy.sh $([ -d build-plain ] && echo build-plain) ;;
    *) echo "unknown variant: $v" >&2; exit 2 ;;
  esac
done
