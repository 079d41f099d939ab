#!/usr/bin/env bash
# Installs the Debian packages named as arguments that are not installed yet (apt-get; as root,
# or through sudo).
set -euo pipefail
missing=()
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  SUDO=$([ "$(id -u)" -eq 0 ] && echo "" || echo sudo)
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${missing[@]}"
fi
