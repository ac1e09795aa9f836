#!/usr/bin/env bash
# The mutation run (not part of CI): breaks the module one rule at a time, as Tests/Mutations/*.faults
# lists, and runs the tests after each; prints the faults that survived and the kill rate, and keeps
# them in build/mutation-results.txt. Arguments go to scripts/mutation_run.py (--check, --list,
# --only ID...). Installs what it needs and configures the build first.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v python3 >/dev/null; then
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq python3
fi
if [ "${1:-}" != "--check" ] && [ "${1:-}" != "--list" ]; then
  bash scripts/setup.sh
  cmake --preset default >/dev/null
fi
exec python3 scripts/mutation_run.py "$@"
