#!/usr/bin/env bash
# Installs what the 64-bit Arm build and its emulated test run need: Debian's
# cross toolchain, qemu-user and the target's -dev libraries through multiarch
# (deps/packages-arm64.txt). A machine that has them all is left alone.
#
# Multiarch needs the arm64 architecture in dpkg and in apt's sources, and a
# "Multi-Arch: same" library must have one version for both architectures:
# the amd64 twins of the arm64 packages are upgraded together with them.
# Nothing is ever removed: if apt would remove a package, this stops instead.
set -euo pipefail
cd "$(dirname "$0")/.."
say() { printf '[cross-packages] %s\n' "$*"; }

mapfile -t wanted < <(grep -v -E '^\s*(#|$)' deps/packages-arm64.txt)
installed() { [[ $(dpkg-query -W -f='${Status}' "$1" 2>/dev/null || true) == "install ok installed" ]]; }

missing=()
for pkg in "${wanted[@]}"; do
  installed "$pkg" || missing+=("$pkg")
done
if ((${#missing[@]} == 0)); then
  say "all ${#wanted[@]} packages present"
  exit 0
fi

sudo=""
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { say "need root to install: ${missing[*]}" >&2; exit 1; }
  sudo="sudo"
fi
apt_get() { $sudo env DEBIAN_FRONTEND=noninteractive apt-get "$@"; }

# 1. dpkg learns the architecture.
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  say "adding the arm64 architecture to dpkg"
  $sudo dpkg --add-architecture arm64
fi

# 2. Sources restricted to some architectures get arm64 too; sources with no
#    restriction already serve every architecture dpkg knows.
shopt -s nullglob
for file in /etc/apt/sources.list.d/*.sources; do
  if grep -q -i -E '^\s*Architectures:' "$file" && ! grep -i -E '^\s*Architectures:' "$file" | grep -qw arm64; then
    say "allowing arm64 in ${file}"
    $sudo sed -i -E 's/^(\s*[Aa]rchitectures:.*)$/\1 arm64/' "$file"
  fi
done
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [[ -f "$file" ]] || continue
  if grep -q -E '^\s*deb(-src)?\s+\[[^]]*arch=' "$file" && grep -E '^\s*deb\s+\[[^]]*arch=' "$file" | grep -vq arm64; then
    say "allowing arm64 in ${file}"
    $sudo sed -i -E '/^\s*deb\s+\[[^]]*arch=/{/arm64/!s/arch=([^] ]*)/arch=\1,arm64/}' "$file"
  fi
done

apt_get update -qq

# 3. The amd64 twins of the target libraries that are installed here are
#    named too, so apt moves both to the same version instead of refusing.
twins=()
for pkg in "${missing[@]}"; do
  [[ "$pkg" == *:arm64 ]] || continue
  base=${pkg%:arm64}
  installed "$base:amd64" && twins+=("$base:amd64")
done

plan=$(apt_get install -s --no-install-recommends "${missing[@]}" "${twins[@]}" 2>&1) || {
  echo "$plan" | tail -n 30 >&2
  say "apt cannot install the arm64 packages next to the amd64 ones (see above)" >&2
  exit 1
}
removals=$(grep -E '^Remv ' <<< "$plan" || true)
if [[ -n "$removals" ]]; then
  echo "$removals" >&2
  say "installing the arm64 packages would remove the packages above; refusing" >&2
  exit 1
fi

say "installing ${#missing[@]}: ${missing[*]}"
apt_get install -y -qq --no-install-recommends "${missing[@]}" "${twins[@]}"
