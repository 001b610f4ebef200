#!/bin/sh
# Measures the connector against its yardsticks and prints one table of
# ratios (ours ÷ anchor, medians over several runs, ours and the anchor
# taking turns): the scan against `sqlite3 -csv` of the same statement, the
# logger against spdlog's asynchronous logger, the upload against `curl -T`,
# start-up against a program that reads no version stamp, peak memory from
# /usr/bin/time -v. Benchmarks, not tests: nothing here fails on a slow
# machine.
#
#   tools/bench.sh [--quick] [--invoices N] [--lines N] [--details]
#
#   --quick       100,000 invoices and log lines instead of 1,000,000
#   --invoices N  the larger sample database of the scan (the other is 100,000)
#   --lines N     lines the loggers write
#   --details     afterwards the detailed programs (bench_scan, bench_logging,
#                 bench_batchwriter, bench_tnsnames; see bench/README.md)
#
# Build folder: $BREVOLT_BUILD_DIR, default ./build-bench (configured when
# missing, as RelWithDebInfo; always with -DBREVOLT_BUILD_BENCH=ON, which the
# normal build leaves off). Work files go to <build folder>/bench-work and
# are removed when each part ends. Installs what only the benchmarks need
# (Debian's time, curl and libspdlog-dev) when it is missing.
set -eu
cd "$(dirname "$0")/.."

invoices=1000000
lines=1000000
details=0
while [ $# -gt 0 ]; do
    case "$1" in
    --quick) invoices=100000 lines=100000 ;;
    --invoices) invoices="$2"; shift ;;
    --invoices=*) invoices="${1#*=}" ;;
    --lines) lines="$2"; shift ;;
    --lines=*) lines="${1#*=}" ;;
    --details) details=1 ;;
    -h | --help) sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown option: $1 (see --help)" >&2; exit 2 ;;
    esac
    shift
done

tools/install-deps.sh
missing=""
for p in time curl libspdlog-dev; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $p"
done
if [ -n "$missing" ]; then
    if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
    echo "Installing:$missing" >&2
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -q >&2
    # shellcheck disable=SC2086
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        $missing >&2
fi

build="${BREVOLT_BUILD_DIR:-build-bench}"
if [ -f "$build/build.ninja" ]; then
    # A folder configured before, or without the benchmarks, gets them now.
    cmake -S . -B "$build" -DBREVOLT_BUILD_BENCH=ON >/dev/null
else
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBREVOLT_BUILD_BENCH=ON \
        >/dev/null
fi
work="$build/bench-work"
mkdir -p "$work"

echo "Machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)," \
    "$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1); $(date '+%Y-%m-%d %H:%M')"
echo "Load before the run: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| figure | ours | anchor | ours ÷ anchor | goal |"
echo "|---|---:|---:|---:|---|"
bench/scan.sh "$build" "$work" "$invoices"
bench/logging.sh "$build" "$work" "$lines"
bench/upload.sh "$build" "$work"

[ "$details" -eq 1 ] || exit 0
cmake --build "$build" -j2 --target bench_scan bench_logging bench_batchwriter bench_tnsnames
for program in bench_scan bench_logging bench_batchwriter bench_tnsnames; do
    echo
    case "$program" in
    bench_scan) "$build/bench/$program" --invoices "$invoices" --dir "$work" ;;
    bench_tnsnames) "$build/bench/$program" --dir "$work" ;;
    *) "$build/bench/$program" --lines "$lines" --dir "$work" ;;
    esac
done
