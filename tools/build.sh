#!/bin/sh
# Installs what is missing, then configures and builds into ./build.
set -eu
cd "$(dirname "$0")/.."
tools/install-deps.sh
[ -f build/build.ninja ] || cmake -S . -B build -G Ninja
cmake --build build
