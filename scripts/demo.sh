#!/usr/bin/env bash
# The demo: zelmodsim stands in for a module with two echo channels;
# zelvcomd hosts the driver; vcomctl configures the module through the
# control library and saves it; comping sends bytes through COM11 and reads
# them back, and a Linux program (pyserial) does the same through COM11's
# pseudo-terminal. After a daemon restart the saved configuration is running
# again and the ports still answer. Daemon and simulator are left running;
# running the demo again stops them and starts over.
#   scripts/demo.sh BUILD_DIR
set -euo pipefail

BUILD="$1"
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
STATE="$ROOT/state/demo"
ZELVCOMD="$BUILD/host/daemon/zelvcomd"
ZELMODSIM="$BUILD/tools/zelmodsim/zelmodsim"
VCOMCTL="$BUILD/tools/vcomctl/vcomctl"
COMPING="$BUILD/tools/comping/comping"
export ZELVCOM_SOCKET="$STATE/zelvcomd.sock"
# Where zelvcomd links each port to its pseudo-terminal (its default).
PTY_DIR="$STATE/dev"
# Debian's python3, which has pyserial (python3-serial).
PYTHON=/usr/bin/python3

# zelvcomd writes its process id into its lock file; the simulator's goes
# into a pid file of our own.
DAEMON_PID_FILE="$STATE/zelvcomd.lock"
SIM_PID_FILE="$STATE/zelmodsim.pid"
SIM_LOG="$STATE/zelmodsim.log"
# Tenths of a second to wait for a process to start or stop.
PATIENCE=100

log_step() { printf '\n--- %s\n' "$*"; }
fail() { echo "demo: $*" >&2; exit 1; }

# The process id in a file, if that process still runs the named program
# (a stale file may name a process id that is now someone else's).
live_pid() {
    local file="$1" program="$2" pid
    pid="$(head -n 1 "$file" 2>/dev/null || true)"
    if [ -n "$pid" ] && [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "$program" ]; then
        echo "$pid"
    fi
}

stop_process() {
    local file="$1" program="$2" pid
    pid="$(live_pid "$file" "$program")"
    [ -n "$pid" ] || return 0
    kill -TERM "$pid"
    for _ in $(seq "$PATIENCE"); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    fail "$program (pid $pid) did not stop"
}

start_daemon() {
    "$ZELVCOMD" --state "$STATE" --socket "$ZELVCOM_SOCKET"
}

stop_daemon() {
    stop_process "$DAEMON_PID_FILE" zelvcomd
}

# Detached from this terminal (setsid), so it outlives this script.
start_simulator() {
    rm -f "$SIM_LOG"
    # The inner shell expands $$ and $@: its own id, then the program it becomes.
    # shellcheck disable=SC2016
    setsid sh -c 'echo $$ > "$1"; shift; exec "$@"' sh "$SIM_PID_FILE" \
        "$ZELMODSIM" --control 0 --channel 0:echo --channel 0:echo \
        </dev/null >"$SIM_LOG" 2>&1 &
}

# "READY control=P channels=P1,P2" once every port is bound; sets CONTROL,
# CHANNEL1 and CHANNEL2.
wait_for_simulator() {
    local ready=""
    for _ in $(seq "$PATIENCE"); do
        ready="$(grep -m 1 '^READY ' "$SIM_LOG" 2>/dev/null || true)"
        [ -n "$ready" ] && break
        sleep 0.1
    done
    [ -n "$ready" ] || fail "zelmodsim did not get ready: $(cat "$SIM_LOG" 2>/dev/null)"
    echo "$ready"
    [[ "$ready" =~ ^READY\ control=([0-9]+)\ channels=([0-9]+),([0-9]+)$ ]] \
        || fail "unexpected line from zelmodsim: $ready"
    CONTROL="${BASH_REMATCH[1]}"
    CHANNEL1="${BASH_REMATCH[2]}"
    CHANNEL2="${BASH_REMATCH[3]}"
}

# The link appears just after the port device.
wait_for_link() {
    for _ in $(seq "$PATIENCE"); do
        [ -L "$1" ] && return 0
        sleep 0.1
    done
    fail "no link $1"
}

# A one-line pyserial round trip through the given port.
pyserial_command() {
    printf '%s -c "%s"\n' "$PYTHON" \
        "import serial; s = serial.Serial('$1', 115200, timeout=2); s.write(b'hello'); print('sent hello, got', s.read(5))"
}

mkdir -p "$STATE"
stop_daemon
stop_process "$SIM_PID_FILE" zelmodsim
rm -f "$STATE"/registry.sqlite3* "$SIM_PID_FILE"

log_step "start zelmodsim: a module with two echo channels on free ports"
start_simulator
wait_for_simulator

log_step "start zelvcomd (state in $STATE)"
start_daemon

log_step "add the module (control port $CONTROL; channels $CHANNEL1 as COM11, $CHANNEL2 as COM12), start and save it"
"$VCOMCTL" add 127.0.0.1 "$CONTROL" example "$CHANNEL1:11" "$CHANNEL2:12"
"$VCOMCTL" start
"$VCOMCTL" save
"$VCOMCTL" list

log_step "round trips through COM11"
"$COMPING" COM11

log_step "COM11 for Linux programs: $PTY_DIR/COM11, with pyserial"
wait_for_link "$PTY_DIR/COM11"
pyserial_command "$PTY_DIR/COM11"
eval "$(pyserial_command "$PTY_DIR/COM11")"

log_step "restart zelvcomd: the saved configuration is loaded at driver start"
stop_daemon
start_daemon
"$VCOMCTL" status
"$VCOMCTL" list

log_step "round trips through COM12 after the restart"
"$COMPING" COM12 --count 2 --message "hello again"

cat <<EOF

zelvcomd (pid $(live_pid "$DAEMON_PID_FILE" zelvcomd)) and zelmodsim (pid $(live_pid "$SIM_PID_FILE" zelmodsim)) are running.
Try:
  export ZELVCOM_SOCKET=$ZELVCOM_SOCKET
  $VCOMCTL list
  $COMPING COM12 --count 10 --message hello
  $(pyserial_command "$PTY_DIR/COM12")
  picocom -b 115200 $PTY_DIR/COM12     (if picocom is installed; C-a C-x leaves it)
Stop both with:
  kill \$(head -n 1 $DAEMON_PID_FILE)
  kill \$(cat $SIM_PID_FILE)
EOF
