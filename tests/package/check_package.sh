#!/usr/bin/env bash
# The Debian package as a user gets it: built by scripts/package.sh, checked with lintian and the
# desktop validators, installed with apt-get, run, purged, and nothing it installed left behind.
# Usage: check_package.sh <work folder> <expected version>
# Installs into the system, so it needs root; exits 77 (skipped) without it, or when a tramlet
# package is installed already (it would be replaced, then removed).
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
work=$1 version=$2

if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: installing the package needs root"
  exit 77
fi
if dpkg-query -W -f='${Status}' tramlet 2>/dev/null | grep -q installed; then
  echo "skipped: a tramlet package is installed on this machine"
  exit 77
fi

failed=0
fail() {
  echo "FAIL: $*"
  failed=1
}

# The build runs beside the other tests; it yields the processors to them.
mkdir -p "$work"
deb=$(nice -n 19 bash scripts/package.sh "$work/build" 2>"$work/package.log") || {
  tail -n 40 "$work/package.log"
  echo "FAIL: scripts/package.sh (log in $work/package.log)"
  exit 1
}
echo "package: $deb"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version is not $version"
# Wayland sessions want Qt's plugin for it; without it the program falls back to X11.
grep -qw qt6-wayland <<<"$(dpkg-deb -f "$deb" Recommends)" || fail "Recommends lacks qt6-wayland"

# Warnings fail as errors do: each is fixed or overridden with its reason in the package.
out=$(lintian --fail-on error,warning "$deb" 2>&1) || fail "lintian"
grep -v 'running with root privileges' <<<"$out"

root=$work/root
rm -rf "$root" && dpkg-deb -x "$deb" "$root"
desktop=("$root"/usr/share/applications/*.desktop)
metainfo=("$root"/usr/share/metainfo/*.metainfo.xml)
# desktop-file-validate exits 0 with hints; none may be left.
out=$(desktop-file-validate "${desktop[@]}" 2>&1) || fail "desktop entry"
[ -z "$out" ] || fail "desktop entry: $out"
appstreamcli validate --no-net --pedantic "${metainfo[@]}" || fail "metainfo"
appstreamcli validate-tree --no-net "$root" || fail "metainfo and desktop entry together"
# As lintian renders manual pages: any groff or man warning fails.
out=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
  man --warnings -E UTF-8 -l -Tutf8 -Z "$root/usr/share/man/man1/tramlet.1.gz" 2>&1 >/dev/null)
[ -z "$out" ] || fail "manual page: $out"

installed=0
purge() {
  ((installed)) && DEBIAN_FRONTEND=noninteractive apt-get purge -y -q tramlet >/dev/null
  installed=0
}
trap purge EXIT
# What it recommends would stay on the machine after the purge.
if DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$deb" \
  >"$work/install.log" 2>&1; then
  installed=1
else
  cat "$work/install.log"
  fail "apt-get install"
  exit 1
fi
out=$(/usr/bin/tramlet --version 2>&1)
[ "$out" = "tramlet $version" ] || fail "installed tramlet --version: $out"
# The metainfo where software centres read it; no address in it may need the network to check.
for strictness in "" --pedantic; do
  appstreamcli validate --no-net $strictness /usr/share/metainfo/org.example.tramlet.metainfo.xml ||
    fail "installed metainfo ${strictness:-plain}"
done

mapfile -t files < <(dpkg -L tramlet)
purge
left=()
for f in "${files[@]}"; do
  # A folder may stay while it holds anything or another package owns it.
  if [ -d "$f" ] && [ ! -L "$f" ]; then
    [ -z "$(ls -A "$f")" ] && ! dpkg -S "$f" >/dev/null 2>&1 && left+=("$f")
  elif [ -e "$f" ] || [ -L "$f" ]; then
    left+=("$f")
  fi
done
((${#left[@]} == 0)) || fail "left after purge: ${left[*]}"
echo "installed and purged ${#files[@]} paths"

((failed == 0)) && echo "package checks passed"
exit "$failed"
