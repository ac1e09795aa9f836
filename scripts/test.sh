#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test under Wine: first in the default
# build, then in the checked build (undefined-behaviour traps and library assertions). Each build keeps
# its own Wine prefix in its tree; their wineservers are stopped when this script ends, whatever the
# outcome.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
trap 'for prefix in build/wineprefix build-checked/wineprefix; do WINEPREFIX="$PWD/$prefix" wineserver -k 2>/dev/null || true; done' EXIT
for preset in default checked; do
  tree=build
  [ "$preset" = default ] || tree="build-$preset"
  echo "== $preset build ($tree)"
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  export WINEPREFIX="$PWD/$tree/wineprefix" WINEDEBUG=-all
  # Creating a prefix takes several seconds; do it once, before tests start in parallel, and let its
  # wineserver finish writing the prefix and exit before the first test process starts.
  if [ ! -f "$WINEPREFIX/system.reg" ]; then "$tree/wine-run" wineboot -i >/dev/null 2>&1; wineserver -w; fi
  # Every run starts with empty module logs: tests read what the module writes, and a log that has
  # grown past its size threshold would take no more records.
  rm -rf "$tree/bin/Logs"
  ctest --preset "$preset"
  wineserver -k 2>/dev/null || true
done
