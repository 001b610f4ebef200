#!/bin/sh
# run_with_desktop.sh CMD ARGS...
#
# Runs CMD inside a throwaway desktop: a private Xvfb on a free display (its
# screen DESKTOP_SCREEN, WIDTHxHEIGHTxDEPTH, 1280x1024x24 unless set), a
# private D-Bus session bus and the accessibility (AT-SPI) bus, so a Qt
# Widgets program can be driven through its accessibility tree. Returns the
# exit code of CMD; everything started here is stopped on every way out.
set -u

if [ "$#" -eq 0 ]; then
    echo "usage: $0 CMD [ARGS...]" >&2
    exit 2
fi

fail() { echo "run_with_desktop: $*" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/desktop.XXXXXX") || fail "cannot create a temp folder"
chmod 700 "$work"
pids=""

# shellcheck disable=SC2317  # called from the trap
cleanup() {
    # Newest first: the AT-SPI bus needs the session bus and the display.
    for pid in $pids; do kill "$pid" 2>/dev/null; done
    for pid in $pids; do wait "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# Waits (bounded) until file $1 holds a complete first line, then prints it.
first_line() {
    i=0
    while [ "$i" -lt 200 ]; do
        if [ -s "$1" ] && [ "$(wc -l < "$1")" -ge 1 ]; then
            head -n 1 "$1"
            return 0
        fi
        sleep 0.05
        i=$((i + 1))
    done
    return 1
}

# What we start dies with this shell even if the shell is killed hard (a
# ctest timeout sends SIGKILL, which no trap sees).
spawn() { setpriv --pdeathsig TERM "$@" & pids="$! $pids"; }

# X server: -displayfd lets Xvfb pick a free display, so parallel runs
# never collide.
spawn Xvfb -displayfd 3 -screen 0 "${DESKTOP_SCREEN:=1280x1024x24}" -nolisten tcp -noreset \
    3>"$work/display" 2>"$work/xvfb.log"
display=$(first_line "$work/display") || { cat "$work/xvfb.log" >&2; fail "Xvfb did not start"; }
export DISPLAY=":$display"
# The tests compare what they find on screen with its size.
export DESKTOP_SCREEN

# Set before the buses start so their helpers inherit it.
export XDG_RUNTIME_DIR="$work"
export NO_AT_BRIDGE=0
export QT_ACCESSIBILITY=1
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
export QT_QPA_PLATFORM=xcb

# Session bus, listening inside our private folder.
spawn dbus-daemon --session --nofork --nopidfile --address="unix:dir=$work" \
    --print-address=3 3>"$work/bus" >"$work/dbus.log" 2>&1
DBUS_SESSION_BUS_ADDRESS=$(first_line "$work/bus") || { cat "$work/dbus.log" >&2; fail "dbus-daemon did not start"; }
export DBUS_SESSION_BUS_ADDRESS

# Asking for the accessibility bus address starts the bus launcher (D-Bus
# activation); it stops by itself once the session bus goes away.
i=0
until dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus \
        org.a11y.Bus.GetAddress >/dev/null 2>&1; do
    i=$((i + 1))
    [ "$i" -lt 100 ] || { cat "$work/dbus.log" >&2; fail "AT-SPI bus did not start"; }
    sleep 0.05
done
# Switch accessibility on for every toolkit that asks the session bus.
dbus-send --session --type=method_call --dest=org.a11y.Bus /org/a11y/bus \
    org.freedesktop.DBus.Properties.Set string:org.a11y.Status \
    string:IsEnabled variant:boolean:true >/dev/null 2>&1

spawn "$@" </dev/null
child=${pids%% *}
wait "$child"
exit $?
