#!/bin/bash
# Line and branch coverage of memory/ and strings/ from the whole test
# suite and a replay of the fuzz seed corpus (fuzz/corpus), in a gcc
# --coverage build (preset coverage).
#
#   scripts/coverage.sh            summary and per-file table
#   scripts/coverage.sh --html     also build/coverage/html/index.html
#
# Installs what it needs first. Exits non-zero if a test fails.
set -uo pipefail
cd "$(dirname "$0")/.."
mkdir -p build/logs
bash scripts/build-preset.sh coverage || exit 1
find build/coverage -name '*.gcda' -delete
ctest --preset coverage >build/logs/coverage.test.log 2>&1
status=$?
grep -E 'tests passed|tests failed' build/logs/coverage.test.log

report=(gcovr --root . --object-directory build/coverage
        --filter 'memory/' --filter 'strings/' --exclude '.*_test\.cc$'
        --exclude-directories 'build/coverage/CMakeFiles/[0-9.]+'
        --exclude-unreachable-branches --exclude-throw-branches)
"${report[@]}" --txt --print-summary
"${report[@]}" --branches --txt | grep -E '^(File|---|memory|strings|TOTAL)'
if [ "${1:-}" = "--html" ]; then
    mkdir -p build/coverage/html
    "${report[@]}" --html-details build/coverage/html/index.html
    echo "html: build/coverage/html/index.html"
fi
exit $status
