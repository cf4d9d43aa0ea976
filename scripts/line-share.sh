#!/usr/bin/env bash
# Prints test lines as a share of program lines, and fails above 35%. Lines are those that are
# neither blank nor comments; tests are tests/, fuzz/ and the scripts that run tests or make their data.
set -euo pipefail
cd "$(dirname "$0")/.."
count() { grep -E '\.(c|cc|cpp|h|hpp|py|sh)$' | xargs -r cat | grep -cvE '^\s*($|//|#)'; }
code=$(git ls-files src | count)
tests=$(git ls-files tests fuzz scripts | grep -E '^(tests|fuzz)/|^scripts/.*(test|fuzz)' | count)
echo "Test lines: $tests against $code of the program's: $((100 * tests / code))% (at most 35%)."
[ $((100 * tests)) -le $((35 * code)) ]
