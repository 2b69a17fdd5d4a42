#!/usr/bin/env bash
# tools/build.sh must end with a non-zero status when a source does not
# compile, and with 0 when it does. A copy of the script builds a scratch
# project of one file.
set -uo pipefail
scratch=$(mktemp -d) && trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/tools" && cp "$(dirname "$0")/../tools/build.sh" "$scratch/tools/"
printf 'cmake_minimum_required(VERSION 3.25)\nproject(scratch CXX)\nadd_executable(corvane main.cpp)\n' > "$scratch/CMakeLists.txt"
echo 'int main() { return undeclared_name; }' > "$scratch/main.cpp"
"$scratch/tools/build.sh" normal > "$scratch/broken.log" 2>&1 && { echo "a compile error ended with status 0:"; cat "$scratch/broken.log"; exit 1; }
echo 'int main() { return 0; }' > "$scratch/main.cpp"
"$scratch/tools/build.sh" normal > "$scratch/fixed.log" 2>&1 || { echo "a good build failed:"; cat "$scratch/fixed.log"; exit 1; }
echo "build.sh fails on a compile error and passes once it is fixed"
