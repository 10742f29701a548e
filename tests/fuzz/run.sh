#!/usr/bin/env bash
# Runs every fuzz target of a "fuzz" build for a bounded time, one after
# another, starting from its committed corpus (the regression inputs run
# first). New inputs go to a scratch corpus, crashes to
# <build>/fuzz-artifacts.
#   tests/fuzz/run.sh BUILD_DIR [SECONDS_PER_TARGET] [TARGET...]
set -euo pipefail

BUILD="$(cd "$1" && pwd)"
SECONDS_PER_TARGET="${2:-30}"
shift $(( $# < 2 ? $# : 2 ))
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
TARGETS=("$@")
[ ${#TARGETS[@]} -ne 0 ] || TARGETS=(fuzz_control_stream fuzz_ipc_decoder fuzz_dcb fuzz_registry_load fuzz_ioctl)

ARTIFACTS="$BUILD/fuzz-artifacts"
SCRATCH="$(mktemp -d)"
trap 'rm -rf "$SCRATCH"' EXIT
mkdir -p "$ARTIFACTS"

for target in "${TARGETS[@]}"; do
    mkdir -p "$SCRATCH/$target"
    log="$SCRATCH/$target.log"
    if ! "$BUILD/tests/fuzz/$target" -max_total_time="$SECONDS_PER_TARGET" -print_final_stats=1 \
            -artifact_prefix="$ARTIFACTS/$target-" "$SCRATCH/$target" "$HERE/corpus/$target" \
            >"$log" 2>&1; then
        tail -n 60 "$log" >&2
        echo "$target: failed; the input is in $ARTIFACTS" >&2
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    echo "$target: $runs runs in ${SECONDS_PER_TARGET} s ($rate/s)"
done
