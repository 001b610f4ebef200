#!/bin/sh
# Builds both programs, the tools and the tests for 64-bit Windows into
# ./build-win32, against the libraries of tools/windows-toolchain.sh (which
# it runs first; it does nothing once its cache is complete).
# BREVOLT_WERROR=ON makes warnings errors.
set -eu
cd "$(dirname "$0")/.."
tools/windows-toolchain.sh
toolchain=$(tools/windows-toolchain.sh --prefix)

# One build at a time in the folder.
mkdir -p build-win32
exec 9>build-win32/.lock
flock 9
# A folder configured for the platform layer alone (as before) starts again.
if [ -f build-win32/CMakeCache.txt ] &&
    ! grep -q "^BREVOLT_WINDOWS_TOOLCHAIN:PATH=$toolchain\$" build-win32/CMakeCache.txt; then
    find build-win32 -mindepth 1 -maxdepth 1 ! -name .lock -exec rm -rf {} +
fi
cmake -S . -B build-win32 -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-mingw64.cmake" \
    -DBREVOLT_WINDOWS_TOOLCHAIN:PATH="$toolchain" -DBREVOLT_MINGW_STATIC_RUNTIME=OFF \
    -DQT_HOST_PATH=/usr -DQt6HostInfo_DIR=/usr/lib/x86_64-linux-gnu/cmake/Qt6HostInfo \
    -DCMAKE_CROSSCOMPILING_EMULATOR=/usr/lib/wine/wine64 \
    -DBREVOLT_WERROR="${BREVOLT_WERROR:-OFF}" -DBREVOLT_BUILD_TESTS=ON
cmake --build build-win32
