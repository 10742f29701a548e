#!/usr/bin/env bash
# Loads ZelVCOM.sys as a kernel service under wine's own NT kernel (ntoskrnl
# in winedevice) in a throwaway prefix and runs zelvcom_driver_test against
# it: loaded, again after a service restart, and after the service stopped
# (its unload ran). Exits 0 when every step and every check passed. The
# program's lines are shown; wine's chatter only on failure.
# Given the kit and a Linux build too, it installs the driver with the kit's
# install.cmd, drives the service with the installed vcomctl.exe and
# comping.exe first, and again once it has stopped, compares what they print
# and their exit statuses with the Linux tools' on the same steps against
# zelvcomd, and removes it all with uninstall.cmd (windows/tests/README.md).
# Usage: run_driver_under_wine.sh ZelVCOM.sys zelvcom_driver_test.exe [KIT_DIR LINUX_BUILD_DIR]
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

[ $# -eq 2 ] || [ $# -eq 4 ] || {
    echo "usage: run_driver_under_wine.sh DRIVER.sys PROGRAM.exe [KIT_DIR LINUX_BUILD_DIR]" >&2
    exit 2
}
driver=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
program_dir=$(cd "$(dirname "$2")" && pwd)
program=$(basename "$2")
kit=${3:+$(cd "$3" && pwd)}
linux_build=${4:+$(cd "$4" && pwd)}

WINEPREFIX=$(mktemp -d)
wine_log="$WINEPREFIX.log"
sc_output="$WINEPREFIX.sc"
# The tools' run on Linux: zelvcomd's state, the simulator's log, and both
# platforms' transcripts; beside it the Linux run's own output.
linux_state="$WINEPREFIX.linux"
export WINEPREFIX WINEDEBUG=${ZEL_WINEDEBUG:--all} DISPLAY=
cleanup() {
    "$WINE_DIR/wineserver" -k >/dev/null 2>&1 || true
    stop_linux_processes
    rm -rf "$WINEPREFIX" "$wine_log" "$sc_output" "$linux_state" "$linux_state.log"
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

# The tools' steps, the same on both platforms. "tool NAME ARGS..." runs
# one and records its output and exit status in the transcript; "apart"
# does the same for the step whose result differs under wine (wine hands
# out the port's handle without waiting for the driver's refusal); "links"
# waits until the ports' paths exist or are gone (at once under wine, just
# after the command for zelvcomd's pseudo-terminal links). The module is
# three ports the simulator holds bound without listening: nobody answers.
tool_steps_loaded() {
    local control=$1 first=$2 second=$3
    tool vcomctl status
    tool vcomctl list
    tool vcomctl add 127.0.0.1 "$control" lab "$first:51" "$second:COM52:withhold"
    tool vcomctl add 127.0.0.1 "$control" other "$first:53"
    tool vcomctl add 127.0.0.2 "$control" other "$first:52"
    tool vcomctl add 127.0.0.2 70000 other "$first:53"
    tool vcomctl list --json
    tool vcomctl start
    links present 51 52
    tool vcomctl start
    tool vcomctl status
    tool vcomctl list
    tool vcomctl list --json
    apart comping COM51 --count 1 --timeout-ms 100
    tool comping COM53
    tool vcomctl save
    tool vcomctl stop
    links absent 51 52
    tool vcomctl clear
    tool vcomctl reload
    tool vcomctl list
    tool vcomctl delete-saved
    tool vcomctl clear
    tool vcomctl status
}

tool_steps_unloaded() {
    tool vcomctl status
    tool comping COM51
}

# A step of the Linux run failed, before wine started.
fail_linux() {
    echo "run_driver_under_wine: $*" >&2
    exit 1
}

# One step: "$ TOOL ARGS" (exit STATUS), its stdout, its stderr lines
# marked "! ".
record_step() {
    local status=$1 out=$2 err=$3
    shift 3
    printf '$ %s (exit %s)\n' "$*" "$status"
    tr -d '\r' <"$out"
    tr -d '\r' <"$err" | sed 's/^/! /'
}

linux_tool() {
    local name=$1 status=0
    shift
    ZELVCOM_SOCKET="$linux_state/zelvcomd.sock" ZELVCOM_PTY_DIR="$linux_state/dev" \
        "$linux_build/tools/$name/$name" "$@" </dev/null \
        >"$linux_state/out" 2>"$linux_state/err" || status=$?
    record_step "$status" "$linux_state/out" "$linux_state/err" "$name" "$@" >>"$transcript"
}

wine_tool() {
    local name=$1 status=0
    shift
    (cd "$installed_tools" && "$WINE_DIR/wine64" "$name.exe" "$@" </dev/null \
        >"$linux_state/out" 2>"$linux_state/err") || status=$?
    record_step "$status" "$linux_state/out" "$linux_state/err" "$name" "$@" >>"$transcript"
}

link_state() {
    if [ -L "$1" ]; then echo present; else echo absent; fi
}

# links present|absent COM-NUMBER...
linux_links() {
    local want=$1 deadline=$((SECONDS + SERVICE_STATE_CEILING)) com
    shift
    for com in "$@"; do
        while [ "$(link_state "$linux_state/dev/COM$com")" != "$want" ]; do
            [ "$SECONDS" -lt "$deadline" ] || fail_linux "COM$com's link is not $want"
            sleep 0.05
        done
    done
}

# The Linux transcript as a Windows user would see it: a port's path is
# \\.\COM<n> there (in JSON "\\\\.\\COM<n>"), not zelvcomd's link, and the
# driver is a service, not zelvcomd.
windows_view() {
    PTY_DIR="$linux_state/dev" perl -pe '
        s/"path": "\Q$ENV{PTY_DIR}\E\/COM/"path": "\\\\\\\\.\\\\COM/;
        s/\Q$ENV{PTY_DIR}\E\/(COM\d+)$/\\\\.\\$1/;
        s/cannot reach zelvcomd: .*$/the ZelVCOM service is not running (the control device \\\\.\\ZelMain does not exist)/' "$1"
}

compare_tools() {
    echo "-- vcomctl.exe and comping.exe against the service (Linux: the same against zelvcomd)"
    cat "$linux_state/wine.txt"
    # Wine reads a stored name on to the next NUL (the driver stores it
    # without one), so after a reload its table may show the name with
    # whatever followed it: the table's names are compared by their start.
    local mask='s/^([0-9]+ +)(lab|other)[^ ]* +/\1\2 /'
    windows_view "$linux_state/linux.txt" | sed -E "$mask" >"$linux_state/linux-as-windows.txt"
    sed -E "$mask" "$linux_state/wine.txt" >"$linux_state/wine-masked.txt"
    diff -u "$linux_state/linux-as-windows.txt" "$linux_state/wine-masked.txt" >"$linux_state/diff" ||
        fail "the tools printed under wine what the Linux tools did not:
$(cat "$linux_state/diff")
"
    echo "-- the same on Linux, but for the path of a port and the name of what holds the driver"
    echo "-- a port open against the module nobody answers, Linux first, then wine"
    cat "$linux_state/linux-apart.txt" "$linux_state/wine-apart.txt"
    # Both fail for the same reason, ERROR_GEN_FAILURE, with exit status 1.
    local file
    for file in "$linux_state/linux-apart.txt" "$linux_state/wine-apart.txt"; do
        if ! grep -q '(exit 1)$' "$file" ||
            ! grep -q '(error 31): the driver could not reach' "$file"; then
            fail "comping did not fail as it should against the module nobody answers"
        fi
    done
}

stop_linux_processes() {
    local file pid
    for file in "$linux_state/zelvcomd.lock" "$linux_state/zelmodsim.pid"; do
        pid=$(head -n 1 "$file" 2>/dev/null) || continue
        [ -z "$pid" ] || kill -TERM "$pid" 2>/dev/null || true
    done
}

simulator_ended() {
    local pid
    pid=$(head -n 1 "$linux_state/zelmodsim.pid" 2>/dev/null) && [ -n "$pid" ] &&
        ! kill -0 "$pid" 2>/dev/null
}

# The simulator holds the module's ports for the whole run; zelvcomd runs
# the Linux steps and stops before the steps without a driver. Leaves the
# module's ports, for the wine run, in module_ports.
run_linux_tools() {
    mkdir -p "$linux_state"
    local log="$linux_state/zelmodsim.log" ready="" deadline=$((SECONDS + SERVICE_STATE_CEILING))
    # shellcheck disable=SC2016
    setsid sh -c 'echo $$ > "$1"; shift; exec "$@"' sh "$linux_state/zelmodsim.pid" \
        "$linux_build/tools/zelmodsim/zelmodsim" --control 0 --channel 0:sink,refuse \
        --channel 0:sink,refuse --channel 0:sink,refuse </dev/null >"$log" 2>&1 &
    until ready=$(grep -m 1 '^READY ' "$log" 2>/dev/null); do
        if [ "$SECONDS" -ge "$deadline" ] || simulator_ended; then
            fail_linux "zelmodsim did not get ready: $(cat "$log")"
        fi
        sleep 0.05
    done
    [[ "$ready" =~ channels=([0-9]+),([0-9]+),([0-9]+)$ ]] ||
        fail_linux "unexpected line from zelmodsim: $ready"
    MODULE_PORTS=("${BASH_REMATCH[1]}" "${BASH_REMATCH[2]}" "${BASH_REMATCH[3]}")
    echo "${MODULE_PORTS[*]}" >"$linux_state/module_ports"
    "$linux_build/host/daemon/zelvcomd" --state "$linux_state" \
        --socket "$linux_state/zelvcomd.sock" >/dev/null ||
        fail_linux "zelvcomd did not start"
    transcript="$linux_state/linux.txt"
    tool() { linux_tool "$@"; }
    apart() { transcript="$linux_state/linux-apart.txt" linux_tool "$@"; }
    links() { linux_links "$@"; }
    tool_steps_loaded "${MODULE_PORTS[@]}"
    local pid
    pid=$(head -n 1 "$linux_state/zelvcomd.lock")
    kill -TERM "$pid"
    while kill -0 "$pid" 2>/dev/null; do
        [ "$SECONDS" -lt "$deadline" ] || fail_linux "zelvcomd did not stop"
        sleep 0.05
    done
    tool_steps_unloaded
}

if [ -n "$kit" ]; then
    # The Linux run needs no wine: it goes on while the prefix boots.
    run_linux_tools >"$linux_state.log" 2>&1 &
    linux_run=$!
fi

wine wineboot -i || fail "wineboot -i failed"
# Let the new prefix settle: every process of its first boot ends.
"$WINE_DIR/wineserver" -w
# One server for the rest of the run, detached from our output.
"$WINE_DIR/wineserver" -p </dev/null >/dev/null 2>&1

if [ -n "$kit" ]; then
    wait "$linux_run" || { cat "$linux_state.log" >&2; exit 1; }
    read -r -a MODULE_PORTS <"$linux_state/module_ports"
    # As an administrator installs it: the kit's script copies the driver and
    # the tools, creates the service and starts it.
    (cd "$kit" && wine cmd /c install.cmd) || fail "install.cmd failed"
    wait_for_state "$RUNNING" || fail "the installed service is not running ($(cat "$sc_output"))"
    installed_tools="$WINEPREFIX/drive_c/Program Files/$SERVICE"
else
    cp "$driver" "$WINEPREFIX/drive_c/windows/system32/drivers/$SERVICE.sys"
    wine sc create "$SERVICE" binpath= "C:\\windows\\system32\\drivers\\$SERVICE.sys" \
        type= kernel start= demand || fail "sc create failed"
    # A start right after the create may not find the service yet.
    wait_for_state "$STOPPED" || fail "the created service is not listed"
fi
# Wine's RtlWriteRegistryValue creates no key: the ones the save writes to
# must exist (windows/tests/README.md).
for key in ModuleInfo ModuleSvr0; do
    wine reg add "$SERVICE_KEY\\$key" /f || fail "reg add $key failed"
done

if [ -n "$kit" ]; then
    transcript="$linux_state/wine.txt"
    tool() { wine_tool "$@"; }
    apart() { transcript="$linux_state/wine-apart.txt" wine_tool "$@"; }
    links() { :; }
    tool_steps_loaded "${MODULE_PORTS[@]}"
else
    start_service
fi
run_program loaded
stop_service
start_service
run_program restarted
stop_service
run_program unloaded
if [ -n "$kit" ]; then
    tool_steps_unloaded
    compare_tools
    # The kit's own copy: the installed one would remove the folder it runs
    # from, which wine's cmd, holding the script open, cannot.
    (cd "$kit" && wine cmd /c uninstall.cmd) || fail "uninstall.cmd failed"
    if [ -n "$(service_state)" ] || [ -e "$installed_tools" ] ||
        [ -e "$WINEPREFIX/drive_c/windows/system32/drivers/$SERVICE.sys" ]; then
        fail "uninstall.cmd left the service or its files"
    fi
    echo "-- installed by install.cmd, removed by uninstall.cmd"
else
    wine sc delete "$SERVICE" || fail "sc delete failed"
fi
