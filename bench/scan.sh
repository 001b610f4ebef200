#!/bin/sh
# The scan against its yardstick, "sqlite3 -csv" running the same statements
# into a file: the service program itself ("-runonce -skiptransmit") over a
# sample database of 100,000 and of N invoices (N / 10 and N when N is not
# larger), four stores, at log level 1 and 9, taking turns run by run; the
# peak memory of the same runs (/usr/bin/time); and a run over 50 stores
# with nothing new on the larger database. Medians are printed as markdown
# table rows: what, ours, the anchor, ours ÷ anchor, the goal.
#
#   bench/scan.sh <build-dir> <work-dir> <invoices>
#
# The build folder must be configured with -DBREVOLT_BUILD_BENCH=ON; needs
# /usr/bin/time and sqlite3 (Debian packages time and sqlite3, which
# tools/bench.sh installs). $SCAN_RUNS sets the runs of each program per case
# (default 5).
set -eu

if [ $# -ne 3 ]; then
    sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
fi
build="$1" work="$2" invoices="$3"
runs="${SCAN_RUNS:-5}"

for tool in /usr/bin/time sqlite3; do
    command -v "$tool" >/dev/null || {
        echo "scan.sh: $tool is missing (Debian packages time and sqlite3;" \
            "tools/bench.sh installs them)" >&2
        exit 1
    }
done
cmake --build "$build" -j2 --target BrevoltRPro9Service bench_scan >&2
mkdir -p "$work"
work="$(cd "$work" && pwd)"

. "$(dirname "$0")/lib.sh"

mib() { awk "BEGIN { printf \"%.1f\", ($1) / 1024 }"; }

label() {
    case "$1" in
    *000000) echo "$(($1 / 1000000)) M" ;;
    *000) echo "$(($1 / 1000)) k" ;;
    *) echo "$1" ;;
    esac
}

now() { date +%s%N; }

# The sample environment of $1 invoices in $work/scan-$1, with the service
# program in its bin/ and one configuration per case.
prepare() {
    dir="$work/scan-$1"
    rm -rf "$dir"
    "$build/bench/bench_scan" --prepare "$1" --dir "$dir"
    mkdir -p "$dir/bin"
    cp "$build/service/BrevoltRPro9Service" "$dir/bin/"
    for level in 1 9; do
        "$build/bench/bench_scan" --configure "$dir" --level "$level" --out "$dir/level$level"
    done
    "$build/bench/bench_scan" --configure "$dir" --level 1 --stores 50 --nothing-new \
        --out "$dir/nothing-new"
}

# One run of the service over $1's environment with configuration $2:
# prints "seconds peak-KiB". Each run starts from the same files.
ours() {
    dir="$1"
    rm -rf "$dir/service/Batch" "$dir/service/logs" "$dir/bin/logs" \
        "$dir/service/Brevoltconnector.sent"
    cp "$dir/$2" "$dir/service/Brevoltconnector.cfg"
    start=$(now)
    BREVOLT_REGISTRY="$dir/registry.reg" BREVOLT_TRACE_FILE="$dir/trace.log" \
        /usr/bin/time -f "%M" -o "$dir/time.txt" \
        "$dir/bin/BrevoltRPro9Service" -runonce -skiptransmit >"$dir/run.txt" 2>&1 ||
        { cat "$dir/run.txt" >&2; echo "scan.sh: the service run failed" >&2; exit 1; }
    end=$(now)
    echo "$(((end - start) / 1000000)) $(cat "$dir/time.txt")" | awk '{ printf "%.3f %s\n", $1 / 1000, $2 }'
    rm -rf "$dir/service/logs" "$dir/bin/logs" # a level 9 log is most of a GiB
}

# The same statements through "sqlite3 -csv" into a file.
anchor() {
    dir="$1"
    start=$(now)
    /usr/bin/time -f "%M" -o "$dir/time.txt" \
        sqlite3 -csv -readonly "$dir/rpro9.db" <"$dir/$2.sql" >"$dir/anchor.csv"
    end=$(now)
    echo "$(((end - start) / 1000000)) $(cat "$dir/time.txt")" | awk '{ printf "%.3f %s\n", $1 / 1000, $2 }'
}

# Runs ours and the anchor in turns; sets o_s, a_s (median seconds) and
# o_kib, a_kib (median peak KiB).
compare() {
    rm -f "$work/ours.txt" "$work/anchor.txt"
    i=0
    while [ "$i" -lt "$runs" ]; do
        ours "$1" "$2" >>"$work/ours.txt"
        anchor "$1" "$2" >>"$work/anchor.txt"
        i=$((i + 1))
    done
    o_s=$(cut -d' ' -f1 "$work/ours.txt" | median %.3f)
    a_s=$(cut -d' ' -f1 "$work/anchor.txt" | median %.3f)
    o_kib=$(cut -d' ' -f2 "$work/ours.txt" | median %.3f)
    a_kib=$(cut -d' ' -f2 "$work/anchor.txt" | median %.3f)
}

row() { # what ours anchor goal
    printf '| %s | %s | %s | %s | %s |\n' "$1" "$2" "$3" \
        "$(echo "$2 $3" | awk '{ printf "%.2f", $1 / $2 }')" "$4"
}

small=100000
[ "$invoices" -gt "$small" ] || small=$((invoices / 10))
for size in "$small" "$invoices"; do
    prepare "$size" >&2
done

rows=""
for level in 1 9; do
    goal="≤ 1.5"
    [ "$level" = 9 ] && goal="≤ 3"
    compare "$work/scan-$small" "level$level"
    rows="$rows$(row "scan, $(label "$small") invoices, level $level, s" "$o_s" "$a_s" "$goal")
"
    small_o_kib=$o_kib small_a_kib=$a_kib
    compare "$work/scan-$invoices" "level$level"
    rows="$rows$(row "scan, $(label "$invoices") invoices, level $level, s" "$o_s" "$a_s" "$goal")
| peak memory, $(label "$invoices") invoices, level $level, MiB | $(mib "$o_kib") | $(mib "$a_kib") | | |
| peak memory, $(label "$invoices") − $(label "$small"), level $level, MiB | $(mib "$o_kib - $small_o_kib") | $(mib "$a_kib - $small_a_kib") | | < 10 |
"
done
compare "$work/scan-$invoices" nothing-new
rows="$rows$(row "50 stores, nothing new, $(label "$invoices") invoices, s" "$o_s" "$a_s" "cheap")
"

printf '%s' "$rows"
rm -rf "$work/scan-$small" "$work/scan-$invoices" "$work/ours.txt" "$work/anchor.txt"
