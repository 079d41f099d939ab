#!/usr/bin/env bash
# Installs what the build and the tests need, then builds and runs the whole suite:
# a plain build, the same under AddressSanitizer with UndefinedBehaviorSanitizer, the
# Qt-free part under ThreadSanitizer, the core under clang's locking analysis, each libFuzzer
# target for 30 s, and clang-tidy over src/ (scripts/tidy.sh). Exits non-zero on any failure.
# Usage: scripts/test.sh [plain] [asan] [tsan] [locks] [fuzz] [tidy]   (all six when none is named)
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev curl netcat-openbsd python3 openssl
  dante-server microsocks qt6-base-dev wmctrl
  pkg-config libxcb1-dev libxcb-xfixes0-dev
  xvfb x11-utils openbox trayer xdotool imagemagick dbus-daemon dbus-bin chromium
  clang-14 libclang-rt-14-dev llvm-14 clang-tidy-14
  dpkg-dev file lintian appstream desktop-file-utils man-db ccache)
bash scripts/install-packages.sh "${packages[@]}"

jobs=$(nproc)
# A compiler cache keyed on paths relative to the tree, so that another clone of the same sources
# (CI's, a second work tree) builds from what this one compiled.
if command -v ccache >/dev/null; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR=${CCACHE_BASEDIR:-/} CCACHE_NOHASHDIR=1
fi
variants=("$@")
((${#variants[@]})) || variants=(plain asan tsan locks fuzz tidy)

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

# The core built with clang, whose locking analysis fails the build on any breach of the rules
# written into the code (GUARDED_BY, REQUIRES, ...). Only the library: the tests take locks in
# ways the analysis is not meant to follow.
run_locks() {
  local dir=build-locks
  echo "=== locking analysis build ==="
  cmake -S . -B "$dir" -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS=-Werror=thread-safety -DTRAMLET_BUILD_TESTS=OFF -DTRAMLET_BUILD_BENCH=OFF \
    >/dev/null
  cmake --build "$dir" -j "$jobs" --target tramlet_core
}

# Each fuzz target runs for fuzz_seconds on a copy of its seed corpus, two at a time; a crash, a
# leak, a failed property or an input that takes over 10 s fails the step. What a run finds or
# adds stays in build-fuzz/fuzz-run/, never in the repository.
fuzz_seconds=30
run_fuzz() {
  local dir=build-fuzz
  echo "=== fuzz build ==="
  cmake -S . -B "$dir" -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTRAMLET_FUZZ=ON >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "=== fuzz runs (${fuzz_seconds} s each) ==="
  local work=$dir/fuzz-run targets=() failed=0 i t entry
  rm -rf "$work"
  mkdir -p "$work"
  for t in fuzz/corpus/*/; do targets+=("$(basename "$t")"); done
  for ((i = 0; i < ${#targets[@]}; i += 2)); do
    local running=()
    for t in "${targets[@]:i:2}"; do
      cp -r "fuzz/corpus/$t" "$work/$t"
      ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer \
        "$dir/fuzz/tramlet_fuzz_$t" "$work/$t" -max_total_time="$fuzz_seconds" -timeout=10 \
        -artifact_prefix="$work/$t-" -print_final_stats=1 >"$work/$t.log" 2>&1 &
      running+=("$!:$t")
    done
    for entry in "${running[@]}"; do
      t=${entry#*:}
      if wait "${entry%%:*}"; then
        echo "$t: $(grep -h 'cov:' "$work/$t.log" | tail -n 1)"
      else
        failed=1
        echo "fuzz target $t failed (input and log in $work/):"
        tail -n 40 "$work/$t.log"
      fi
    done
  done
  ((failed == 0))
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

for v in "${variants[@]}"; do
  case $v in
    plain) run_variant plain "" ;;
    asan) run_variant asan address ;;
    tsan) run_variant tsan thread ;;
    locks) run_locks ;;
    fuzz) run_fuzz ;;
    # Over the plain build's compile commands when there is one.
    tidy) echo "=== tidy ===" && bash scripts/tidy.sh $([ -d build-plain ] && echo build-plain) ;;
    *) echo "unknown variant: $v" >&2; exit 2 ;;
  esac
done
