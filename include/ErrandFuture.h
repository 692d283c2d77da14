#ifndef ERRAND_ERRANDFUTURE_H
#define ERRAND_ERRANDFUTURE_H

#include "errand_export.h"
#include "Job.h"
#include "WorkQueue.h"

#include <QtCore/QByteArray>
#include <QtCore/QException>
#include <QtCore/QFuture>
#include <QtCore/QString>
#include <QtCore/QVariant>

#include <memory>

/**
 * @file ErrandFuture.h
 * A task's end as a QFuture, as a value (Errand::Outcome), or waited for in a local event loop.
 */

namespace Errand {

/** How a task ended: what @c co_await of a job or a task gives (see ErrandCoro.h). */
struct Outcome
{
    /** NoError, Failed or Aborted; NotInit when there was no task to wait for. */
    Job::Error error = Job::NotInit;
    /** The task's error text (Task::errorString()). */
    QString errorString;
    /** The task's "result" property; invalid unless the task declares one. */
    QVariant result;
};

/**
 * The exception a future from toFuture() holds when its task failed: QFuture::result() throws
 * it, and on Qt 6 QFuture::onFailed() catches it.
 */
class ERRAND_EXPORT TaskError : public QException
{
public:
    /** An error @p error (Failed, as the futures use it) with the task's text @p errorString. */
    TaskError(Job::Error error, const QString &errorString);

    /** The task's error. */
    Job::Error error() const noexcept { return m_error; }
    /** The task's error text. */
    QString errorString() const { return m_errorString; }
    /** The error text in UTF-8. */
    const char *what() const noexcept override;

    /** Throws a copy of this exception (for QFuture). */
    void raise() const override;
    /** A copy of this exception (for QFuture). */
    TaskError *clone() const override;

private:
    Job::Error m_error;
    QString m_errorString;
    QByteArray m_what;
};

/**
 * A future for the end of the task that @p job holds now; see toFuture(const WorkQueue::TaskPtr &).
 * A job without a task gives a finished, canceled future and the warning
 * "[toFuture]: the job has no task".
 */
ERRAND_EXPORT QFuture<QVariant> toFuture(Job &job);

/**
 * A future for the end of @p task, which must live in a thread that runs an event loop.
 *
 * The future reports the end once: finishing without an error gives the task's "result"
 * property as the future's result; Failed gives a future holding a TaskError, which result()
 * throws; Aborted gives a canceled future without an exception. A task deleted before it
 * finishes ends the future as canceled too: the future never keeps the task alive and never
 * stays pending because the task went. Cancelling the future aborts the task, in the task's
 * thread, unless it has finished by then (a finished task's error stays). A task that has
 * finished already gives a future that has finished already.
 *
 * The future works with QFutureWatcher on Qt 5 and Qt 6, and with QFuture::then(context, ...) on
 * Qt 6. There, give a chain onCanceled() before onFailed(): an aborted task's future is canceled
 * without an exception, and Qt 6.4's failure handler then reads a result that is not there.
 * A null @p task gives a finished, canceled future and the warning "[toFuture]: null task".
 */
ERRAND_EXPORT QFuture<QVariant> toFuture(const WorkQueue::TaskPtr &task);

/**
 * Runs a local event loop until the task that @p job holds now finishes or @p msec milliseconds
 * have passed (a negative @p msec waits without a limit). For tests and console tools.
 *
 * True if the task finished (whatever its error), at once if it has finished already; false on
 * a timeout, or if the task was deleted before finishing. With @p msec 0 it only looks.
 *
 * The usual caveat of nested event loops applies: every event of the thread is delivered while
 * it waits, so handlers, timers and queued calls run inside this call, and may delete objects
 * the caller goes on using; deferred deletions that were requested outside the loop wait until
 * control returns there. Never call it from a slot that an event loop of another job depends on.
 * A job without a task returns false with the warning "[waitForFinished]: the job has no task".
 */
ERRAND_EXPORT bool waitForFinished(Job &job, int msec = -1);

/**
 * As waitForFinished(Job &, int), for @p task. The wait keeps no reference to the task. A null
 * @p task returns false with the warning "[waitForFinished]: null task".
 */
ERRAND_EXPORT bool waitForFinished(const WorkQueue::TaskPtr &task, int msec = -1);

/// @cond INTERNAL
namespace Detail {

// Watches one task without keeping it alive, and calls back once, on the thread that called
// watch(), when the task finishes or is destroyed. The callback comes from inside the task's
// finished() when the task lives in the watching thread, and through that thread's event loop
// otherwise. Destroying the watch stops it: no call comes afterwards. Used by co_await and
// waitForFinished().
class ERRAND_EXPORT TaskEndWatch
{
public:
    using Callback = void (*)(void *context);

    TaskEndWatch();
    ~TaskEndWatch();

    // Starts watching @p task, alive and not null for the duration of this call. False if it
    // has finished already, with outcome() set and no callback to come.
    bool watch(Task *task, Callback callback, void *context);
    // How the task ended; valid once watch() returned false or the callback has come.
    const Outcome &outcome() const;
    // Whether the end was the task's destruction rather than its finish.
    bool taskDeleted() const;

    // The outcome of a task that has finished.
    static Outcome outcomeOf(const Task &task);
    // The outcome of a task destroyed before it finished.
    static Outcome deletedOutcome();

    struct State;

private:
    Q_DISABLE_COPY(TaskEndWatch)
    std::shared_ptr<State> m_state;
};

} // namespace Detail
/// @endcond

} // namespace Errand

#endif // ERRAND_ERRANDFUTURE_H
