#!/usr/bin/env bash
# Line and branch coverage of the library (src/) by the whole test suite.
#
#   scripts/coverage.sh           build $COVERAGE_BUILD_DIR (default build-coverage) with
#                                 -DERRAND_COVERAGE=ON, run ctest, print gcovr's summary
#   COVERAGE_HTML=1 scripts/coverage.sh
#                                 also write a browsable report to <build>/coverage/index.html
#
# Branches that only exist for exceptions, and those gcov marks unreachable, are not counted.
# Fails when line coverage falls below 95% or branch coverage below 84%: the threaded suites
# take some branches only in some runs, which moves the share by a few tenths from run to run.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${COVERAGE_BUILD_DIR:-build-coverage}

cmake -S . -B "$build" -DERRAND_COVERAGE=ON -DCMAKE_BUILD_TYPE=Debug -DERRAND_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null
find "$build" -name '*.gcda' -delete
ctest --test-dir "$build" --output-on-failure -j2 -E '^tst_package$'

args=(--root . --object-directory "$build" --filter '^src/' --exclude-throw-branches
      --exclude-unreachable-branches --print-summary --fail-under-line 95 --fail-under-branch 84)
if [[ -n "${COVERAGE_HTML:-}" ]]; then
    mkdir -p "$build/coverage"
    args+=(--html-details "$build/coverage/index.html")
fi
echo
gcovr "${args[@]}"
