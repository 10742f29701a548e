#!/usr/bin/env bash
# Runs a Windows test program under wine64 in a throwaway prefix and exits
# with the program's status. Wine's own chatter is shown only on failure.
# Usage: run_under_wine.sh PROGRAM.exe
set -euo pipefail

WINE_DIR=${WINE_DIR:-/usr/lib/wine}
[ $# -eq 1 ] || { echo "usage: run_under_wine.sh PROGRAM.exe" >&2; exit 2; }
program_dir=$(cd "$(dirname "$1")" && pwd)
program=$(basename "$1")

WINEPREFIX=$(mktemp -d)
wine_log="$WINEPREFIX.log"
export WINEPREFIX WINEDEBUG=-all DISPLAY=
cleanup() {
    "$WINE_DIR/wineserver" -k >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX" "$wine_log"
}
trap cleanup EXIT

# One server for the whole run, detached from our output: otherwise the
# first wine call starts it and the caller's pipe stays open behind it.
"$WINE_DIR/wineserver" -p </dev/null >/dev/null 2>&1

# The program loads its DLLs from its own directory.
cd "$program_dir"
status=0
"$WINE_DIR/wine64" "$program" 2>"$wine_log" || status=$?
if [ "$status" -ne 0 ]; then
    echo "run_under_wine: $program exited with $status; wine said:" >&2
    cat "$wine_log" >&2
fi
exit "$status"
