#!/usr/bin/env bash
# Prints the size of the tests against the code they test: non-blank lines of .cpp and .h files that are
# not whole-line comments, under Tests/ and under Sources/, Host/ and Tools/, and the size of the tests' data.
set -euo pipefail
cd "$(dirname "$0")/.."
lines() { find "$@" \( -name '*.cpp' -o -name '*.h' \) -print0 | xargs -0 cat | sed -e 's#^[[:space:]]*//.*$##' | grep -cv '^[[:space:]]*$'; }
tests=$(lines Tests)
code=$(lines Sources Host Tools)
data=$(find Tests -type f ! -name '*.cpp' ! -name '*.h' ! -name 'CMakeLists.txt' ! -name '*.md' -print0 | xargs -0 cat | wc -c)
echo "test code: $tests lines; code: $code lines; tests/code: $(awk "BEGIN { printf \"%.2f\", $tests / $code }")"
echo "test data: $data bytes in $(find Tests -type f ! -name '*.cpp' ! -name '*.h' ! -name 'CMakeLists.txt' ! -name '*.md' | wc -l) files"
