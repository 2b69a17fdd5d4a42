#!/usr/bin/env bash
# Configures and builds one flavour into build/<flavour>:
#   normal | asan (clang, ASan+UBSan, with the libFuzzer targets) | tsan
#   | arm64 (the camera's 64-bit Arm Linux, cross-compiled)
#   tools/build.sh FLAVOUR --label L   only the tests labelled L (a CTest label
#                                      regex) and what they depend on; tests that
#                                      are scripts need the program
#   tools/build.sh FLAVOUR --program   only the program and the platform libraries
# Any failing step ends the script with a non-zero status.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build
flavour=${1:-normal}
args=(-G Ninja -S . -B "build/$flavour" -DCMAKE_BUILD_TYPE=RelWithDebInfo)
case "$flavour" in
  normal) ;;
  asan) args+=(-DCORVANE_SANITIZE=address -DCORVANE_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
  tsan) args+=(-DCORVANE_SANITIZE=thread) ;;
  arm64) args+=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" -DCORVANE_DEPS_TARGET=aarch64) ;;
  *) echo "unknown flavour $flavour" >&2; exit 2 ;;
esac
# Configuring again is cheap and picks up what was installed since (the tests
# appear once GoogleTest is there).
cmake "${args[@]}" > "build/$flavour.cmake.log" 2>&1 || { cat "build/$flavour.cmake.log" >&2; exit 1; }
targets=()
case "${2:-}" in
  --label)
    mapfile -t tests < <(ctest --test-dir "build/$flavour" -N -L "$3" | sed -n -E 's/^ *Test +#[0-9]+: +//p')
    if (( ${#tests[@]} == 0 )); then echo "[build] $flavour: no tests labelled $3"; exit 0; fi
    # A test that is a build target is built; the others drive the program.
    mapfile -t known < <(ninja -C "build/$flavour" -t targets all | sed -E 's/:.*//')
    targets=($(comm -12 <(printf '%s\n' "${tests[@]}" | sort) <(printf '%s\n' "${known[@]}" | sort)))
    if (( ${#targets[@]} < ${#tests[@]} )); then
      targets+=(corvane axparameter vdostream device-services)
    fi
    echo "[build] $flavour: ${#tests[@]} tests labelled $3" ;;
  --program)
    targets=(corvane axparameter vdostream device-services)
    echo "[build] $flavour: the program" ;;
  *) echo "[build] $flavour" ;;
esac
# pipefail: the pipeline fails when ninja does; the filter itself never fails.
ninja -C "build/$flavour" ${NINJA_FLAGS:-} "${targets[@]}" |
  { grep -v -E '^\[[0-9]+/[0-9]+\] (Building|Linking)' || true; }
