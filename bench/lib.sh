# Shell helpers of the benchmark scripts (sourced, not run).

# The median of the numbers on stdin, one per line, printed with the printf
# format $1 (default %.6g).
median() {
    sort -g | awk -v f="${1:-%.6g}" '{ v[NR] = $1 }
        END { printf f "\n", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
