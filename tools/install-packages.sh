#!/usr/bin/env bash
# Installs the Debian packages of the given lists that are missing:
#   tools/install-packages.sh deps/packages.txt [deps/packages-test.txt ...]
# A machine that already has them all is left alone (no apt call at all).
set -euo pipefail
cd "$(dirname "$0")/.."

lists=("$@")
((${#lists[@]})) || lists=(deps/packages.txt)
mapfile -t wanted < <(cat "${lists[@]}" | grep -v -E '^\s*(#|$)')
# With a second architecture (tools/install-cross.sh) a library can be
# installed once per architecture: what counts is this machine's own one.
native=$(dpkg --print-architecture)
missing=()
for pkg in "${wanted[@]}"; do
  dpkg-query -W -f='${Status} ${Architecture}\n' "$pkg" 2>/dev/null |
    grep -E "^install ok installed ($native|all)\$" > /dev/null || missing+=("$pkg")
done
if ((${#missing[@]} == 0)); then
  echo "[packages] all ${#wanted[@]} Debian packages present"
  exit 0
fi

sudo=""
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "[packages] need root to install: ${missing[*]}" >&2; exit 1; }
  sudo="sudo"
fi
echo "[packages] installing ${#missing[@]}: ${missing[*]}"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
