#!/bin/sh
# windows-toolchain.sh [--prefix]
#
# Builds what a Windows build of both programs links against, from Debian's
# own source packages, for x86_64-w64-mingw32: SQLite, libcurl (Schannel,
# static) and Qt (Core, Gui, Widgets, Sql with SQLite and ODBC, Concurrent,
# Test; shared). The versions are those of the host's packages, so the
# host's moc, rcc and uic match the cross-built Qt.
#
# Everything goes into a cache folder outside the build tree, one folder per
# set of versions ($BREVOLT_WINDOWS_TOOLCHAIN_CACHE, by default
# /var/cache/brevolt-windows-toolchain). Each step leaves a stamp when it is
# done: an interrupted run picks up at the step it was in, and a complete
# cache makes the script do nothing. With --prefix it only prints the
# folder (and fails when it is not complete).
set -eu
cd "$(dirname "$0")/.."
repo=$PWD

cache_root=${BREVOLT_WINDOWS_TOOLCHAIN_CACHE:-/var/cache/brevolt-windows-toolchain}
host=x86_64-w64-mingw32

# On a fresh machine the host packages come first: their versions name the cache.
if [ "${1:-}" != --prefix ] && ! dpkg-query -W libqt6core6 libsqlite3-0 libcurl4 >/dev/null 2>&1; then
    tools/install-deps.sh
fi
source_version() {
    dpkg-query -W -f='${source:Version}' "$1" 2>/dev/null ||
        { echo "$0: the host package $1 is missing; run tools/install-deps.sh" >&2; exit 1; }
}
qt_version=$(source_version libqt6core6)
sqlite_version=$(source_version libsqlite3-0)
curl_version=$(source_version libcurl4)
gcc_version=$("$host-gcc-posix" -dumpfullversion 2>/dev/null || echo missing)
# Bumped whenever a step's recipe changes, so an older cache is not taken for it.
recipe=4
prefix="$cache_root/r$recipe-qt-$qt_version-sqlite-$sqlite_version-curl-$curl_version-gcc-$gcc_version"
steps="sqlite curl qt"

complete() {
    for step in $steps; do [ -f "$prefix/.done-$step" ] || return 1; done
}

if [ "${1:-}" = --prefix ]; then
    complete || { echo "$0: the toolchain in $prefix is not complete; run $0" >&2; exit 1; }
    echo "$prefix"
    exit 0
fi
if complete; then
    echo "windows-toolchain: complete in $prefix"
    exit 0
fi

tools/install-deps.sh
if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi

mkdir -p "$prefix/logs" "$prefix/src" 2>/dev/null ||
    { $SUDO mkdir -p "$prefix" && $SUDO chown "$(id -u):$(id -g)" "$cache_root" "$prefix" &&
        mkdir -p "$prefix/logs" "$prefix/src"; }
# One run at a time per cache.
exec 9>"$prefix/.lock"
flock 9

started=$(date +%s)
say() { echo "windows-toolchain: [$(( $(date +%s) - started ))s] $*"; }

# run STEP CMD...: runs CMD with its output in STEP's log; a failure names both.
run() {
    step=$1
    shift
    if ! "$@" >>"$prefix/logs/$step.log" 2>&1; then
        echo "windows-toolchain: step '$step' failed; its log is $prefix/logs/$step.log:" >&2
        tail -n 30 "$prefix/logs/$step.log" >&2
        exit 1
    fi
}

# Debian's source packages: deb-src entries beside the machine's deb entries
# for the same mirrors, suites and keys.
ensure_deb_src() {
    sources=/etc/apt/sources.list.d/brevolt-deb-src.sources
    [ -f "$sources" ] && return 0
    say "adding $sources"
    # Every stanza of type deb (the security updates' too), as deb-src.
    awk 'BEGIN { RS = ""; FS = "\n" }
         {
             deb = 0
             for (i = 1; i <= NF; i++) if ($i ~ /^Types:.*(^|[ \t])deb([ \t]|$)/) deb = 1
             if (!deb) next
             for (i = 1; i <= NF; i++) {
                 if ($i ~ /^Types:/) print "Types: deb-src"
                 else if ($i !~ /^#/) print $i
             }
             print ""
         }' /etc/apt/sources.list.d/debian.sources >"$prefix/deb-src.sources"
    grep -q "^Types: deb-src" "$prefix/deb-src.sources" ||
        { echo "$0: no Debian deb entry in /etc/apt/sources.list.d/debian.sources to copy" >&2; exit 1; }
    $SUDO cp "$prefix/deb-src.sources" "$sources"
    run apt $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -q
}

# fetch PACKAGE VERSION: unpacks Debian's source into src/, once; prints its folder.
fetch() {
    folder="$prefix/src/$1"
    if [ ! -f "$folder/.unpacked" ]; then
        ensure_deb_src >&2
        say "fetching the source of $1 $2" >&2
        rm -rf "$folder" && mkdir -p "$folder"
        (cd "$folder" && run "fetch-$1" apt-get source -q --only-source "$1=$2")
        touch "$folder/.unpacked"
    fi
    find "$folder" -mindepth 1 -maxdepth 1 -type d | head -n 1
}

build_sqlite() {
    src=$(fetch sqlite3 "$sqlite_version")
    say "building SQLite $sqlite_version"
    rm -rf "$prefix/build/sqlite" && mkdir -p "$prefix/build/sqlite"
    # The amalgamation is made on the build machine; the library is only
    # that one file compiled for Windows.
    (cd "$prefix/build/sqlite" &&
        run sqlite "$src/configure" --disable-tcl --disable-readline &&
        run sqlite make sqlite3.c sqlite3.h &&
        run sqlite "$host-gcc-posix" -O2 -c sqlite3.c -o sqlite3.o \
            -DSQLITE_ENABLE_COLUMN_METADATA -DSQLITE_ENABLE_FTS5 -DSQLITE_THREADSAFE=1 &&
        run sqlite "$host-ar" rcs libsqlite3.a sqlite3.o)
    mkdir -p "$prefix/sqlite/include" "$prefix/sqlite/lib"
    cp "$prefix/build/sqlite/sqlite3.h" "$prefix/build/sqlite/sqlite3ext.h" "$prefix/sqlite/include/"
    cp "$prefix/build/sqlite/libsqlite3.a" "$prefix/sqlite/lib/"
}

build_curl() {
    src=$(fetch curl "$curl_version")
    say "building libcurl $curl_version (Schannel)"
    rm -rf "$prefix/build/curl" && mkdir -p "$prefix/build/curl"
    (cd "$prefix/build/curl" &&
        run curl "$src/configure" --host="$host" --prefix="$prefix/curl" \
            CC="$host-gcc-posix" --with-schannel --without-zlib --disable-ldap \
            --without-libpsl --without-zstd --without-brotli --without-nghttp2 \
            --without-libidn2 --enable-static --disable-shared --disable-manual \
            --disable-docs &&
        run curl make -j"$(nproc)" -C lib &&
        run curl make -C lib install &&
        run curl make -C include install)
}

build_qt() {
    src=$(fetch qt6-base "$qt_version")
    # PCRE2's JIT is left out: with this compiler, a thread that ran a
    # regular expression through it crashes as it ends (under Wine at least).
    # FreeType stays: Qt builds its offscreen platform, which the window
    # tests use, only with it.
    say "building Qt $qt_version (about half an hour on 2 cores; progress in $prefix/logs/qt.log)"
    rm -rf "$prefix/build/qt" && mkdir -p "$prefix/build/qt"
    run qt cmake -S "$src" -B "$prefix/build/qt" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-mingw64.cmake" \
        -DBREVOLT_MINGW_STATIC_RUNTIME=OFF \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix/qt" \
        -DQT_HOST_PATH=/usr -DQt6HostInfo_DIR=/usr/lib/x86_64-linux-gnu/cmake/Qt6HostInfo \
        -DBUILD_SHARED_LIBS=ON -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
        -DFEATURE_dbus=OFF -DFEATURE_network=OFF -DFEATURE_printsupport=OFF \
        -DFEATURE_xml=OFF -DFEATURE_vulkan=OFF -DFEATURE_tabletevent=OFF \
        -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF \
        -DCMAKE_C_FLAGS=-DPCRE2_DISABLE_JIT \
        -DFEATURE_sql_odbc=ON -DFEATURE_sql_sqlite=ON -DFEATURE_system_sqlite=ON \
        -DSQLite3_INCLUDE_DIR="$prefix/sqlite/include" \
        -DSQLite3_LIBRARY="$prefix/sqlite/lib/libsqlite3.a"
    run qt cmake --build "$prefix/build/qt" --parallel "$(nproc)"
    run qt cmake --install "$prefix/build/qt"
}

for step in $steps; do
    [ -f "$prefix/.done-$step" ] && continue
    : >"$prefix/logs/$step.log"
    "build_$step"
    touch "$prefix/.done-$step"
    say "$step done"
done
rm -rf "$prefix/build"
say "complete in $prefix"
