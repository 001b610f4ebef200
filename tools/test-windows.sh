#!/bin/sh
# Cross-builds the platform library and its tests for 64-bit Windows into
# ./build-win32-platform (the runtime linked in, no Qt) and runs them under
# Wine, headless, in a Wine prefix of its own that is removed afterwards.
# Extra arguments go to ctest.
set -eu
cd "$(dirname "$0")/.."

WINE_LOADER=/usr/lib/wine/wine64
WINE_SERVER=/usr/lib/wine/wineserver64
for tool in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-windres; do
    command -v "$tool" >/dev/null || { echo "$0: $tool is missing; run tools/install-deps.sh" >&2; exit 1; }
done
[ -x "$WINE_LOADER" ] || { echo "$0: $WINE_LOADER is missing; run tools/install-deps.sh" >&2; exit 1; }

# One run at a time builds in the folder (a developer's beside the test's).
mkdir -p build-win32-platform
exec 9>build-win32-platform/.lock
flock 9

[ -f build-win32-platform/build.ninja ] || cmake -S . -B build-win32-platform -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-mingw64.cmake" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$WINE_LOADER" \
    -DBREVOLT_PLATFORM_ONLY=ON
cmake --build build-win32-platform

WINEPREFIX="$(mktemp -d "${TMPDIR:-/tmp}/brevolt-wine.XXXXXX")"
export WINEPREFIX
# No debug channels, no window system, and no offer to install Mono or Gecko.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
    "$WINE_SERVER" -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# The prefix's first boot leaves a second service manager running beside the
# first, each with its own services, so the tests get a session of their
# own: one server that stays up between the programs, and one boot of the
# made prefix, which starts a single service manager.
"$WINE_LOADER" wineboot --init >/dev/null 2>&1
"$WINE_SERVER" -k || true
"$WINE_SERVER" -w || true
"$WINE_SERVER" -p
"$WINE_LOADER" wineboot >/dev/null 2>&1
ctest --test-dir build-win32-platform --output-on-failure "$@"
