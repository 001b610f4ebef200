#!/bin/sh
# test-windows.sh [--platform-only] [CTEST-ARGUMENT...]
#
# Runs the Windows build's tests under Wine, headless, in a Wine prefix of
# its own that is removed afterwards, with the test servers as Linux
# processes on the machine's loopback:
#   (default)        the whole suite in ./build-win32, which
#                    tools/build-windows.sh builds first (and, the first
#                    time, its toolchain: about 30 minutes);
#   --platform-only  the platform layer and its Qt-free tests alone, cross-
#                    built into ./build-win32-platform; no toolchain needed.
# The tests share the prefix's registry, so they run one at a time (no -j).
set -eu
cd "$(dirname "$0")/.."

WINE_LOADER=/usr/lib/wine/wine64
WINE_SERVER=/usr/lib/wine/wineserver64
host=x86_64-w64-mingw32
for tool in $host-g++-posix $host-windres; do
    command -v "$tool" >/dev/null || { echo "$0: $tool is missing; run tools/install-deps.sh" >&2; exit 1; }
done
[ -x "$WINE_LOADER" ] || { echo "$0: $WINE_LOADER is missing; run tools/install-deps.sh" >&2; exit 1; }

mode=all
case "${1:-}" in
--platform-only) mode=platform-only; shift ;;
esac

if [ "$mode" = platform-only ]; then
    build=build-win32-platform
    # One run at a time builds in the folder (a developer's beside the test's).
    mkdir -p $build
    exec 9>$build/.lock
    flock 9
    [ -f $build/build.ninja ] || cmake -S . -B $build -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-mingw64.cmake" \
        -DCMAKE_CROSSCOMPILING_EMULATOR="$WINE_LOADER" \
        -DBREVOLT_PLATFORM_ONLY=ON
    cmake --build $build
else
    build=build-win32
    tools/build-windows.sh
    toolchain=$(tools/windows-toolchain.sh --prefix)
    # The Qt DLLs and plugins and the MinGW runtime, where the cross build
    # left them rather than beside each program.
    winpath() { echo "Z:$1" | tr / '\\'; }
    runtime=$(dirname "$($host-g++-posix -print-file-name=libstdc++-6.dll)")
    pthread=$(dirname "$(readlink -f "$($host-g++-posix -print-file-name=libwinpthread-1.dll)")")
    WINEPATH="$(winpath "$toolchain/qt/bin");$(winpath "$runtime");$(winpath "$pthread")"
    QT_PLUGIN_PATH=$(winpath "$toolchain/qt/plugins")
    export WINEPATH QT_PLUGIN_PATH
fi

WINEPREFIX="$(mktemp -d "${TMPDIR:-/tmp}/brevolt-wine.XXXXXX")"
export WINEPREFIX
# No debug channels, no window system, and no offer to install Mono or Gecko.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
    "$WINE_SERVER" -k 2>/dev/null || true
    # Test servers left by a test that crashed (their folders are in the prefix).
    pkill -f -- "$WINEPREFIX" 2>/dev/null || true
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
if [ "$mode" != platform-only ]; then
    # Wine keeps QT_* variables from Windows programs: the prefix's own
    # environment carries what Qt needs. Qt's offscreen platform on Windows
    # reads fonts from a folder only, and Qt ships none: Debian's DejaVu, which
    # the Linux suite draws with too.
    "$WINE_LOADER" reg add 'HKCU\Environment' /v QT_PLUGIN_PATH /d "$QT_PLUGIN_PATH" /f >/dev/null
    "$WINE_LOADER" reg add 'HKCU\Environment' /v QT_QPA_PLATFORM /d offscreen /f >/dev/null
    "$WINE_LOADER" reg add 'HKCU\Environment' /v QT_QPA_FONTDIR /d "$(winpath /usr/share/fonts/truetype/dejavu)" /f >/dev/null
fi
ctest --test-dir $build --output-on-failure "$@"
