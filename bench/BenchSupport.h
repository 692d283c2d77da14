#ifndef ERRAND_BENCH_BENCHSUPPORT_H
#define ERRAND_BENCH_BENCHSUPPORT_H

#include <Job.h>
#include <Task.h>

#include <benchmark/benchmark.h>

#include <QtCore/QObject>

#include <cstddef>
#include <deque>
#include <vector>

namespace Bench {

// The job every benchmark queues; its tasks finish inside start().
class QuickJob : public Job
{
    Q_OBJECT
public:
    using Job::Job;
};

// A job whose task keeps running until the benchmark ends it: it holds a queue busy.
class BlockerJob : public Job
{
    Q_OBJECT
public:
    using Job::Job;
};

// A job whose task reports progress ten times before it finishes inside start().
class ProgressJob : public Job
{
    Q_OBJECT
public:
    using Job::Job;
};

// A job whose task runs until a later one starts: with lanes, several run at once.
class RelayJob : public Job
{
    Q_OBJECT
public:
    using Job::Job;
};

// The bound object of the benchmark ObjectWorker; its class name is the worker name.
class Target : public QObject
{
    Q_OBJECT
};

class QuickTask : public Task
{
    Q_OBJECT
public:
    explicit QuickTask(const QuickJob &job)
        : Task(job)
    { }
    void start() override
    {
        setState(Job::Running);
        setState(Job::Finished);
    }
};

class ProgressTask : public Task
{
    Q_OBJECT
public:
    explicit ProgressTask(const Job &job)
        : Task(job)
    { }
    void start() override
    {
        setState(Job::Running);
        for (int step = 1; step <= 10; ++step)
            setProgress(step, 10);
        setState(Job::Finished);
    }
    void report(qint64 processed, qint64 total) { setProgress(processed, total); }
};

// Keeps `lanes` tasks running: each one that starts finishes the oldest of them once that many
// run, which makes the queue start the next, and so on. finishRunning() ends those left.
class RelayTask : public Task
{
    Q_OBJECT
public:
    explicit RelayTask(const RelayJob &job)
        : Task(job)
    { }
    void start() override;
    static void finishRunning();

    static inline int lanes = 1;

private:
    static inline std::deque<RelayTask *> s_running; // held by their queue, oldest first
};

class BlockerTask : public Task
{
    Q_OBJECT
public:
    explicit BlockerTask(const BlockerJob &job)
        : Task(job)
    { }
    void start() override { setState(Job::Running); }
    void finishNow() { setState(Job::Finished); }
    void resultNow() { Q_EMIT resultChanged(); }
};

// Records that each iteration handled @p jobs jobs: run.sh divides the time by this counter.
void countJobs(benchmark::State &state, int jobs);

// The fastest repetition: on a shared machine the other runs only measure interference.
double fastest(const std::vector<double> &values);

// Drops the queues that benchmarks keep between runs; called before the application goes.
void releaseQueues();

// Registers the two task factories under Target (once per process).
void registerTasks();

// Deletes every task handed to deleteLater() so far. The plain pass afterwards lets Qt compact
// its posted-event list; without it the list keeps growing and later batches pay for it.
void flushDeferredDeletes();

// Bytes the heap hands out right now, the mmap()ed blocks of large allocations included.
std::size_t heapInUse();

// CPU time of the calling thread in nanoseconds, the clock the benchmark library times with.
double threadCpuNs();

} // namespace Bench

#endif // ERRAND_BENCH_BENCHSUPPORT_H
