// setProgress() called by a pool thread in a tight loop while the task's thread is busy: the
// cost of one call, and how many progressChanged() one event-loop pass then emits.

#include "BenchSupport.h"

#include <benchmark/benchmark.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QThreadPool>

namespace {

using namespace Bench;

void setProgressFromPool(benchmark::State &state)
{
    const qint64 calls = state.range(0);
    const QuickJob job;
    ProgressTask task(job);
    int emissions = 0;
    QObject::connect(&task, &Task::progressChanged, [&emissions] { ++emissions; });
    double poolNs = 0;
    qint64 total = calls;
    for (auto _ : state) {
        ++total; // each batch ends on values of its own, so that each has news to emit
        QThreadPool::globalInstance()->start([&] {
            const double start = threadCpuNs();
            for (qint64 i = 1; i <= calls; ++i)
                task.report(i, total);
            poolNs += threadCpuNs() - start;
        });
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::sendPostedEvents(); // one pass of the task's event loop
    }
    const double batches = double(state.iterations());
    state.counters["pool_ns_per_call"] = poolNs / (batches * double(calls));
    state.counters["emissions_per_pass"] = emissions / batches;
}

} // namespace

BENCHMARK(setProgressFromPool)
    ->Name("progress/setProgress-from-pool")
    ->Arg(1000000)
    ->Iterations(5)
    ->ComputeStatistics("min", fastest);
