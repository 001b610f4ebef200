#!/bin/sh
# Upload and start-up benchmarks, printed as rows of the benchmark table
# (figure | ours | anchor | ours ÷ anchor | goal).
#
#   bench/upload.sh BUILD-DIR WORK-DIR [RUNS]
#
# Upload: a pyftpdlib server on 127.0.0.1 receives a 100 MB batch-like file
# (CR LF lines) from bench_upload (TOVFtpClient, as the service uploads: ASCII
# type), from `curl -T` (binary) and from `curl -B -T` (ASCII), taking turns,
# RUNS times each (default 5); medians of the rate (log-in and transfer, as
# curl's time_total counts them) and of the client's CPU time.
# Start-up: bench_startup, a Qt program that reads the version stamps of
# both executables, against the same program with --minimal (no reads),
# 3 × RUNS turns each; medians of the process's CPU time and peak RSS.
#
# Needs curl, /usr/bin/time (Debian: time) and python3-pyftpdlib. Work files
# go to WORK-DIR/upload and are removed at the end.
set -eu

build="${1:?usage: bench/upload.sh BUILD-DIR WORK-DIR [RUNS]}"
work="${2:?usage: bench/upload.sh BUILD-DIR WORK-DIR [RUNS]}"
runs="${3:-5}"
for tool in curl /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "bench/upload.sh: $tool is missing" >&2; exit 1; }
done
log=$(mktemp)
cmake --build "$build" -j2 --target bench_upload bench_startup BrevoltRPro9Service \
    BrevoltRPro9Configurator >"$log" 2>&1 || { cat "$log" >&2; rm -f "$log"; exit 1; }
rm -f "$log"

work="$work/upload"
rm -rf "$work"
mkdir -p "$work/root"
server_pid=
cleanup() {
    [ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# The batch-like file: the same line again and again, 100,000,000 bytes.
/usr/bin/python3 - "$work/batch.csv" <<'EOF'
import sys
line = (b'"001001","Anna","Jensen","555-0101","555-9101","","customer12345@example.com",'
        b'"clara@store.example","12/01/2026","No","Yes"\r\n')
size = 100_000_000
with open(sys.argv[1], "wb") as f:
    block = line * ((1 << 20) // len(line))
    while size > 0:
        f.write(block[:size])
        size -= len(block)
EOF

# The server, on a free loopback port; it prints the port once it listens.
/usr/bin/python3 - "$work/root" >"$work/port" 2>"$work/server.log" <<'EOF' &
import sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
authorizer = DummyAuthorizer()
authorizer.add_user("bench", "bench", sys.argv[1], perm="elradfmwMT")
FTPHandler.authorizer = authorizer
server = FTPServer(("127.0.0.1", 0), FTPHandler)
print(server.socket.getsockname()[1], flush=True)
server.serve_forever()
EOF
server_pid=$!
for _ in $(seq 50); do
    [ -s "$work/port" ] && break
    sleep 0.1
done
port=$(cat "$work/port")
[ -n "$port" ] || { echo "bench/upload.sh: the FTP server did not start" >&2; exit 1; }

. "$(dirname "$0")/lib.sh"
# The median of column $1 of the file $2.
median_of() { awk -v c="$1" '{ print $c }' "$2" | median; }

# One upload by the command "$@" that prints its bytes and seconds; appends
# "<MB/s> <client CPU s>" to the file $1.
upload() {
    out="$1"
    shift
    /usr/bin/time -f '%U %S' -o "$work/cpu" "$@" >"$work/timing"
    awk -v s="$size" '{ printf "%.3f ", s / 1e6 / $2 }' "$work/timing" >>"$out"
    awk '{ printf "%.3f\n", $1 + $2 }' "$work/cpu" >>"$out"
}
size=$(stat -c %s "$work/batch.csv")
url="ftp://127.0.0.1:$port/"
for _ in $(seq "$runs"); do
    upload "$work/ours" "$build/bench/bench_upload" --server "127.0.0.1:$port" \
        --user bench --password bench --file "$work/batch.csv"
    upload "$work/curl" curl -sS -T "$work/batch.csv" --user bench:bench "$url" \
        -w '%{size_upload} %{time_total}\n'
    upload "$work/curl-ascii" curl -sS -B -T "$work/batch.csv" --user bench:bench \
        "$url" -w '%{size_upload} %{time_total}\n'
done

programs="$build/service/BrevoltRPro9Service $build/configurator/BrevoltRPro9Configurator"
for _ in $(seq $((3 * runs))); do
    # shellcheck disable=SC2086 # two paths
    "$build/bench/bench_startup" $programs >>"$work/stamp"
    "$build/bench/bench_startup" --minimal >>"$work/minimal"
done
cpu=$(median_of 1 "$work/stamp")
cpu_anchor=$(median_of 1 "$work/minimal")
rss=$(median_of 2 "$work/stamp")
rss_anchor=$(median_of 2 "$work/minimal")
read_ms=$(median_of 3 "$work/stamp")

row() { awk -v f="$1" -v o="$2" -v a="$3" -v g="$4" -v d="$5" \
    'BEGIN { printf "| %s | %.*f | %.*f | %.2f | %s |\n", f, d, o, d, a, o / a, g }'; }
row "upload 100 MB to loopback FTP, MB/s (anchor: curl -T)" \
    "$(median_of 1 "$work/ours")" "$(median_of 1 "$work/curl")" "≥ 0.9" 0
row "same, both in ASCII mode, MB/s (anchor: curl -B -T)" \
    "$(median_of 1 "$work/ours")" "$(median_of 1 "$work/curl-ascii")" "–" 0
row "same, client CPU s per upload (anchor: curl -T)" \
    "$(median_of 2 "$work/ours")" "$(median_of 2 "$work/curl")" "–" 2
row "start-up: Qt program reading both version stamps, CPU ms (anchor: minimal Qt program)" \
    "$cpu" "$cpu_anchor" "≤ 1.1" 1
row "start-up: same, peak RSS MiB (anchor: minimal Qt program)" \
    "$(echo "$rss" | awk '{ print $1 / 1024 }')" \
    "$(echo "$rss_anchor" | awk '{ print $1 / 1024 }')" "≤ 1.1" 1
echo "| start-up: GetFileVersionText of both executables, ms | $read_ms | – | – | – |"
