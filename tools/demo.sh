#!/bin/sh
# The main job: builds, then runs the service program once so that it writes
# its log file with the header, and shows where it is.
set -eu
cd "$(dirname "$0")/.."
tools/build.sh
./build/service/BrevoltRPro9Service
log=$(ls -t build/service/logs/BrevoltRPro9Service_*.log | head -n 1)
echo "Log file: $log"
head -n 20 "$log"
