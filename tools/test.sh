#!/usr/bin/env bash
# The whole suite: a normal build with every test, then ASan+UBSan over the
# unit and integration tests, TSan over the concurrency tests, and a short
# run of every fuzzer. Every stage runs; the exit status says whether all
# passed, and the last line totals them.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
t0=$(date +%s)
say() { printf '[test %4ds] %s\n' $(( $(date +%s) - t0 )) "$*"; }

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:halt_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tools/tsan/suppressions.txt}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$root/tools/lsan-suppressions.txt}
jobs=${CTEST_JOBS:-2}

passed=0 failed=0 failed_stages=()
run_stage() { # name flavour build-label ctest-args...
  local name=$1 flavour=$2 label=$3; shift 3
  local only=()
  [[ -n "$label" ]] && only=(--label "$label")
  say "$name: building"
  if ! tools/build.sh "$flavour" "${only[@]}" > "build/$flavour.build.log" 2>&1; then
    cat "build/$flavour.build.log" | tail -n 40
    say "$name: BUILD FAILED"
    failed=$((failed + 1)); failed_stages+=("$name (build)")
    return
  fi
  say "$name: testing"
  local log="build/$flavour.ctest.log"
  ctest --test-dir "build/$flavour" --output-on-failure -j "$jobs" "$@" 2>&1 | tee "$log" |
    grep -E '^\s*[0-9]+/[0-9]+ Test|tests passed|Total Test time|\*\*\*|Failed|Error' || true
  local summary; summary=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n1)
  if [[ -z "$summary" ]]; then
    say "$name: no test ran"
    failed=$((failed + 1)); failed_stages+=("$name (no tests)")
    return
  fi
  local total fail
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<< "$summary")
  fail=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<< "$summary")
  passed=$((passed + total - fail)); failed=$((failed + fail))
  if ((fail > 0)); then
    failed_stages+=("$name")
    # What failed and why, without the logs around it; the whole is in $log.
    grep -E -A4 '(: Failure$|^\[  FAILED  \]|^not ok|ERROR: (Address|Thread|Leak)Sanitizer|runtime error:)' "$log" |
      grep -v -E '^\s*\[[0-9]\] ' | head -n 80
    say "$name: full output in $log"
  fi
}

mkdir -p build
run_stage "normal" normal "" -LE 'fuzz'
tools/stage.sh build/normal build/stage > /dev/null 2>&1 || true
run_stage "asan+ubsan" asan "" -L 'unit|integration|concurrency' -LE 'long|browser|fuzz'
run_stage "tsan" tsan concurrency -L concurrency -LE 'long'
run_stage "fuzz" fuzz "" -L fuzz

say "done in $(( $(date +%s) - t0 )) s"
if ((${#failed_stages[@]})); then
  say "failed: ${failed_stages[*]}"
fi
echo "total: $passed passed, $failed failed"
((${#failed_stages[@]} == 0))
