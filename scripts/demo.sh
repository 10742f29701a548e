#!/usr/bin/env bash
# The demo: zelvcomd hosts the driver; vcomctl configures a module through the
# control library, saves it, and after a daemon restart the saved
# configuration is running again. The daemon is left running.
set -euo pipefail

BUILD="$1"
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
STATE="$ROOT/state/demo"
ZELVCOMD="$BUILD/host/daemon/zelvcomd"
VCOMCTL="$BUILD/tools/vcomctl/vcomctl"
export ZELVCOM_SOCKET="$STATE/zelvcomd.sock"

start_daemon() {
    "$ZELVCOMD" --state "$STATE" --socket "$ZELVCOM_SOCKET"
}

stop_daemon() {
    local pid
    pid="$(head -n 1 "$STATE/zelvcomd.lock" 2>/dev/null || true)"
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
        kill -TERM "$pid"
        while kill -0 "$pid" 2>/dev/null; do sleep 0.1; done
    fi
}

mkdir -p "$STATE"
stop_daemon
rm -f "$STATE"/registry.sqlite3*

echo "--- start zelvcomd (state in $STATE)"
start_daemon
echo "--- add a module with two channels (COM11, COM12), start and save it"
"$VCOMCTL" add 127.0.0.1 7000 example 7001:11 7002:12
"$VCOMCTL" start
"$VCOMCTL" save
"$VCOMCTL" list

echo
echo "--- restart zelvcomd: the saved configuration is loaded at driver start"
stop_daemon
start_daemon
"$VCOMCTL" status
"$VCOMCTL" list

echo
echo "zelvcomd is running. Try: ZELVCOM_SOCKET=$ZELVCOM_SOCKET $VCOMCTL list"
echo "Stop it with: kill \$(head -n 1 $STATE/zelvcomd.lock)"
