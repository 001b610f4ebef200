#!/bin/sh
# Builds and runs every test; with --quick only those labelled unit (the
# in-process ones, fast). Other arguments go to ctest.
set -eu
cd "$(dirname "$0")/.."
quick=0
for arg do
    shift
    if [ "$arg" = --quick ]; then quick=1; else set -- "$@" "$arg"; fi
done
[ "$quick" -eq 0 ] || set -- -L unit "$@"
tools/build.sh
ctest --test-dir build --output-on-failure -j2 "$@"
