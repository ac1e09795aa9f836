#!/usr/bin/env bash
# Builds the module and the host stand-ins and runs rwhost: it fills a configuration server from
# samples/config.tree, loads Rolewarden.dll as the product's host does, creates and configures the
# components listed in samples/host.tree, lets them work and prints the trees they wrote.
# Other files: bash scripts/run.sh <tree file> <host file>
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target rwhost Rolewarden Faulttext
export WINEPREFIX="$PWD/build/wineprefix" WINEDEBUG=-all
trap 'wineserver -k 2>/dev/null || true' EXIT
# A new prefix is made once and its wineserver left to finish writing it before any program starts.
if [ ! -f "$WINEPREFIX/system.reg" ]; then build/wine-run wineboot -i >/dev/null 2>&1; wineserver -w; fi
build/wine-run build/bin/rwhost.exe "${1:-samples/config.tree}" "${2:-samples/host.tree}"
