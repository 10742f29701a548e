#!/usr/bin/env bash
# The demo: the driver runs in the host kernel, a module is configured and
# saved through the control device, and after a host restart the saved
# configuration is running again.
set -euo pipefail

BUILD="$1"
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
STATE="$ROOT/state/demo"
ZELVCOMD="$BUILD/host/daemon/zelvcomd"

rm -rf "$STATE"
mkdir -p "$STATE"

echo "--- first start: empty configuration; add, start and save an example module"
"$ZELVCOMD" --state "$STATE" --example-config

echo
echo "--- host restart: the saved configuration is loaded at driver start"
"$ZELVCOMD" --state "$STATE"
