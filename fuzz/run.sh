#!/usr/bin/env bash
# Builds the libFuzzer target with clang, AddressSanitizer and UndefinedBehaviorSanitizer in its
# own build directory and runs it on the committed seed corpus.
#
#   fuzz/run.sh                 run until stopped (Ctrl-C), extra arguments go to libFuzzer
#   fuzz/run.sh -runs=1000000   for example: a bounded number of executions
#   fuzz/run.sh --ci            FUZZ_RUNS inputs (default 20000) from seed FUZZ_SEED (default 1),
#                               at most FUZZ_SECONDS (default 300), for CI
#   fuzz/run.sh --build-only    only build
#
# New interesting inputs are written to fuzz/corpus-run/ (not committed). A crash, a leak, a
# sanitizer report or a broken invariant stops the run with a non-zero exit code and leaves the
# input in $FUZZ_BUILD_DIR/artifacts/; re-run it with: $FUZZ_BUILD_DIR/fuzz/fuzz_workqueue <file>
set -euo pipefail
cd "$(dirname "$0")/.."

build=${FUZZ_BUILD_DIR:-build-fuzz}
mode=run
if [[ "${1:-}" == "--ci" || "${1:-}" == "--build-only" ]]; then
    mode=${1#--}
    shift
fi

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DERRAND_BUILD_FUZZER=ON -DERRAND_BUILD_TESTS=OFF -DERRAND_BUILD_EXAMPLES=OFF \
    -DERRAND_SANITIZE=address,undefined -DERRAND_WERROR=ON >/dev/null
cmake --build "$build" -j2 --target fuzz_workqueue
[[ "$mode" == build-only ]] && exit 0

mkdir -p fuzz/corpus-run "$build/artifacts"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
args=(-max_len=512 -timeout=20 -rss_limit_mb=4096 -artifact_prefix="$build/artifacts/")
if [[ "$mode" == ci ]]; then
    # A fixed seed and number of runs make CI's run repeatable: a failure there is reproduced
    # by the same command. Longer runs with fresh seeds are for development (the default mode).
    args+=(-seed="${FUZZ_SEED:-1}" -runs="${FUZZ_RUNS:-20000}" -max_total_time="${FUZZ_SECONDS:-300}"
        -print_final_stats=1)
fi
exec "$build/fuzz/fuzz_workqueue" "${args[@]}" "$@" fuzz/corpus-run fuzz/corpus
