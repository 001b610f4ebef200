#!/bin/sh
# The main job, end to end on this machine: builds, creates a demo service
# directory with a sample Retail Pro 9 database of recent invoices, starts an
# FTP server on loopback, runs the service once against it and shows what it
# uploaded, archived and logged.
set -eu
cd "$(dirname "$0")/.."
tools/build.sh

DEMO="$(pwd)/demo"
rm -rf "$DEMO"
mkdir -p "$DEMO/ftp-root" "$DEMO/ftp-record"

# A loopback FTP server (Debian's pyftpdlib) that runs until its input closes.
mkfifo "$DEMO/ftp.in"
/usr/bin/python3 tests/support/ftp_server.py "$DEMO/ftp-root" "$DEMO/ftp-record" demoshop demo \
    <"$DEMO/ftp.in" >"$DEMO/ftp.out" 2>"$DEMO/ftp.err" &
server=$!
exec 3>"$DEMO/ftp.in"
stop_server() { exec 3>&-; wait "$server" 2>/dev/null || true; }
trap stop_server EXIT
i=0
until grep -q '^PORT ' "$DEMO/ftp.out" 2>/dev/null; do
    i=$((i + 1))
    if [ "$i" -gt 100 ] || ! kill -0 "$server" 2>/dev/null; then
        echo "The FTP server did not start:" >&2
        cat "$DEMO/ftp.err" >&2
        exit 1
    fi
    sleep 0.1
done
port=$(sed -n 's/^PORT //p' "$DEMO/ftp.out")

build/tools/BrevoltDemoSetup "$DEMO/rpro9" --ftp "127.0.0.1:$port" --user demoshop --password demo \
    >/dev/null
service_dir="$DEMO/rpro9/service"

echo "Running BrevoltRPro9Service -runonce (FTP server on 127.0.0.1:$port) ..."
status=0
BREVOLT_REGISTRY="$DEMO/rpro9/registry.reg" BREVOLT_TRACE_FILE="$DEMO/Brevolt.log" \
    build/service/BrevoltRPro9Service -runonce || status=$?
stop_server
trap - EXIT

uploaded=$(ls "$DEMO"/ftp-root/*.csv 2>/dev/null | head -n 1 || true)
log=$(ls -t "$service_dir"/logs/BrevoltRPro9Service_*.log | head -n 1)
echo
echo "Exit code:     $status"
echo "Uploaded file: ${uploaded:-(none)}"
echo "Archive:       $service_dir/Batch/Archive/"
ls "$service_dir/Batch/Archive/" | sed 's/^/               /'
echo "Log file:      $log"
if [ -n "$uploaded" ]; then
    echo
    echo "First lines of the uploaded file (Windows-1252, shown as UTF-8):"
    head -n 6 "$uploaded" | iconv -f WINDOWS-1252 -t UTF-8
fi
exit "$status"
