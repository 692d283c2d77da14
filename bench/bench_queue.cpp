// Costs that depend on how many tasks a queue holds: draining a full queue (alone, with a list
// model, and with the literal model kept in the test tree for comparison) and adding and
// removing a task while many wait.

#include "BenchSupport.h"

#include <ObjectWorker.h>
#include <WorkQueueListModel.h>

#ifdef ERRAND_BENCH_REFERENCE_MODEL
#include <ReferenceListModel.h>
#endif

#include <benchmark/benchmark.h>

#include <functional>
#include <memory>

namespace {

using namespace Bench;

// A busy ObjectWorker: a running blocker, and held tasks waiting behind it.
struct HeldQueue
{
    HeldQueue(int held, const std::function<uint(int)> &priorityOf)
    {
        worker.enqueue(blockerJob, 1000);
        blocker = static_cast<BlockerTask *>(blockerJob.task());
        const QuickJob job;
        for (int i = 0; i < held; ++i)
            worker.enqueue(job, priorityOf(i));
    }

    Target target;
    ObjectWorker worker { &target };
    BlockerJob blockerJob;
    BlockerTask *blocker = nullptr;
};

uint samePriority(int)
{
    return 0;
}

// Finishing the blocker starts the next task, which finishes inside start(), and so on until
// the queue is empty: N finishes in one call, each reported through the queue (and model).
template<typename Model>
void drain(benchmark::State &state)
{
    const int held = int(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        auto queue = std::make_unique<HeldQueue>(held, samePriority);
        // Attached to the full queue: one pass over it instead of N placements.
        auto model = std::make_unique<Model>(&queue->worker);
        state.ResumeTiming();

        queue->blocker->finishNow();
        flushDeferredDeletes();

        state.PauseTiming();
        if (!queue->worker.queue().isEmpty())
            state.SkipWithError("queue not drained");
        model.reset();
        queue.reset();
        flushDeferredDeletes();
        state.ResumeTiming();
    }
    countJobs(state, held);
}

struct NoModel
{
    explicit NoModel(WorkQueue *) { }
};

// The queue of the last enqueueDequeue run, kept while the benchmark library sizes its runs so
// that 100k tasks are not queued again for every attempt.
std::unique_ptr<HeldQueue> s_spread;

uint spreadPriority(int i)
{
    return uint(i % 16);
}

// A batch of jobs each queued behind N waiting tasks and then taken out again with
// dequeue(const Job&); the priorities spread the new task across the queue's order.
void enqueueDequeue(benchmark::State &state)
{
    const int held = int(state.range(0));
    constexpr int batch = 1000;
    if (!s_spread || s_spread->worker.queue().size() != held + 1) {
        s_spread.reset();
        flushDeferredDeletes();
        s_spread = std::make_unique<HeldQueue>(held, spreadPriority);
    }
    HeldQueue &queue = *s_spread;
    for (auto _ : state) {
        for (int i = 0; i < batch; ++i) {
            QuickJob job;
            queue.worker.enqueue(job, uint(i * 7 % 16));
            queue.worker.dequeue(job);
        }
        flushDeferredDeletes();
    }
    countJobs(state, batch);
}

} // namespace

void Bench::releaseQueues()
{
    s_spread.reset();
    flushDeferredDeletes();
}

BENCHMARK_TEMPLATE(drain, NoModel)
    ->Name("drain/queue")
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->ComputeStatistics("min", fastest);
BENCHMARK_TEMPLATE(drain, WorkQueueListModel)
    ->Name("drain/model")
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->ComputeStatistics("min", fastest);
#ifdef ERRAND_BENCH_REFERENCE_MODEL
// The literal model grows quadratically: 100k would take minutes, so it stops at 10k.
BENCHMARK_TEMPLATE(drain, ReferenceListModel)
    ->Name("drain/literal-model")
    ->Arg(1000)
    ->Arg(10000)
    ->Iterations(2)
    ->Repetitions(2)
    ->ComputeStatistics("min", fastest);
#endif
BENCHMARK(enqueueDequeue)
    ->Name("enqueue+dequeue")
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->ComputeStatistics("min", fastest);
