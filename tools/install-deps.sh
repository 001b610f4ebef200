#!/bin/sh
# Installs the Debian packages the build, the tests and the demo need.
# Idempotent: does nothing when everything is already there.
set -eu

PACKAGES="build-essential cmake ninja-build pkg-config git
qt6-base-dev libqt6sql6-sqlite libgl-dev
libcurl4-openssl-dev libssl-dev
libgtest-dev libgmock-dev
unixodbc libqt6sql6-odbc libsqliteodbc odbc-postgresql
python3-pyftpdlib vsftpd python3-aiosmtpd python3-cryptography openssl sqlite3
xvfb xauth xdotool at-spi2-core dbus python3-pyatspi python3-gi python3-dbusmock
locales-all fonts-dejavu-core
dpkg-dev adduser systemd desktop-file-utils
g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 tcl"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
echo "Installing:$missing"
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -q
# shellcheck disable=SC2086
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing
