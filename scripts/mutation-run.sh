#!/usr/bin/env bash
# The mutation run (not part of CI): breaks the module one rule at a time, as Tests/Mutations/*.faults
# lists, and runs the tests after each; prints the faults that survived and the kill rate, and keeps
# them in build/mutation-results.txt. Arguments go to scripts/mutation_run.py (--check, --list,
# --only ID...). Installs what it needs and configures the build first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh python3
if [ "${1:-}" != "--check" ] && [ "${1:-}" != "--list" ]; then
  cmake --preset default >/dev/null
fi
exec python3 scripts/mutation_run.py "$@"
