#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test under Wine. The Wine prefix lives
# in the build tree; its wineserver is stopped when this script ends, whatever the outcome.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default
cmake --build --preset default
export WINEPREFIX="$PWD/build/wineprefix" WINEDEBUG=-all
trap 'wineserver -k 2>/dev/null || true' EXIT
# Creating a prefix takes several seconds; do it once, before tests start in parallel.
[ -f "$WINEPREFIX/system.reg" ] || build/wine-run wineboot -i >/dev/null 2>&1
# Every run starts with empty module logs: tests read what the module writes, and a log that has
# grown past its size threshold would take no more records.
rm -rf build/bin/Logs
ctest --preset default
