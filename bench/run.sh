#!/usr/bin/env bash
# Builds the benchmarks in Release, runs them and prints nanoseconds per job with ratios.
#
#   bench/run.sh                      # all but the 1M-task drains, 5 repetitions, fastest reported
#   REPETITIONS=3 bench/run.sh        # fewer repetitions
#   QT_MAJOR=6 bench/run.sh           # against Qt 6 (default build dir build-bench-qt6)
#   bench/run.sh --benchmark_filter=drain/   # extra arguments go to the benchmark binary
#   REPETITIONS=1 bench/run.sh --benchmark_filter='drain/model/five-levels/1000$|drain1M/model/five-levels'
#                                     # a 1M-task drain (next to its 1k run), which no default run includes
#
# BUILD_DIR (default build-bench next to this folder) holds the build and the raw JSON
# (bench.json, or the file JSON names, so that a run of the 1M drains can be kept beside the
# default run; bench/plot.py draws the pictures of docs/ from them). Times are CPU time of the
# benchmark threads, so that other work on the machine disturbs them less than wall time would.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
qt=${QT_MAJOR:-5}
build=${BUILD_DIR:-$root/build-bench$([[ $qt == 5 ]] || echo "-qt$qt")}
repetitions=${REPETITIONS:-5}
json=${JSON:-$build/bench.json}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DERRAND_BUILD_BENCHMARKS=ON -DERRAND_QT_MAJOR="$qt" \
    -DERRAND_BUILD_TESTS=OFF -DERRAND_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" --target errand_bench -j2 >/dev/null

"$build/bench/errand_bench" \
    --benchmark_repetitions="$repetitions" \
    --benchmark_report_aggregates_only=true \
    --benchmark_out="$json" \
    --benchmark_out_format=json \
    --benchmark_filter=-drain1M \
    "$@" >&2

python3 "$here/table.py" "$json"
