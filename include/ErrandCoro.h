#ifndef ERRAND_ERRANDCORO_H
#define ERRAND_ERRANDCORO_H

/**
 * @file ErrandCoro.h
 * @c co_await of a Job or a WorkQueue::TaskPtr, for C++20 coroutines.
 *
 * Header-only: include it from code built as C++20 (the library itself is C++17). It needs no
 * coroutine library: any coroutine type whose promise lets plain awaitables through works,
 * QCoro's @c QCoro::Task<> among them.
 *
 * @code
 * QCoro::Task<> indexAll(WorkQueue &queue, HashJob &a, HashJob &b)
 * {
 *     queue.enqueue(a);
 *     queue.enqueue(b);
 *     const Errand::Outcome first = co_await a;
 *     const Errand::Outcome second = co_await b;
 *     if (first.error == Job::NoError && second.error == Job::NoError)
 *         qDebug() << first.result << second.result;
 * }
 * @endcode
 */

#if !defined(__cpp_impl_coroutine)
#error "ErrandCoro.h needs C++20 coroutines: build the code that includes it as C++20"
#endif

#include "ErrandFuture.h"
#include "Job.h"
#include "Task.h"
#include "WorkQueue.h"

#include <QtCore/QtGlobal>

#include <coroutine>
#include <utility>

namespace Errand {

/**
 * What @c co_await of a Job or a WorkQueue::TaskPtr awaits: the end of one task, as an Outcome.
 *
 * The coroutine is resumed exactly once, on the thread that awaited: inside the task's
 * finished() when the task lives in that thread, through that thread's event loop otherwise.
 * It is resumed too when the task is aborted (directly, by its queue or by a timeout), and
 * when the task is deleted before it finishes, with Aborted and the text "task deleted". The
 * awaiter holds no reference to the task, so it never keeps one alive. A task that has finished
 * already gives its outcome without suspending. Destroying a coroutine while it awaits is safe.
 */
class TaskAwaiter
{
public:
    /** Awaits @p task, which must be alive and not null while the awaiter is made. */
    explicit TaskAwaiter(Task *task) noexcept
        : m_task(task)
    { }
    /** Awaits nothing: @p outcome is the result at once. */
    explicit TaskAwaiter(Outcome outcome)
        : m_task(nullptr)
        , m_outcome(std::move(outcome))
    { }

    /** True when there is nothing to wait for: no task, or a finished one. */
    bool await_ready()
    {
        if (m_task && m_task->isFinished()) {
            m_outcome = Detail::TaskEndWatch::outcomeOf(*m_task);
            m_task = nullptr;
        }
        return !m_task;
    }
    /** Watches the task; false (resume at once) if it has finished meanwhile. */
    bool await_suspend(std::coroutine_handle<> handle)
    {
        m_handle = handle;
        return m_watch.watch(m_task, &TaskAwaiter::resume, this);
    }
    /** How the task ended. */
    Outcome await_resume() { return m_task ? m_watch.outcome() : std::move(m_outcome); }

private:
    Q_DISABLE_COPY(TaskAwaiter)

    static void resume(void *awaiter) { static_cast<TaskAwaiter *>(awaiter)->m_handle.resume(); }

    Task *m_task;
    Outcome m_outcome;
    Detail::TaskEndWatch m_watch;
    std::coroutine_handle<> m_handle;
};

} // namespace Errand

/**
 * Awaits the end of the task that @p job holds now (a later attach() does not change which).
 * A job without a task gives NotInit and "Job not initialized" at once, with the warning
 * "[TaskAwaiter]: the job has no task". The job is not used afterwards, so it may be a temporary.
 * Found by argument-dependent lookup, so it lives beside Job in the global namespace.
 */
inline Errand::TaskAwaiter operator co_await(const Job &job)
{
    if (Task *task = job.task())
        return Errand::TaskAwaiter(task);
    qWarning("[TaskAwaiter]: the job has no task");
    return Errand::TaskAwaiter(Errand::Outcome { Job::NotInit, job.errorString(), QVariant() });
}

/**
 * Awaits the end of @p task. A null @p task gives NotInit at once, with the warning
 * "[TaskAwaiter]: null task".
 */
inline Errand::TaskAwaiter operator co_await(const WorkQueue::TaskPtr &task)
{
    if (task)
        return Errand::TaskAwaiter(task.data());
    qWarning("[TaskAwaiter]: null task");
    return Errand::TaskAwaiter(Errand::Outcome { Job::NotInit, QStringLiteral("null task"), QVariant() });
}

#endif // ERRAND_ERRANDCORO_H
