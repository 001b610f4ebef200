#!/bin/sh
# Builds the benchmarks and runs them, one after the other, printing their
# tables. They are not tests: nothing here fails on a slow machine.
#
#   tools/bench.sh [--quick] [--invoices N] [--lines N]
#
#   --quick       100,000 invoices and lines instead of 1,000,000 (seconds, not a minute)
#   --invoices N  size of the larger sample database of bench_scan (the other is N / 10)
#   --lines N     lines of bench_logging and bench_batchwriter
#
# Build folder: $BREVOLT_BUILD_DIR, default ./build-bench (configured when
# missing, as RelWithDebInfo). Work files go to <build folder>/bench-work and
# are removed by each benchmark when it ends.
set -eu
cd "$(dirname "$0")/.."

invoices=1000000
lines=1000000
while [ $# -gt 0 ]; do
    case "$1" in
    --quick) invoices=100000 lines=100000 ;;
    --invoices) invoices="$2"; shift ;;
    --invoices=*) invoices="${1#*=}" ;;
    --lines) lines="$2"; shift ;;
    --lines=*) lines="${1#*=}" ;;
    -h | --help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown option: $1 (see --help)" >&2; exit 2 ;;
    esac
    shift
done

build="${BREVOLT_BUILD_DIR:-build-bench}"
[ -f "$build/build.ninja" ] ||
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBREVOLT_BUILD_BENCH=ON
cmake --build "$build" -j2 --target bench_scan bench_logging bench_batchwriter bench_tnsnames
work="$build/bench-work"
mkdir -p "$work"

echo
echo "Machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)," \
    "$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1); $(date '+%Y-%m-%d %H:%M')"
echo "Load before the run: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
"$build/bench/bench_scan" --invoices "$invoices" --dir "$work"
echo
"$build/bench/bench_logging" --lines "$lines" --dir "$work"
echo
"$build/bench/bench_batchwriter" --lines "$lines" --dir "$work"
echo
"$build/bench/bench_tnsnames" --dir "$work"
