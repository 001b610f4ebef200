#!/bin/sh
# Installs what is missing, then configures and builds into ./build.
# BREVOLT_WERROR=ON (as CI sets it) makes warnings errors in a new build folder.
set -eu
cd "$(dirname "$0")/.."
tools/install-deps.sh
[ -f build/build.ninja ] ||
    cmake -S . -B build -G Ninja -DBREVOLT_WERROR="${BREVOLT_WERROR:-OFF}"
cmake --build build
