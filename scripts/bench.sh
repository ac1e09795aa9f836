#!/usr/bin/env bash
# Builds and runs every benchmark (bench_*.exe) under Wine and prints their figures.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default
export WINEPREFIX="$PWD/build/wineprefix" WINEDEBUG=-all
trap 'wineserver -k 2>/dev/null || true' EXIT
# A new prefix is made once and its wineserver left to finish writing it before any program starts.
if [ ! -f "$WINEPREFIX/system.reg" ]; then build/wine-run wineboot -i >/dev/null 2>&1; wineserver -w; fi
shopt -s nullglob
for bench in build/bin/bench_*.exe; do
  echo "== $(basename "$bench" .exe)"
  build/wine-run "$bench" "$@"
done
