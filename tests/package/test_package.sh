#!/bin/bash
# The Debian package on this machine: built from the build folder, its control
# fields and files checked, installed with dpkg, one scan run as the service's
# account against the sample database, then removed (which keeps the service
# directory) and purged (which leaves nothing behind).
# Usage: test_package.sh BUILD_DIR PROJECT_VERSION. Exit code 77: skipped.
set -euo pipefail

BUILD=$1
VERSION=$2
PACKAGE=brevolt-rpro9-connector
ACCOUNT=brevolt
PROGRAM_DIR=/opt/$PACKAGE/bin
SERVICE_DIR=/var/opt/$PACKAGE
REGISTRY=/etc/opt/OrvaneSoftware/registry.reg
UNIT=BrevoltRPro9Connector.service
UNIT_FILE=/lib/systemd/system/$UNIT

skip() {
    echo "SKIPPED: $*"
    exit 77
}
fail() {
    echo "FAILED: $*" >&2
    exit 1
}
step() { echo "== $*"; }

[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
for tool in dpkg dpkg-deb dpkg-shlibdeps runuser; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
# Never touch a connector that is installed here, with or without a package.
if dpkg-query -W "$PACKAGE" >/dev/null 2>&1; then
    skip "$PACKAGE is known to dpkg on this machine; purge it to run this test"
fi
[ ! -e "/etc/systemd/system/$UNIT" ] || skip "/etc/systemd/system/$UNIT exists (-install)"
[ ! -e "$REGISTRY" ] || skip "$REGISTRY exists; this test would change it"
getent passwd "$ACCOUNT" >/dev/null && skip "an account $ACCOUNT exists already"

WORK=$(mktemp -d)
chmod 0755 "$WORK" # the service's account reads the sample from here
cleanup() {
    local status=$?
    if dpkg-query -W "$PACKAGE" >/dev/null 2>&1; then
        timeout 120 dpkg --purge "$PACKAGE" >"$WORK/cleanup.log" 2>&1 ||
            { cat "$WORK/cleanup.log" >&2; echo "could not purge $PACKAGE" >&2; }
    fi
    rm -rf "$WORK"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# The places the package may touch, and the account. Caches that dpkg's
# triggers rebuild are left out.
snapshot() {
    find /opt /etc/opt /var/opt /lib/systemd/system /etc/systemd/system \
        /usr/share/applications /usr/share/icons/hicolor /usr/share/man/man8 \
        /var/lib/systemd/deb-systemd-helper-enabled /var/lib/systemd/deb-systemd-helper-masked \
        -xdev ! -name '*.cache' 2>/dev/null | sort || true
    getent passwd "$ACCOUNT" || true
    getent group "$ACCOUNT" || true
}

step "building the package"
(cd "$BUILD" && timeout 120 cpack -G DEB -B "$WORK/deb") >"$WORK/cpack.log" 2>&1 ||
    { cat "$WORK/cpack.log"; fail "cpack failed"; }
ARCH=$(dpkg --print-architecture)
DEB=$WORK/deb/${PACKAGE}_${VERSION}-1_${ARCH}.deb
[ -f "$DEB" ] || { ls "$WORK/deb"; fail "no $DEB"; }

step "control fields"
field() { dpkg-deb -f "$DEB" "$1"; }
[ "$(field Package)" = "$PACKAGE" ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$VERSION-1" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$ARCH" ] || fail "Architecture: $(field Architecture)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ "$(field Description | head -n 1)" = "Brevolt connector for Retail Pro 9" ] ||
    fail "Description: $(field Description)"
depends=$(field Depends)
# adduser for the scripts; the libraries with the versions dpkg-shlibdeps found.
for dependency in 'adduser' 'libc6 (>= ' 'libqt6core6 (>= ' 'libqt6widgets6 (>= ' \
    'libqt6sql6 (>= ' 'libqt6dbus6 (>= ' 'libcurl4 (>= '; do
    case ", $depends" in
    *", $dependency"*) ;;
    *) fail "Depends lacks \"$dependency\": $depends" ;;
    esac
done
dpkg-deb -e "$DEB" "$WORK/control"
for script in postinst prerm postrm; do
    [ -x "$WORK/control/$script" ] || fail "no executable $script"
    sh -n "$WORK/control/$script" || fail "$script does not parse"
done

step "file list"
# Mode, owner and name of everything but folders (a link with its target).
dpkg-deb -c "$DEB" | awk '$1 !~ /^d/ { print $1, $2, $6, $7, $8 }' | sed 's/ *$//' | sort \
    >"$WORK/files"
sort >"$WORK/expected" <<EOF
-rwxr-xr-x root/root ./opt/$PACKAGE/bin/BrevoltRPro9Configurator
-rwxr-xr-x root/root ./opt/$PACKAGE/bin/BrevoltRPro9Service
lrwxrwxrwx root/root ./opt/$PACKAGE/bin/logs -> $SERVICE_DIR/logs
-rw-r--r-- root/root ./lib/systemd/system/$UNIT
-rw-r--r-- root/root ./usr/share/applications/brevolt-rpro9-configurator.desktop
-rw-r--r-- root/root ./usr/share/icons/hicolor/scalable/apps/brevolt-rpro9-configurator.svg
-rw-r--r-- root/root ./usr/share/man/man8/BrevoltRPro9Service.8.gz
EOF
diff "$WORK/expected" "$WORK/files" || fail "the package's files differ from the expected ones"

snapshot >"$WORK/before"

step "installing"
timeout 120 dpkg -i "$DEB" >"$WORK/install.log" 2>&1 || { cat "$WORK/install.log"; fail "dpkg -i failed"; }
grep -q "adduser USER $ACCOUNT" "$WORK/install.log" || fail "no word to administrators about the group"

step "account"
IFS=: read -r _ _ uid gid _ home shell <<<"$(getent passwd "$ACCOUNT")"
[ "$uid" -lt 1000 ] || fail "$ACCOUNT is no system account (uid $uid)"
[ "$(getent group "$ACCOUNT" | cut -d: -f3)" = "$gid" ] || fail "$ACCOUNT's group is not $ACCOUNT"
[ "$home" = "$SERVICE_DIR" ] || fail "home $home"
[ "$shell" = /usr/sbin/nologin ] || fail "shell $shell"

step "unit"
for line in Type=notify "ExecStart=$PROGRAM_DIR/BrevoltRPro9Service" Restart=on-failure \
    "User=$ACCOUNT" "Group=$ACCOUNT" NoNewPrivileges=yes ProtectSystem=strict ProtectHome=yes \
    PrivateTmp=yes "ReadWritePaths=$SERVICE_DIR -/var/log/OrvaneSoftware" \
    WantedBy=multi-user.target; do
    grep -qxF "$line" "$UNIT_FILE" || fail "$UNIT_FILE lacks $line"
done
if command -v systemd-analyze >/dev/null; then
    # It also looks up the unit's man page, when man is there to ask.
    if command -v man >/dev/null; then man_check=yes; else man_check=no; fi
    systemd-analyze verify --man=$man_check "$UNIT_FILE" || fail "systemd-analyze verify $UNIT_FILE"
else
    echo "(systemd-analyze is not installed: the unit is not verified)"
fi
[ "$(readlink "/etc/systemd/system/multi-user.target.wants/$UNIT")" = "$UNIT_FILE" ] ||
    fail "the unit is not enabled"
if [ -d /run/systemd/system ] && [ ! -x /usr/sbin/policy-rc.d ]; then
    # Started by the package: it runs as the account and waits for a
    # configuration. It is stopped for the run below, which uses the same
    # service directory.
    if [ "$(systemctl is-active "$UNIT")" != active ]; then
        systemctl status --no-pager "$UNIT" || true
        journalctl --no-pager -n 30 -u "$UNIT" || true
        fail "the service is not running"
    fi
    pid=$(systemctl show -p MainPID --value "$UNIT")
    [ "$(ps -o user= -p "$pid")" = "$ACCOUNT" ] || fail "the service does not run as $ACCOUNT"
    timeout 60 systemctl stop "$UNIT"
else
    echo "(no systemd to start services here: the service's start is not checked)"
fi

step "folders"
for dir in "$SERVICE_DIR" "$SERVICE_DIR/logs" "$SERVICE_DIR/Batch" "$SERVICE_DIR/Batch/Archive"; do
    [ "$(stat -c '%U:%G %a' "$dir")" = "$ACCOUNT:$ACCOUNT 2770" ] ||
        fail "$dir is $(stat -c '%U:%G %a' "$dir")"
done
[ "$(stat -c '%U:%G %a' "$REGISTRY")" = "root:root 644" ] ||
    fail "$REGISTRY is $(stat -c '%U:%G %a' "$REGISTRY")"
grep -qF "\"ServiceDirectory\"=\"$SERVICE_DIR/\"" "$REGISTRY" || fail "no service directory in $REGISTRY"

step "desktop entry, man page and --help"
desktop=/usr/share/applications/brevolt-rpro9-configurator.desktop
grep -qxF "Exec=$PROGRAM_DIR/BrevoltRPro9Configurator" "$desktop" || fail "Exec of $desktop"
grep -qxF "Icon=brevolt-rpro9-configurator" "$desktop" || fail "Icon of $desktop"
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$desktop" || fail "desktop-file-validate $desktop"
fi
zcat /usr/share/man/man8/BrevoltRPro9Service.8.gz | grep -q '^\.B runonce' || fail "man page"
"$PROGRAM_DIR/BrevoltRPro9Service" --help | grep -q runonce || fail "--help"

step "one scan as $ACCOUNT"
"$BUILD/tools/BrevoltDemoSetup" "$WORK/sample" --ftp 127.0.0.1:1 --user pkgtest \
    --password unused >/dev/null
install -o "$ACCOUNT" -g "$ACCOUNT" -m 0660 "$WORK/sample/service/Brevoltconnector.cfg" "$SERVICE_DIR/"
# The registry file as the package wrote it, plus the sample's Oracle home and
# SQLite database (a key may come in several sections).
{
    cat "$REGISTRY"
    sed -e 1d -e '/^"ServiceDirectory"=/d' "$WORK/sample/registry.reg"
} >"$WORK/registry.reg"
chmod 0644 "$WORK/registry.reg"
chown -R "$ACCOUNT:$ACCOUNT" "$WORK/sample"
# The unit's umask.
(umask 0007 && BREVOLT_REGISTRY="$WORK/registry.reg" timeout 60 \
    runuser -u "$ACCOUNT" -- "$PROGRAM_DIR/BrevoltRPro9Service" -runonce -skiptransmit) \
    >"$WORK/run.log" 2>&1 || { code=$?; cat "$WORK/run.log"; fail "the run ended with code $code"; }
batches=("$SERVICE_DIR"/Batch/Archive/pkgtest_*.csv)
[ -f "${batches[0]}" ] || fail "no batch in $SERVICE_DIR/Batch/Archive"
[ "$(stat -c %U "${batches[0]}")" = "$ACCOUNT" ] || fail "the batch is not $ACCOUNT's"
[ "$(wc -l <"${batches[0]}")" -gt 1 ] || fail "the batch holds no invoice"
# The run's log, beside the one of the service systemd may have started.
for log in "$SERVICE_DIR"/logs/*; do
    [ "$(stat -c %U "$log")" = "$ACCOUNT" ] || fail "$log is not $ACCOUNT's"
done
grep -q "Single run succeeded" "$SERVICE_DIR"/logs/BrevoltRPro9Service_*.log ||
    fail "no log in $SERVICE_DIR/logs tells the run's success"
# The program folder stays as installed.
[ "$(ls -A "$PROGRAM_DIR" | tr '\n' ' ')" = "BrevoltRPro9Configurator BrevoltRPro9Service logs " ] ||
    fail "$PROGRAM_DIR holds $(ls -A "$PROGRAM_DIR")"

step "removing keeps the service directory, the account and the registry entry"
timeout 120 dpkg --remove "$PACKAGE" >"$WORK/remove.log" 2>&1 ||
    { cat "$WORK/remove.log"; fail "dpkg --remove failed"; }
[ ! -e "$PROGRAM_DIR" ] && [ ! -e "$UNIT_FILE" ] || fail "programs or unit left after remove"
[ -f "$SERVICE_DIR/Brevoltconnector.cfg" ] && [ -f "${batches[0]}" ] ||
    fail "configuration or batch gone after remove"
getent passwd "$ACCOUNT" >/dev/null || fail "account gone after remove"
grep -qF "\"ServiceDirectory\"=\"$SERVICE_DIR/\"" "$REGISTRY" || fail "registry entry gone after remove"
[ -d /opt ] || fail "/opt gone"

step "purging leaves nothing behind"
timeout 120 dpkg --purge "$PACKAGE" >"$WORK/purge.log" 2>&1 ||
    { cat "$WORK/purge.log"; fail "dpkg --purge failed"; }
! dpkg-query -W "$PACKAGE" >/dev/null 2>&1 || fail "dpkg still knows $PACKAGE"
snapshot >"$WORK/after"
diff "$WORK/before" "$WORK/after" || fail "the purge left changes behind (< before, > after)"
[ ! -e "$REGISTRY" ] && [ ! -e "$(dirname "$REGISTRY")" ] || fail "registry file left behind"
echo "passed"
