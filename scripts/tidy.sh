#!/usr/bin/env bash
# Runs clang-tidy with the checks of .clang-tidy over src/, two files at a time, using the compile
# commands of a build folder of its own. Exits non-zero on any finding.
# Usage: scripts/tidy.sh [build folder]
#   With a folder (a configured build of this tree, e.g. build-plain), its compile commands are
#   used; without one, a folder build-tidy is configured for it.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-tidy}

if [ -z "${1:-}" ]; then
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DTRAMLET_SANITIZE= -DTRAMLET_BUILD_TESTS=OFF \
    -DTRAMLET_BUILD_BENCH=OFF >/dev/null
fi
# The window sources include what moc and uic write (the step builds the libraries below first).
cmake --build "$dir" -j 2 --target tramlet_ui_autogen >/dev/null

status=0
# The file argument is a pattern over the compile commands: every source below src/.
run-clang-tidy-14 -p "$dir" -j 2 -quiet "^$(pwd -P)/src/" >"$dir/tidy.log" 2>&1 || status=$?
# Leave out the progress lines and colours; keep the findings and any error.
sed 's/\x1b\[[0-9;]*m//g' "$dir/tidy.log" | grep -v -E '^(clang-tidy-14 |[0-9]+ warnings? (and [0-9]+ errors? )?generated|Suppressed [0-9]+ warnings|Use -header-filter)' ||
  true
echo "clang-tidy: $([ "$status" = 0 ] && echo "no findings" || echo "failed")"
exit "$status"
