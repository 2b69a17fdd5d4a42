#!/usr/bin/env bash
# Runs every fuzzer for the given number of seconds (default 300 each).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
tools/build.sh asan --label fuzz
for fuzzer in build/asan/fuzz/fuzz_*; do
  [[ -x "$fuzzer" ]] || continue
  name=${fuzzer##*/fuzz_}
  mkdir -p "build/asan/fuzz/corpus/$name"
  seeds=()
  [[ -d "fuzz/corpus/$name" ]] && seeds=("fuzz/corpus/$name")
  echo "[fuzz] $name for ${seconds}s"
  "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 "build/asan/fuzz/corpus/$name" "${seeds[@]}" 2>&1 |
    grep -E 'stat::number_of_executed_units|stat::peak_rss_mb|ERROR|SUMMARY|crash-' || true
done
