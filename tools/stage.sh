#!/usr/bin/env bash
# Lays out a runnable installation: the program, its html/ and the platform
# libraries beside it. The stage is the program's working directory.
set -euo pipefail
cd "$(dirname "$0")/.."
from=$1 to=$2
mkdir -p "$to/lib"
cp -f "$from/corvane" "$to/corvane"
cp -f "$from"/platform/axparameter/libaxparameter.so "$from"/platform/vdo/libvdostream.so "$to/lib/"
cp -f platform/axparameter/corvane.params "$to/corvane.params"
rm -rf "$to/html" && cp -r html "$to/html"
echo "[stage] $to"
