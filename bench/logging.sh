#!/bin/sh
# The logger against its yardstick, spdlog's asynchronous logger (block
# policy, file sink): both log the same lines from 1 and from 4 threads,
# taking turns run by run, and the medians are printed as markdown table
# rows: what, ours, the anchor, ours ÷ anchor, the goal.
#
#   bench/logging.sh <build-dir> <work-dir> <lines>
#
# The build folder must be configured with -DBREVOLT_BUILD_BENCH=ON; needs
# libspdlog-dev (a benchmark-only dependency tools/bench.sh installs). $LOGGING_RUNS
# sets the runs of each program per case (default 5). Lines per second count
# until every line is in the file and the file is flushed and closed.
set -eu

if [ $# -ne 3 ]; then
    sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
fi
build="$1" work="$2" lines="$3"
runs="${LOGGING_RUNS:-5}"

dpkg-query -W -f='${Status}' libspdlog-dev 2>/dev/null | grep -q "install ok installed" || {
    echo "logging.sh: libspdlog-dev is missing (tools/bench.sh installs it)" >&2
    exit 1
}
# Configured again, so that a folder configured before spdlog was there
# finds it now.
cmake "$build" -DBREVOLT_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target bench_logging anchor_spdlog >&2
mkdir -p "$work"

. "$(dirname "$0")/lib.sh"

with_commas() {
    awk '{ s = sprintf("%.0f", $1); out = ""
           while (length(s) > 3) { out = "," substr(s, length(s) - 2) out; s = substr(s, 1, length(s) - 3) }
           print s out }'
}

case "$lines" in
*000000) size="$((lines / 1000000)) M" ;;
*000) size="$((lines / 1000)) k" ;;
*) size="$lines" ;;
esac

for threads in 1 4; do
    ours="" anchor=""
    i=0
    while [ "$i" -lt "$runs" ]; do
        ours="$ours $("$build/bench/bench_logging" --rate --lines "$lines" --threads "$threads" --dir "$work")"
        anchor="$anchor $("$build/bench/anchor_spdlog" --lines "$lines" --threads "$threads" --dir "$work")"
        i=$((i + 1))
    done
    o=$(echo "$ours" | tr ' ' '\n' | grep . | median %.0f)
    a=$(echo "$anchor" | tr ' ' '\n' | grep . | median %.0f)
    if [ "$threads" -eq 1 ]; then what="1 thread"; else what="$threads threads"; fi
    echo "| logger, $size lines, $what, lines/s | $(echo "$o" | with_commas) |" \
        "$(echo "$a" | with_commas) | $(awk -v o="$o" -v a="$a" 'BEGIN { printf "%.2f", o / a }') | ≥ 0.5 |"
done
