#!/usr/bin/env bash
# Lays out a runnable installation: the program, its html/ and the platform
# libraries beside it. The stage is the program's working directory. The
# stand-in for the camera's identity services goes into platform/ for
# tools/run.sh; it is no part of an installation.
set -euo pipefail
cd "$(dirname "$0")/.."
from=$1 to=$2
mkdir -p "$to/lib" "$to/platform"
cp -f "$from/corvane" "$to/corvane"
cp -f "$from"/platform/axparameter/libaxparameter.so "$from"/platform/vdo/libvdostream.so "$to/lib/"
cp -f "$from/platform/device_services/device-services" "$to/platform/"
cp -f platform/axparameter/corvane.params "$to/corvane.params"
rm -rf "$to/html" && cp -r html "$to/html"
echo "[stage] $to"
