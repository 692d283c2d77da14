#include "ErrandFuture.h"

#include <QtCore/QEventLoop>
#include <QtCore/QFutureInterface>
#include <QtCore/QFutureWatcher>
#include <QtCore/QPointer>
#include <QtCore/QThread>
#include <QtCore/QTimer>

#include <atomic>

namespace Errand {

TaskError::TaskError(Job::Error error, const QString &errorString)
    : m_error(error)
    , m_errorString(errorString)
    , m_what(errorString.toUtf8())
{ }

const char *TaskError::what() const noexcept
{
    return m_what.constData();
}

void TaskError::raise() const
{
    throw *this;
}

TaskError *TaskError::clone() const
{
    return new TaskError(*this);
}

namespace {

// Reports how a task ended into @p interface, and finishes it.
void reportOutcome(QFutureInterface<QVariant> &interface, const Outcome &outcome)
{
    if (outcome.error == Job::NoError)
        interface.reportResult(outcome.result);
    else if (outcome.error == Job::Failed)
        interface.reportException(TaskError(outcome.error, outcome.errorString));
    else
        interface.reportCanceled();
    interface.reportFinished();
}

// Carries one task's end into a future. It lives in the task's thread: the task's signals
// reach it directly, and its watcher hears of a cancelled future through that thread's event
// loop, where aborting the task is safe. It goes once it has reported.
class FutureBridge : public QObject
{
public:
    explicit FutureBridge(Task *task)
        : m_task(task)
    {
        m_interface.reportStarted();
        m_watcher.setFuture(m_interface.future());
        connect(&m_watcher, &QFutureWatcherBase::canceled, this, [this] {
            if (m_task && !m_task->isFinished())
                m_task->abort();
        });
    }

    QFuture<QVariant> future() { return m_interface.future(); }

    // Reports the end once, whichever thread sees it first.
    void report(const Outcome &outcome)
    {
        if (m_reported.exchange(true, std::memory_order_acq_rel))
            return;
        reportOutcome(m_interface, outcome);
        // The watcher belongs to the bridge's thread, which its events reach meanwhile: an end
        // seen in another (a task that finished while toFuture() connected) lets go of it there.
        if (thread() == QThread::currentThread())
            release();
        else
            QMetaObject::invokeMethod(
                this, [this] { release(); }, Qt::QueuedConnection);
    }

private:
    // Lets go of the future now rather than when deleted: its results then belong to whoever
    // holds the future, released in that thread.
    void release()
    {
        m_watcher.setFuture(QFuture<QVariant>());
        m_interface = QFutureInterface<QVariant>();
        deleteLater();
    }

    QFutureInterface<QVariant> m_interface;
    QFutureWatcher<QVariant> m_watcher { this };
    const QPointer<Task> m_task;
    std::atomic<bool> m_reported { false };
};

QFuture<QVariant> canceledFuture(const char *warning)
{
    qWarning("%s", warning);
    QFutureInterface<QVariant> interface;
    interface.reportCanceled();
    interface.reportFinished();
    return interface.future();
}

QFuture<QVariant> watchTask(Task *task)
{
    if (task->isFinished()) { // nothing to watch
        QFutureInterface<QVariant> interface(QFutureInterfaceBase::Started);
        reportOutcome(interface, Detail::TaskEndWatch::outcomeOf(*task));
        return interface.future();
    }
    auto *bridge = new FutureBridge(task);
    const QFuture<QVariant> future = bridge->future();
    if (task->thread() != QThread::currentThread())
        bridge->moveToThread(task->thread());
    QObject::connect(
        task, &Task::finished, bridge, [bridge, task] { bridge->report(Detail::TaskEndWatch::outcomeOf(*task)); },
        Qt::DirectConnection);
    QObject::connect(
        task, &QObject::destroyed, bridge, [bridge] { bridge->report(Detail::TaskEndWatch::deletedOutcome()); },
        Qt::DirectConnection);
    // Connected first, looked at second: the bridge reports whichever it sees first.
    if (task->isFinished())
        bridge->report(Detail::TaskEndWatch::outcomeOf(*task));
    return future;
}

// What a wait needs from the watch's callback.
struct Wait
{
    QEventLoop loop;
    bool ended = false;
};

bool waitForTask(Task *task, int msec)
{
    if (task->isFinished())
        return true;
    if (msec == 0)
        return false;
    Wait wait;
    Detail::TaskEndWatch watch;
    const auto ended = [](void *wait) {
        static_cast<Wait *>(wait)->ended = true;
        static_cast<Wait *>(wait)->loop.quit();
    };
    if (!watch.watch(task, ended, &wait))
        return true;
    QTimer timer;
    if (msec > 0) {
        QObject::connect(&timer, &QTimer::timeout, &wait.loop, &QEventLoop::quit);
        timer.start(msec);
    }
    // The loop also ends when the application quits: only the watch says the task has ended.
    wait.loop.exec();
    return wait.ended && !watch.taskDeleted();
}

} // namespace

QFuture<QVariant> toFuture(Job &job)
{
    Task *task = job.task();
    return task ? watchTask(task) : canceledFuture("[toFuture]: the job has no task");
}

QFuture<QVariant> toFuture(const WorkQueue::TaskPtr &task)
{
    return task ? watchTask(task.data()) : canceledFuture("[toFuture]: null task");
}

bool waitForFinished(Job &job, int msec)
{
    Task *task = job.task();
    if (!task) {
        qWarning("[waitForFinished]: the job has no task");
        return false;
    }
    return waitForTask(task, msec);
}

bool waitForFinished(const WorkQueue::TaskPtr &task, int msec)
{
    if (!task) {
        qWarning("[waitForFinished]: null task");
        return false;
    }
    return waitForTask(task.data(), msec);
}

} // namespace Errand
