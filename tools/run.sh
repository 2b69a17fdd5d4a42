#!/usr/bin/env bash
# Runs the staged program with the camera emulator and shows its system-log
# lines here. Ctrl-C stops it (SIGINT, an orderly shutdown).
set -euo pipefail
cd "$(dirname "$0")/.."
stage=$(realpath "${1:-build/stage}")
sock=$(mktemp -u /tmp/corvane-log.XXXXXX)
python3 tools/logrelay.py "$sock" &
relay=$!
trap 'kill $relay 2>/dev/null; rm -f "$sock"' EXIT
while [[ ! -S "$sock" ]]; do sleep 0.05; done
echo "Corvane on http://localhost:30920/  (Ctrl-C stops it; log lines follow)"
cd "$stage"
set +e
"$OLDPWD/tools/with-log.sh" "$sock" ./corvane &
app=$!
trap 'kill -INT $app 2>/dev/null' INT TERM
wait $app; status=$?
[[ $status -gt 128 ]] && wait $app; status=$?
sleep 0.2
exit $status
