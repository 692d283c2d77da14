#ifndef ERRAND_POOLRUN_P_H
#define ERRAND_POOLRUN_P_H

#include "ErrandFuture.h"
#include "PoolTask.h"

#include <QtCore/QRunnable>

#include <atomic>
#include <memory>
#include <mutex>

namespace Errand {

// One start() of a PoolTask, shared by the task and the runnable that carries its function.
// The outcome is posted to the task only under the mutex and only while the task still
// listens, so the task cannot be destroyed or cancel the run half-way through the post; an
// outcome already posted dies with the task if the task goes first.
class PoolRun
{
public:
    explicit PoolRun(PoolTask *task)
        : m_task(task)
    { }

    bool isCancelled() const { return m_cancelled.load(std::memory_order_acquire); }
    // From the task's thread: raises the cancel flag; the run's end no longer reaches the task.
    void cancel();
    // From the function: the first failure counts.
    void fail(const QString &text);
    // From the function: progress reaches the task while it listens (under the mutex, so that
    // it cannot go meanwhile).
    void setProgress(qint64 processed, qint64 total);
    void setProgressText(const QString &text);
    // Posts how @p run ended to its task, if the task still listens. A failure the function
    // reported through its context wins over what it returned or threw.
    static void finish(const std::shared_ptr<PoolRun> &run, Outcome outcome);

private:
    std::atomic<bool> m_cancelled { false };
    std::mutex m_mutex;
    PoolTask *m_task; // guarded by m_mutex, null once the task stopped listening
    bool m_failed = false; // guarded by m_mutex
    QString m_failure; // guarded by m_mutex
};

// Runs a PoolTask's function on the pool. A runnable deleted before it ran (QThreadPool::clear())
// reports the run as aborted, so that its task never waits for it; one that ran has reported
// already, and a run reports once.
class PoolRunner final : public QRunnable
{
public:
    PoolRunner(std::shared_ptr<PoolRun> run, PoolTask::Work work);
    ~PoolRunner() override;

    void run() override;

private:
    // QThreadPool hands the runnable to its thread (or to clear()) under a lock of its own,
    // which ThreadSanitizer cannot see, Qt not being instrumented: this release and the
    // acquires in run() and the destructor state that order where it can see it.
    std::atomic<bool> m_handedOver { false };
    const std::shared_ptr<PoolRun> m_run;
    const PoolTask::Work m_work;
};

} // namespace Errand

#endif // ERRAND_POOLRUN_P_H
