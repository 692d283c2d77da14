#ifndef ERRAND_POOLTASK_H
#define ERRAND_POOLTASK_H

#include "errand_export.h"
#include "Job.h"
#include "Task.h"
#include "TaskCtor.h"

#include <QtCore/QVariant>

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

class QThreadPool;
class Worker;

class PoolTaskPrivate;
namespace Errand {
class PoolRun;
class PoolRunner;
struct Outcome;
} // namespace Errand

/**
 * A Task whose work is a function that runs on a QThreadPool, while the task itself, its
 * state machine and its signals stay on the task's own thread.
 *
 * start() moves the task to Running and hands the function to the pool (the global one unless
 * another was given). What the function returns becomes the task's @c result property (and so
 * Job::result()), and the task finishes on its own thread, through its event loop. Through its
 * Context the function reports its progress (Context::setProgress(), setProgressText()), learns
 * whether it should stop (Context::isCancelled()) and reports a failure (Context::fail()). A
 * failure or a thrown @c std::exception finishes the task as Failed with that text, any other
 * exception as Failed with "unknown exception".
 *
 * abort() (and with it a queue's automatic abort, a timeout and WorkQueue::abortAll()) finishes
 * the task at once, as Aborted, and raises the context's cancel flag; whatever the function
 * returns afterwards is dropped. The
 * task may be deleted while its function runs: the function's end then touches nothing freed.
 * No pool thread ever waits for the task's thread. A pool that is cleared
 * (QThreadPool::clear()) before the function has started finishes the task as Aborted.
 *
 * The function must not touch the job or the task: capture the job's parameters by value (see
 * Errand::makePoolTaskFactory()). The task's thread needs a running event loop for the task to
 * finish. Resetting a running task with setState(Job::Ready) does not cancel its function, whose
 * outcome is then dropped; abort() does.
 */
class ERRAND_EXPORT PoolTask : public Task
{
    Q_OBJECT
    /** What the function returned; invalid until the task finishes without an error. */
    Q_PROPERTY(QVariant result READ result NOTIFY resultChanged)

public:
    /**
     * The function's side of its task, used from the pool thread. The function gets it by
     * reference; it is valid while the function runs and may be used from any thread meanwhile.
     */
    class ERRAND_EXPORT Context
    {
    public:
        /**
         * True once the task was aborted (directly, by its queue or by a timeout) or deleted:
         * nothing will use what the function returns, which should stop soon.
         */
        bool isCancelled() const;
        /**
         * Reports @p processed of @p total done, as Task::setProgress() does (a @p total of 0
         * or less means unknown): the task's progressChanged() follows in its own thread,
         * coalesced. Ignored once the task was aborted or deleted.
         */
        void setProgress(qint64 processed, qint64 total);
        /** Describes the current step, as Task::setProgressText() does; ignored likewise. */
        void setProgressText(const QString &text);
        /**
         * Finishes the task as Failed with @p text once the function returns; what it returns
         * is then dropped. The first failure counts.
         */
        void fail(const QString &text);

    private:
        friend class Errand::PoolRunner;
        explicit Context(Errand::PoolRun &run);
        Q_DISABLE_COPY(Context)

        Errand::PoolRun &m_run;
    };

    /** The work: runs on a pool thread and returns the task's result. */
    using Work = std::function<QVariant(PoolTask::Context &)>;

    /**
     * A task for @p job that runs @p work on @p pool, or on QThreadPool::globalInstance() when
     * @p pool is null. The pool is not owned; one deleted before start() fails the task.
     * A null @p work fails the task when it starts (after started(), as a missing pool does),
     * with the warning "[PoolTask]: no work to run".
     */
    PoolTask(const Job &job, Work work, QThreadPool *pool = nullptr, QObject *parent = nullptr);
    /** Cancels a function still running; its end then reaches nothing. */
    ~PoolTask() override;

    /** What the function returned: invalid until the task has finished without an error. */
    QVariant result() const;

    /**
     * Moves the task to Running and hands the function to the pool. Does nothing while the task
     * runs. A started() handler that aborts the task keeps the function from being queued.
     * Without a pool (the one given has been deleted, or the global one is gone at exit) the
     * task fails with "[PoolTask]: no thread pool".
     */
    void start() override;
    /**
     * Raises the function's cancel flag, drops what it will return and finishes the task as
     * Aborted (see Task::abort()).
     */
    void abort() override;

private:
    friend class Errand::PoolRun;

    void complete(const Errand::PoolRun *run, const Errand::Outcome &outcome);

    const std::unique_ptr<PoolTaskPrivate> d;
};

/**
 * A task factory for jobs of class @p J whose tasks are PoolTasks.
 *
 * create() calls the callable with the job, as a @c const @p J&, where the registry calls
 * factories: on the thread that asks for the task, inside the registry's read lock (see
 * TaskCtor). The callable returns the task's PoolTask::Work, capturing the job's parameters by
 * value, so that the pool thread never touches the job. A job that is not a @p J gets no task
 * (null). Made by Errand::makePoolTaskFactory().
 */
template<typename J, typename F>
class PoolTaskFactory : public TaskCtor
{
    static_assert(std::is_convertible_v<std::invoke_result_t<const F &, const J &>, PoolTask::Work>,
        "the callable of a PoolTaskFactory takes a const J& and returns a PoolTask::Work");

public:
    /** Stores @p f and the pool the tasks run on (null: the global pool). */
    PoolTaskFactory(F f, QThreadPool *pool)
        : m_f(std::move(f))
        , m_pool(pool)
    { }

    /** A PoolTask for @p job running the work the callable returns, or null for another class. */
    Task *create(Worker &worker, const Job &job) override
    {
        Q_UNUSED(worker)
        const J *typed = nullptr;
        if constexpr (std::is_same_v<J, Job>)
            typed = &job;
        else
            typed = qobject_cast<const J *>(&job);
        return typed ? new PoolTask(job, m_f(*typed), m_pool) : nullptr;
    }

private:
    const F m_f;
    QThreadPool *const m_pool;
};

namespace Errand {

/**
 * A new PoolTaskFactory (reference count 0: hand it to the registry) for jobs of class @p J.
 * @p f takes a @c const @p J& and returns the PoolTask::Work; its tasks run on @p pool, or on
 * the global pool when it is null. @p pool must outlive the factory.
 *
 * @code
 * static WorkerRegistration reg(Indexer::staticMetaObject, HashJob::staticMetaObject,
 *     Errand::makePoolTaskFactory<HashJob>([](const HashJob &job) {
 *         return [path = job.path()](PoolTask::Context &context) -> QVariant { return sha256(path, context); };
 *     }));
 * @endcode
 */
template<typename J, typename F>
PoolTaskFactory<J, std::decay_t<F>> *makePoolTaskFactory(F &&f, QThreadPool *pool = nullptr)
{
    return new PoolTaskFactory<J, std::decay_t<F>>(std::forward<F>(f), pool);
}

} // namespace Errand

#endif // ERRAND_POOLTASK_H
