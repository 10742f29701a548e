#!/usr/bin/env bash
# Loads ZelVCOM.sys as a kernel service under wine's own NT kernel (ntoskrnl
# in winedevice) in a throwaway prefix and runs zelvcom_driver_test against
# it: loaded, again after a service restart, and after the service stopped
# (its unload ran). Exits 0 when every step and every check passed. The
# program's lines are shown; wine's chatter only on failure.
# Usage: run_driver_under_wine.sh ZelVCOM.sys zelvcom_driver_test.exe
# ZEL_WINEDEBUG sets WINEDEBUG for the whole run (windows/tests/README.md).
set -euo pipefail

WINE_DIR=${WINE_DIR:-/usr/lib/wine}
SERVICE=ZelVCOM
SERVICE_KEY='HKLM\System\CurrentControlSet\Services\ZelVCOM'
# Ceilings on what wine is waited for; each wait ends as soon as it is done.
SERVICE_STATE_CEILING=90
# sc's STATE numbers.
STOPPED=1
RUNNING=4

[ $# -eq 2 ] || { echo "usage: run_driver_under_wine.sh DRIVER.sys PROGRAM.exe" >&2; exit 2; }
driver=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
program_dir=$(cd "$(dirname "$2")" && pwd)
program=$(basename "$2")

WINEPREFIX=$(mktemp -d)
wine_log="$WINEPREFIX.log"
sc_output="$WINEPREFIX.sc"
export WINEPREFIX WINEDEBUG=${ZEL_WINEDEBUG:--all} DISPLAY=
cleanup() {
    "$WINE_DIR/wineserver" -k >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX" "$wine_log" "$sc_output"
}
trap cleanup EXIT

fail() {
    echo "run_driver_under_wine: $*; wine said:" >&2
    cat "$wine_log" >&2
    exit 1
}

# Every wine call writes to files, never to a pipe of ours: the services it
# starts inherit them and outlive the call.
wine() {
    "$WINE_DIR/wine64" "$@" </dev/null >>"$wine_log" 2>&1
}

# The service's STATE number, or nothing while wine does not know it.
service_state() {
    "$WINE_DIR/wine64" sc query "$SERVICE" </dev/null >"$sc_output" 2>>"$wine_log" || true
    sed -n 's/^ *STATE *: *\([0-9]\).*/\1/p' "$sc_output"
}

# Polls the service until it is in STATE; false past the ceiling.
wait_for_state() {
    local deadline=$((SECONDS + SERVICE_STATE_CEILING)) state
    while state=$(service_state) && [ "$state" != "$1" ]; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.2
    done
}

start_service() {
    wine sc start "$SERVICE" || fail "sc start failed"
    wait_for_state "$RUNNING" || fail "the service did not reach RUNNING ($(cat "$sc_output"))"
}

# The driver's unload must run and end: STOPPED, not STOP_PENDING.
stop_service() {
    wine sc stop "$SERVICE" || fail "sc stop failed"
    wait_for_state "$STOPPED" || fail "the service did not stop ($(cat "$sc_output"))"
}

run_program() {
    local status=0
    (cd "$program_dir" && "$WINE_DIR/wine64" "$program" "$1" </dev/null 2>>"$wine_log") ||
        status=$?
    [ "$status" -eq 0 ] || fail "$program $1 exited with $status"
}

wine wineboot -i || fail "wineboot -i failed"
# Let the new prefix settle: every process of its first boot ends.
"$WINE_DIR/wineserver" -w
# One server for the rest of the run, detached from our output.
"$WINE_DIR/wineserver" -p </dev/null >/dev/null 2>&1

cp "$driver" "$WINEPREFIX/drive_c/windows/system32/drivers/$SERVICE.sys"
wine sc create "$SERVICE" binpath= "C:\\windows\\system32\\drivers\\$SERVICE.sys" \
    type= kernel start= demand || fail "sc create failed"
# A start right after the create may not find the service yet.
wait_for_state "$STOPPED" || fail "the created service is not listed"
# Wine's RtlWriteRegistryValue creates no key: the ones the save writes to
# must exist (windows/tests/README.md).
for key in ModuleInfo ModuleSvr0; do
    wine reg add "$SERVICE_KEY\\$key" /f || fail "reg add $key failed"
done

start_service
run_program loaded
stop_service
start_service
run_program restarted
stop_service
run_program unloaded
wine sc delete "$SERVICE" || fail "sc delete failed"
