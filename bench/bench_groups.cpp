// A parallel group of N children that finish inside start(), against a queue that drains the
// same tasks: what running as a group's child costs per task, and how that grows with N.

#include "BenchSupport.h"

#include <TaskGroup.h>
#include <WorkQueue.h>
#include <Worker.h>

#include <benchmark/benchmark.h>

namespace {

using namespace Bench;

// Makes the queue's tasks without the registry, as the group's children are made: a blocker
// first, which holds the queue while the others are queued, then quick tasks.
struct DirectWorker : Worker
{
    QObject *object() override { return nullptr; }
    Task *createTask(const Job &) override
    {
        if (blocker)
            return new QuickTask(quick);
        blocker = new BlockerTask(hold);
        return blocker;
    }
    QuickJob quick;
    BlockerJob hold;
    BlockerTask *blocker = nullptr;
};

// Queue every task behind the blocker, then let them drain; the deletions are timed too.
void queueDrain(benchmark::State &state)
{
    const int n = int(state.range(0));
    for (auto _ : state) {
        DirectWorker worker;
        WorkQueue queue(&worker);
        queue.enqueue(worker.quick);
        for (int i = 0; i < n; ++i)
            queue.enqueue(worker.quick);
        worker.blocker->finishNow();
        if (!queue.queue().isEmpty())
            state.SkipWithError("queue not drained");
        flushDeferredDeletes();
    }
    countJobs(state, n);
}

// Add every task to a parallel group without a limit, then run it; the deletions are timed too.
void groupRun(benchmark::State &state)
{
    const int n = int(state.range(0));
    QuickJob job;
    for (auto _ : state) {
        {
            const WorkQueue::TaskPtr held(new TaskGroup(job, TaskGroup::Parallel));
            auto *group = static_cast<TaskGroup *>(held.data());
            for (int i = 0; i < n; ++i)
                group->add(WorkQueue::TaskPtr(new QuickTask(job)));
            group->start();
            if (group->finishedCount() != n || !group->isFinished())
                state.SkipWithError("group not finished");
        }
        flushDeferredDeletes(); // the group, then its children
        flushDeferredDeletes();
    }
    countJobs(state, n);
}

} // namespace

BENCHMARK(queueDrain)
    ->Name("group-vs-queue/queue")
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->ComputeStatistics("min", fastest);
BENCHMARK(groupRun)
    ->Name("group-vs-queue/group")
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->ComputeStatistics("min", fastest);
