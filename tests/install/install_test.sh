#!/usr/bin/env bash
# The installed tree on its own: the build installed into a prefix of its
# own, whose zelvcomd (on a state directory of its own) serves the installed
# vcomctl and comping, with the installed zelmodsim as the module, and a
# client built with the installed headers and pkg-config files; the unit
# names the installed daemon and, where systemd-analyze exists, passes it.
#   install_test.sh BUILD_DIR BINDIR SBINDIR LIBDIR CXX [CXX FLAG...]
set -euo pipefail

BUILD="$1" BINDIR="$2" SBINDIR="$3" LIBDIR="$4" CXX="$5"
shift 5
WORK="$(mktemp -d)"
PREFIX="$WORK/prefix"
STATE="$WORK/state"
PIDS=()

cleanup() {
    [ ${#PIDS[@]} -eq 0 ] || kill "${PIDS[@]}" 2>/dev/null || true
    wait
    rm -rf "$WORK"
}
trap cleanup EXIT
fail() {
    echo "install test: $*" >&2
    exit 1
}

# Starts a program whose first line on stdout says it is ready; sets READY
# to that line (the read ends when the program writes it, or exits).
start() {
    local name="$1" fifo="$WORK/$1.out"
    shift
    mkfifo "$fifo"
    "$@" </dev/null >"$fifo" 2>"$WORK/$name.log" &
    PIDS+=($!)
    exec {out}<"$fifo"
    read -r READY <&"$out" || fail "$name did not start: $(cat "$WORK/$name.log")"
}

cmake --install "$BUILD" --prefix "$PREFIX" >/dev/null
for program in "$BINDIR/vcomctl" "$BINDIR/comping" "$BINDIR/zelmodsim" "$SBINDIR/zelvcomd"; do
    [ -x "$PREFIX/$program" ] || fail "$program is not installed"
    ! readelf -d "$PREFIX/$program" | grep -F "$BUILD" || fail "$program names the build tree"
    ! ldd "$PREFIX/$program" | grep -F "$BUILD" || fail "$program loads from the build tree"
done
# grep reads to the end: with pipefail, an early exit would fail ldd with SIGPIPE.
ldd "$PREFIX/$BINDIR/vcomctl" | grep "=> $PREFIX/.*libVZelSerial" >/dev/null ||
    fail "vcomctl does not load the installed libVZelSerial: $(ldd "$PREFIX/$BINDIR/vcomctl")"

UNIT="$PREFIX/lib/systemd/system/zelvcomd.service"
grep -q "^ExecStart=$PREFIX/$SBINDIR/zelvcomd " "$UNIT" || fail "the unit starts another zelvcomd"
if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify "$UNIT" || fail "systemd-analyze verify $UNIT failed"
fi
# With nothing set, the tools try the service's socket first.
service_socket="$(sed -n 's/^ExecStart=.* --socket \([^ ]*\).*/\1/p' "$UNIT")"
set +e
untold="$(env -u ZELVCOM_SOCKET -u ZELVCOM_STATE "$PREFIX/$BINDIR/vcomctl" status 2>&1)"
status=$?
set -e
[ $status -ne 3 ] || [[ "$untold" == *": $service_socket (the service's): "* ]] ||
    fail "vcomctl does not try the service's socket $service_socket first: $untold"

start zelmodsim "$PREFIX/$BINDIR/zelmodsim" --control 0 --channel 0:echo
[[ "$READY" =~ ^READY\ control=([0-9]+)\ channels=([0-9]+)$ ]] || fail "zelmodsim: $READY"
control="${BASH_REMATCH[1]}" channel="${BASH_REMATCH[2]}"
start zelvcomd "$PREFIX/$SBINDIR/zelvcomd" --foreground --state "$STATE"
daemon="${PIDS[-1]}"
[ "$READY" = "zelvcomd ready socket=$STATE/zelvcomd.sock" ] || fail "zelvcomd: $READY"

export ZELVCOM_SOCKET="$STATE/zelvcomd.sock"
"$PREFIX/$BINDIR/vcomctl" list >/dev/null
"$PREFIX/$BINDIR/vcomctl" add 127.0.0.1 "$control" installed "$channel:71" >/dev/null
"$PREFIX/$BINDIR/vcomctl" start >/dev/null
"$PREFIX/$BINDIR/vcomctl" list | grep " COM71 " >/dev/null || fail "COM71 is not listed"
"$PREFIX/$BINDIR/comping" COM71 --count 2 >/dev/null

cat >"$WORK/client.cpp" <<'CLIENT'
#include <VZelSerial.h>
#include <zelvcom/control_ioctl.h>
#include <cstdio>
int main()
{
    const HANDLE device = VCOM_CreateDevice();
    DWORD count = 0;
    if (device == INVALID_HANDLE_VALUE || !VCOM_GetDevModCount(device, &count))
        return 1;
    std::printf("%u\n", static_cast<unsigned>(count));
    return VCOM_ReleaseDevice(device) ? 0 : 1;
}
CLIENT
# shellcheck disable=SC2046  # pkg-config's flags are words
"$CXX" "$@" "$WORK/client.cpp" -o "$WORK/client" -Wl,-rpath,"$PREFIX/$LIBDIR" \
    $(PKG_CONFIG_PATH="$PREFIX/$LIBDIR/pkgconfig" pkg-config --cflags --libs vzelserial)
[ "$("$WORK/client")" = 1 ] || fail "the client built against the installed library does not see the module"

kill -TERM "$daemon"
wait "$daemon" || fail "zelvcomd did not stop cleanly: $(cat "$WORK/zelvcomd.log")"
echo "install test: the installed tools ran against the installed zelvcomd"
