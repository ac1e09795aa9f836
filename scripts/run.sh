#!/usr/bin/env bash
# Builds the module and runs rwhost: it loads Rolewarden.dll as the product's host does and prints
# what the module offers.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target rwhost Rolewarden
export WINEPREFIX="$PWD/build/wineprefix" WINEDEBUG=-all
trap 'wineserver -k 2>/dev/null || true' EXIT
[ -f "$WINEPREFIX/system.reg" ] || build/wine-run wineboot -i >/dev/null 2>&1
build/wine-run build/bin/rwhost.exe "$@"
