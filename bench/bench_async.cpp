// Work on a thread pool and co_await, each against what plain Qt offers for the same:
//  - async/pool-task: a job whose PoolTask runs a no-op function, through a queue, which starts
//    the next when one finishes; against async/concurrent: QtConcurrent::run() of the same
//    function with a QFutureWatcher per call, the next call made when the watcher reports the
//    last one finished. Both on the global pool, in wall time (the round trips between the
//    threads are most of it). At N = 100k as well, against its own N = 1k.
//  - async/await: a coroutine that co_awaits a job finished later; against async/connect: a
//    functor connected to the job's finished(). The job, its task and their deletion are in both.

#include "BenchSupport.h"

#include <ObjectWorker.h>
#include <PoolTask.h>
#include <WorkerRegistry.h>
#ifdef __cpp_impl_coroutine
#include <ErrandCoro.h>
#endif

#include <benchmark/benchmark.h>

#include <QtConcurrent/QtConcurrentRun>
#include <QtCore/QCoreApplication>
#include <QtCore/QFutureWatcher>

#include <exception>
#include <functional>
#include <memory>
#include <vector>

namespace {

using namespace Bench;

class PoolJob : public Job
{
    Q_OBJECT
};

QVariant noOp()
{
    return QVariant();
}

void registerPoolTasks()
{
    static const bool registered
        = WorkerRegistry::instance()->registerTask(QString::fromLatin1(Target::staticMetaObject.className()),
            QString::fromLatin1(PoolJob::staticMetaObject.className()),
            Errand::makePoolTaskFactory<PoolJob>(
                [](const PoolJob &) { return [](PoolTask::Context &) { return noOp(); }; }));
    Q_UNUSED(registered)
}

template<typename Done>
void runEventLoopUntil(Done done)
{
    while (!done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void poolTasks(benchmark::State &state)
{
    registerPoolTasks();
    const int batch = int(state.range(0));
    Target target;
    ObjectWorker worker(&target);
    int finished = 0;
    QObject::connect(&worker, &WorkQueue::finished, [&finished] { ++finished; });
    std::vector<std::unique_ptr<PoolJob>> jobs;
    jobs.reserve(size_t(batch));
    for (auto _ : state) {
        finished = 0;
        for (int i = 0; i < batch; ++i) {
            jobs.push_back(std::make_unique<PoolJob>());
            worker.enqueue(*jobs.back());
        }
        runEventLoopUntil([&] { return finished == batch; });
        jobs.clear();
        flushDeferredDeletes();
    }
    countJobs(state, batch);
}

void concurrentRuns(benchmark::State &state)
{
    const int batch = int(state.range(0));
    int finished = 0;
    std::function<void()> next = [&] {
        auto *watcher = new QFutureWatcher<QVariant>;
        QObject::connect(watcher, &QFutureWatcherBase::finished, [&, watcher] {
            watcher->deleteLater();
            if (++finished < batch)
                next();
        });
        watcher->setFuture(QtConcurrent::run(noOp));
    };
    for (auto _ : state) {
        finished = 0;
        next();
        runEventLoopUntil([&] { return finished == batch; });
        flushDeferredDeletes();
    }
    countJobs(state, batch);
}

#ifdef __cpp_impl_coroutine
// Starts at once, frees itself at its end.
struct Detached
{
    struct promise_type
    {
        Detached get_return_object() { return {}; }
        std::suspend_never initial_suspend() noexcept { return {}; }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_void() { }
        void unhandled_exception() { std::terminate(); }
    };
};

Detached awaitJob(const Job &job, int &resumed)
{
    co_await job;
    ++resumed;
}
#endif

// N jobs whose tasks run until all have been watched, then finish one after the other.
template<typename Watch>
void finishLater(benchmark::State &state, Watch watch)
{
    const int batch = int(state.range(0));
    std::vector<std::unique_ptr<BlockerJob>> jobs;
    jobs.reserve(size_t(batch));
    int resumed = 0;
    for (auto _ : state) {
        for (int i = 0; i < batch; ++i) {
            jobs.push_back(std::make_unique<BlockerJob>());
            auto *task = new BlockerTask(*jobs.back());
            jobs.back()->attach(task);
            task->start();
            watch(*jobs.back(), resumed);
        }
        for (const auto &job : jobs)
            static_cast<BlockerTask *>(job->task())->finishNow();
        jobs.clear();
        flushDeferredDeletes();
    }
    benchmark::DoNotOptimize(resumed);
    countJobs(state, batch);
}

void connected(benchmark::State &state)
{
    finishLater(
        state, [](Job &job, int &resumed) { QObject::connect(&job, &Job::finished, [&resumed] { ++resumed; }); });
}

#ifdef __cpp_impl_coroutine
void awaited(benchmark::State &state)
{
    finishLater(state, [](Job &job, int &resumed) { awaitJob(job, resumed); });
}
#endif

} // namespace

BENCHMARK(poolTasks)->Name("async/pool-task")->Arg(1000)->Arg(100000)->UseRealTime()->ComputeStatistics("min", fastest);
BENCHMARK(concurrentRuns)->Name("async/concurrent")->Arg(1000)->UseRealTime()->ComputeStatistics("min", fastest);
BENCHMARK(connected)->Name("async/connect")->Arg(1000)->Arg(10000)->ComputeStatistics("min", fastest);
#ifdef __cpp_impl_coroutine
BENCHMARK(awaited)->Name("async/await")->Arg(1000)->Arg(10000)->ComputeStatistics("min", fastest);
#endif

#include "bench_async.moc"
