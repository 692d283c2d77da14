// Costs that depend on how many tasks a queue holds: filling a busy queue with N jobs and
// draining it, alone, with a list model and with a task model on that, under four priority
// patterns, with four lanes, and with tasks that report progress; one update of a task's row in
// a task model; and adding and removing a task while many wait.

#include "BenchSupport.h"

#include <ObjectWorker.h>
#include <WorkQueueListModel.h>
#include <WorkQueueTaskModel.h>

#include <benchmark/benchmark.h>

#include <limits>
#include <memory>
#include <string>

namespace {

using namespace Bench;

using PriorityOf = uint (*)(int);

// Where the i-th queued task lands in the queue's order: after all the others, at the end of
// one of five blocks, anywhere (a multiplicative hash onto 0..1023), or ahead of all the others.
const struct Pattern
{
    const char *name;
    PriorityOf priorityOf;
} patterns[] = {
    { "equal", [](int) { return 0u; } },
    { "five-levels", [](int i) { return uint(i % 5); } },
    { "scattered", [](int i) { return uint(i) * 2654435761u >> 22; } },
    { "rising", [](int i) { return uint(i) + 1; } },
};

struct NoModel
{
    explicit NoModel(WorkQueue *) { }
};

// The list model with a task model in its table form on it, as a view shows a queue.
struct Views
{
    explicit Views(WorkQueue *queue)
        : rows(queue)
    { }
    WorkQueueListModel rows;
    WorkQueueTaskModel tasks { &rows, true };
};

// Listens to the progress of every task the queue is given, as a view that shows it would.
struct ProgressWatcher
{
    explicit ProgressWatcher(WorkQueue *queue)
    {
        QObject::connect(queue, &WorkQueue::queued, &context, [this](const WorkQueue::TaskPtr &task) {
            QObject::connect(task.data(), &Task::progressChanged, &context, [this] { ++heard; });
        });
    }
    QObject context;
    int heard = 0;
};

// A busy ObjectWorker, watched by the model (if any) from the start: a running blocker in each
// lane (no priority is above it, and a queue without autoAbort does not displace a running task
// anyway) and the jobs of the tasks held behind them.
template<typename Model, typename JobType = QuickJob>
struct HeldQueue
{
    explicit HeldQueue(int held, int lanes = 1)
        : laneBlockers(std::size_t(lanes - 1))
    {
        worker.setMaxRunning(lanes);
        worker.enqueue(blockerJob, std::numeric_limits<uint>::max());
        blocker = static_cast<BlockerTask *>(blockerJob.task());
        for (BlockerJob &job : laneBlockers)
            worker.enqueue(job, std::numeric_limits<uint>::max());
        jobs.reserve(size_t(held));
    }

    // Ends the blockers; the tasks behind them drain inside these calls.
    void unblock()
    {
        blocker->finishNow();
        for (BlockerJob &job : laneBlockers)
            static_cast<BlockerTask *>(job.task())->finishNow();
        RelayTask::finishRunning();
    }

    void fill(int held, PriorityOf priorityOf)
    {
        for (int i = 0; i < held; ++i) {
            jobs.push_back(std::make_unique<JobType>());
            worker.enqueue(*jobs.back(), priorityOf(i));
        }
    }

    Target target;
    ObjectWorker worker { &target };
    Model model { &worker };
    BlockerJob blockerJob;
    BlockerTask *blocker = nullptr;
    std::vector<BlockerJob> laneBlockers;
    std::vector<std::unique_ptr<JobType>> jobs;
};

// The whole life of N jobs on a busy queue. Filling: create each job and enqueue it (with a
// model, its queued() slot places the row). Draining: finishing the blocker starts the next
// task, which finishes inside start(), and so on until the queue is empty; then the jobs are
// destroyed and the tasks deleted. The timed figure covers both; the counters split it and
// give the heap bytes each held task took (job, task, queue entry, model row). With several
// lanes, that many tasks run at once, each finished when a later one starts.
template<typename Model, typename JobType = QuickJob>
void drain(benchmark::State &state, PriorityOf priorityOf, int lanes = 1)
{
    const int held = int(state.range(0));
    RelayTask::lanes = lanes;
    double fillNs = 0;
    double drainNs = 0;
    double bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto queue = std::make_unique<HeldQueue<Model, JobType>>(held, lanes);
        const std::size_t heapBefore = heapInUse();
        state.ResumeTiming();

        const double fillStart = threadCpuNs();
        queue->fill(held, priorityOf);
        fillNs += threadCpuNs() - fillStart;

        state.PauseTiming();
        bytes = double(heapInUse() - heapBefore);
        state.ResumeTiming();

        const double drainStart = threadCpuNs();
        queue->unblock();
        queue->jobs.clear();
        flushDeferredDeletes();
        drainNs += threadCpuNs() - drainStart;

        state.PauseTiming();
        if (!queue->worker.queue().isEmpty())
            state.SkipWithError("queue not drained");
        queue.reset();
        flushDeferredDeletes();
        state.ResumeTiming();
    }
    countJobs(state, held);
    state.counters["fill_ns"] = benchmark::Counter(fillNs / held, benchmark::Counter::kAvgIterations);
    state.counters["drain_ns"] = benchmark::Counter(drainNs / held, benchmark::Counter::kAvgIterations);
    state.counters["bytes_per_task"] = bytes / held;
}

// drain/<queue|model|views>/<pattern>/N for N up to 100k; drain1M/... holds the 1M runs, which take
// minutes with a model and run only when a filter names them (see run.sh). queue4 and model4 are
// queue and model with four lanes, whose tasks each run until a later one starts.
const bool drainsRegistered = [] {
    for (const Pattern &pattern : patterns) {
        for (const int watchers : { 0, 1, 2, 3, 4 }) {
            const auto run = watchers == 4 ? &drain<WorkQueueListModel, RelayJob>
                : watchers == 3            ? &drain<NoModel, RelayJob>
                : watchers == 2            ? &drain<Views>
                : watchers == 1            ? &drain<WorkQueueListModel>
                                           : &drain<NoModel>;
            const PriorityOf priorityOf = pattern.priorityOf;
            const int lanes = watchers >= 3 ? 4 : 1;
            const auto body = [run, priorityOf, lanes](benchmark::State &state) { run(state, priorityOf, lanes); };
            const char *const kinds[] = { "/queue/", "/model/", "/views/", "/queue4/", "/model4/" };
            const std::string name = std::string(kinds[watchers]) + pattern.name;
            benchmark::RegisterBenchmark(("drain" + name).c_str(), body)
                ->Arg(1000)
                ->Arg(10000)
                ->Arg(100000)
                ->ComputeStatistics("min", fastest);
            benchmark::RegisterBenchmark(("drain1M" + name).c_str(), body)
                ->Arg(1000000)
                ->Iterations(1)
                ->ComputeStatistics("min", fastest);
        }
    }
    // The same drain as drain/queue/equal with tasks that each set their progress ten times:
    // what progress costs when nobody watches it, and when something listens to every task.
    for (const auto &[name, run] : { std::pair("drain/progress/equal", &drain<NoModel, ProgressJob>),
             std::pair("drain/progress-watched/equal", &drain<ProgressWatcher, ProgressJob>) }) {
        benchmark::RegisterBenchmark(name, [run = run](benchmark::State &state) { run(state, patterns[0].priorityOf, 1); })
            ->Arg(1000)
            ->Arg(10000)
            ->Arg(100000)
            ->ComputeStatistics("min", fastest);
    }
    return true;
}();

// One update of a task's row with N tasks waiting: the running blocker's result changes, 1000
// times per iteration; each change finds the blocker's row (through the list model's rowOf())
// and reports it with one dataChanged(), which a view would then read.
void rowUpdate(benchmark::State &state)
{
    const int held = int(state.range(0));
    HeldQueue<Views> queue(held);
    queue.fill(held, patterns[1].priorityOf);
    int updates = 0;
    QObject::connect(&queue.model.tasks, &QAbstractItemModel::dataChanged, [&updates] { ++updates; });
    for (auto _ : state) {
        for (int i = 0; i < 1000; ++i)
            queue.blocker->resultNow();
    }
    if (updates != int(state.iterations()) * 1000)
        state.SkipWithError("an update was lost");
    countJobs(state, 1000);
    queue.blocker->finishNow();
    queue.jobs.clear();
    flushDeferredDeletes();
}

// The queue of the last enqueueDequeue run, kept while the benchmark library sizes its runs so
// that 100k tasks are not queued again for every attempt.
std::unique_ptr<HeldQueue<NoModel>> s_spread;

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
        s_spread = std::make_unique<HeldQueue<NoModel>>(held);
        s_spread->fill(held, spreadPriority);
    }
    HeldQueue<NoModel> &queue = *s_spread;
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

BENCHMARK(rowUpdate)->Name("views/row-update")->Arg(1000)->Arg(100000)->ComputeStatistics("min", fastest);
BENCHMARK(enqueueDequeue)
    ->Name("enqueue+dequeue")
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->ComputeStatistics("min", fastest);
