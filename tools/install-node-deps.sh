#!/usr/bin/env bash
# Installs the browser tests' Node packages, pinned by
# tests/browser/package-lock.json, into tests/browser/node_modules with
# `npm ci`. A tree installed from the same lockfile is left alone.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=tests/browser
stamp=$dir/node_modules/.corvane-lock

if ! command -v node >/dev/null; then
  echo "[node] node is missing: add nodejs (deps/packages-test.txt) and run make test-deps" >&2
  exit 1
fi
major=$(node -p 'process.versions.node.split(".")[0]')
if ((major < 20)); then
  echo "[node] node $(node --version) is too old for the browser tests (20 or later needed)" >&2
  exit 1
fi
if [[ -f "$stamp" ]] && cmp -s "$stamp" "$dir/package-lock.json"; then
  echo "[node] browser test packages present"
  exit 0
fi
if ! command -v npm >/dev/null; then
  # Debian's nodejs comes without npm; some other builds of node bundle it.
  sudo=""
  [[ $(id -u) -eq 0 ]] || sudo="sudo"
  echo "[node] installing npm"
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends npm
fi
echo "[node] npm ci in $dir"
(cd "$dir" && npm ci --no-audit --no-fund --loglevel=error)
cp "$dir/package-lock.json" "$stamp"
