#!/usr/bin/env bash
# Configures and builds one flavour into build/<flavour>:
#   normal | asan (ASan+UBSan) | tsan | fuzz (clang, libFuzzer)
# tools/build.sh FLAVOUR --label L builds only the tests labelled L (and
# what they depend on), which keeps the sanitizer stages short.
#   | arm64 (the camera's 64-bit Arm Linux, cross-compiled)
set -euo pipefail
cd "$(dirname "$0")/.."
flavour=${1:-normal}
args=(-G Ninja -S . -B "build/$flavour" -DCMAKE_BUILD_TYPE=RelWithDebInfo)
case "$flavour" in
  normal) ;;
  asan) args+=(-DCORVANE_SANITIZE=address) ;;
  tsan) args+=(-DCORVANE_SANITIZE=thread) ;;
  fuzz) args+=(-DCORVANE_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
  arm64) args+=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" -DCORVANE_DEPS_TARGET=aarch64) ;;
  *) echo "unknown flavour $flavour" >&2; exit 2 ;;
esac
if [[ ! -f "build/$flavour/build.ninja" ]]; then
  cmake "${args[@]}" > /dev/null
fi
targets=()
if [[ "${2:-}" == "--label" ]]; then
  # Regenerate first, so the list comes from the current tree.
  ninja -C "build/$flavour" build.ninja > /dev/null
  mapfile -t targets < <(ctest --test-dir "build/$flavour" -N -L "$3" | sed -n -E 's/^ *Test +#[0-9]+: +//p')
  echo "[build] $flavour: ${#targets[@]} test programs labelled $3"
else
  echo "[build] $flavour"
fi
ninja -C "build/$flavour" ${NINJA_FLAGS:-} "${targets[@]}" | grep -v -E '^\[[0-9]+/[0-9]+\] (Building|Linking)' || true
test "${PIPESTATUS[0]}" -eq 0
