#!/bin/sh
# run_detached.sh CONTROLDIR LOGFILE PROGRAM [ARGUMENT...]
# Runs PROGRAM with its output in LOGFILE, writes its pid to
# CONTROLDIR/pid and, once it ends, its exit code to CONTROLDIR/rc (each file
# appearing whole). For tests under Wine, which can start a Linux process but
# neither wait for it nor signal it.
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH
control=$1
log=$2
shift 2
"$@" </dev/null >"$log" 2>&1 &
child=$!
echo "$child" >"$control/pid.tmp" && mv "$control/pid.tmp" "$control/pid"
# A TERM for the wrapper is passed on, and its exit code still recorded.
trap 'kill -TERM "$child" 2>/dev/null' TERM
while :; do
    wait "$child"
    rc=$?
    kill -0 "$child" 2>/dev/null || break
done
echo "$rc" >"$control/rc.tmp" && mv "$control/rc.tmp" "$control/rc"
