#include "WorkQueue.h"

#include "WorkQueuePrivate.h"
#include "Worker.h"
#include "jobs/AppCall_p.h"
#include "jobs/Connections_p.h"
#include "jobs/DeleteGuard_p.h"
#include "jobs/MetaTypes_p.h"
#include "jobs/Task_p.h"

#include <QtCore/QScopeGuard>

namespace {

struct QueueIndexes
{
    int taskFinished;
    int taskStarted;
    int onTaskFinished;
    int onTaskStarted;
};

const QueueIndexes &queueIndexes()
{
    static const QueueIndexes indexes{
        Errand::methodIndex(Task::staticMetaObject, "finished(Job::Error)"),
        Errand::methodIndex(Task::staticMetaObject, "started()"),
        Errand::methodIndex(WorkQueue::staticMetaObject, "onTaskFinished(Job::Error)"),
        Errand::methodIndex(WorkQueue::staticMetaObject, "onTaskStarted()"),
    };
    return indexes;
}

} // namespace

bool WorkQueuePrivate::enqueueAndAnnounce(Task *task, uint priority)
{
    Q_Q(WorkQueue);
    if (!task)
        return false;
    const QueueIndexes &idx = queueIndexes();
    Errand::connectByIndex(task, idx.taskFinished, q, idx.onTaskFinished);
    Errand::connectByIndex(task, idx.taskStarted, q, idx.onTaskStarted);

    // Our own reference keeps the task alive until queued() has been delivered, even if it
    // finishes inside start() and the queue (and a const job) no longer hold it.
    const WorkQueue::TaskPtr ptr(task);
    const Errand::DeleteGuard self(*this);
    announcing.append(task);
    enqueue(task, priority);
    if (self.deleted()) // by start() or abort(), or a handler of what they emit: queued all the same
        return true;
    announcing.removeLast(); // nested enqueue() calls have popped their own entries
    Q_EMIT q->queued(ptr, priority);
    return true;
}

WorkQueue::WorkQueue(Worker *worker, bool autoAbort, QObject *parent)
    : QObject(*new WorkQueuePrivate(worker, autoAbort), parent)
{
    Errand::registerEnumMetaTypes();
}

WorkQueue::WorkQueue(WorkQueuePrivate &dd, QObject *parent)
    : QObject(dd, parent)
{
    Errand::registerEnumMetaTypes();
}

WorkQueue::~WorkQueue()
{
    Q_D(WorkQueue);
    // A slot on destroyed() runs after this and may finish a held task: it must not reach us.
    for (auto it = d->queue.cbegin(), end = d->queue.cend(); it != end; ++it)
        disconnect(it.value().data(), nullptr, this, nullptr);
}

bool WorkQueue::enqueue(Job &job, uint priority)
{
    Q_D(WorkQueue);
    if (!d->worker)
        return false;
    // The factory, or a handler of what attaching emits, may delete this queue or the job.
    const Errand::DeleteGuard self(*d), jobAlive(job);
    const std::optional<QString> thrown = Errand::thrownBy([&] { d->worker->prepare(job); });
    if (self.deleted() || jobAlive.deleted())
        return false;
    if (thrown) { // a factory that throws made no task, even if the job holds an earlier one
        Errand::warnThrown("WorkQueue", job.name(), "its factory", *thrown);
        return false;
    }
    return d->enqueueAndAnnounce(job.task(), priority);
}

bool WorkQueue::enqueue(const Job &job, uint priority)
{
    Q_D(WorkQueue);
    if (!d->worker)
        return false;
    const Errand::DeleteGuard self(*d);
    Task *task = Errand::makeTask("WorkQueue", job, [&] { return d->worker->createTask(job); });
    if (!self.deleted())
        return d->enqueueAndAnnounce(task, priority);
    Errand::releaseUnclaimed(task);
    return false;
}

bool WorkQueue::dequeue(const Job &job)
{
    Q_D(WorkQueue);
    Task *task = job.task();
    if (!task)
        return false;
    disconnect(task, nullptr, this, nullptr);
    // Ours until taskRemoved() is delivered: the queue's reference goes in the private dequeue(),
    // and starting the next task may make a handler delete the job.
    const TaskPtr removed(task);
    const Errand::DeleteGuard self(*d);
    const bool done = d->dequeue(task);
    if (done && !self.deleted())
        Q_EMIT taskRemoved(removed);
    return done;
}

void WorkQueue::startQueue()
{
    Q_D(WorkQueue);
    d->startQueue();
}

QList<WorkQueue::TaskPtr> WorkQueue::queue() const
{
    Q_D(const WorkQueue);
    QList<TaskPtr> tasks;
    tasks.reserve(d->queue.size());
    for (auto it = d->queue.cbegin(), end = d->queue.cend(); it != end; ++it)
        tasks.append(it.value());
    return tasks;
}

Task *WorkQueue::current() const
{
    Q_D(const WorkQueue);
    return d->current;
}

QList<WorkQueue::TaskPtr> WorkQueue::running() const
{
    Q_D(const WorkQueue);
    QList<TaskPtr> tasks;
    tasks.reserve(d->runningCount());
    if (d->current)
        tasks.append(TaskPtr(d->current));
    for (Task *task : d->otherRunning)
        tasks.append(TaskPtr(task));
    return tasks;
}

int WorkQueue::maxRunning() const
{
    Q_D(const WorkQueue);
    return d->maxRunning;
}

void WorkQueue::setMaxRunning(int count)
{
    Q_D(WorkQueue);
    if (count < 1) {
        qWarning("[WorkQueue]: ignoring maxRunning below 1 (%d)", count);
        return;
    }
    const bool more = count > d->maxRunning;
    d->maxRunning = count;
    if (more)
        d->startQueue();
}

Worker *WorkQueue::worker() const
{
    Q_D(const WorkQueue);
    return d->worker;
}

void WorkQueue::setWorker(Worker *worker)
{
    Q_D(WorkQueue);
    if (worker == d->worker)
        return;
    if (d->worker) {
        for (auto it = d->queue.cbegin(), end = d->queue.cend(); it != end; ++it)
            disconnect(it.value().data(), nullptr, this, nullptr);
        d->clearQueue();
    }
    d->worker = worker;
}

uint WorkQueue::priority(const Task *task) const
{
    Q_D(const WorkQueue);
    return d->priorities.value(task).priority;
}

bool WorkQueue::autoAbort() const
{
    Q_D(const WorkQueue);
    return d->autoAbort;
}

void WorkQueue::setAutoAbort(bool autoAbort)
{
    Q_D(WorkQueue);
    d->autoAbort = autoAbort;
}

double WorkQueue::progress() const
{
    Q_D(const WorkQueue);
    if (d->queue.isEmpty())
        return 1.0;
    double done = double(d->finishedSinceEmpty + d->reporting.size());
    const auto add = [d, &done](const Task *task) {
        if (task && !d->reporting.contains(task))
            done += task->isFinished() ? 1.0 : Errand::TaskExtra::fraction(*task);
    };
    add(d->current);
    for (const Task *task : d->otherRunning)
        add(task);
    return done / double(d->finishedSinceEmpty + d->queue.size());
}

int WorkQueue::taskTimeout() const
{
    Q_D(const WorkQueue);
    return d->taskTimeout;
}

void WorkQueue::setTaskTimeout(int msec)
{
    Q_D(WorkQueue);
    if (msec < 0) {
        qWarning("[WorkQueue]: ignoring negative task timeout (%d)", msec);
        return;
    }
    d->taskTimeout = msec;
}

void WorkQueue::abortAll()
{
    Q_D(WorkQueue);
    // Our references keep every task alive whatever the handlers of their finish do.
    const QList<TaskPtr> held = queue();
    if (held.isEmpty())
        return;
    const QList<TaskPtr> running = this->running();
    for (const TaskPtr &task : held)
        d->aborting.insert(task.data());
    const Errand::DeleteGuard self(*d);
    {
        ++d->abortingAll;
        const auto restore = qScopeGuard([&] {
            if (!self.deleted())
                --d->abortingAll;
        });
        // The waiting tasks from the last to the first: each one that finishes comes off the end
        // of those still waiting, whose order no view then has to change. The running ones last,
        // in the same order, so that the current one is the last to finish.
        for (auto it = held.crbegin(); it != held.crend() && !self.deleted(); ++it) {
            if (!running.contains(*it))
                d->abortHeld(it->data());
        }
        for (auto it = running.crbegin(); it != running.crend() && !self.deleted(); ++it)
            d->abortHeld(it->data());
    }
    if (!self.deleted())
        d->startQueue(); // what handlers queued meanwhile
}

bool WorkQueue::event(QEvent *event)
{
    Q_D(WorkQueue);
    if (event->type() != Errand::progressEventType())
        return QObject::event(event);
    d->progressPosted = false;
    const double now = progress();
    if (now != d->shownProgress) {
        d->shownProgress = now;
        Q_EMIT progressChanged(now);
    }
    return true;
}

void WorkQueue::connectNotify(const QMetaMethod &signal)
{
    Q_D(WorkQueue);
    QObject::connectNotify(signal);
    static const QMetaMethod progressSignal = QMetaMethod::fromSignal(&WorkQueue::progressChanged);
    if (d->progressWatched || signal != progressSignal)
        return;
    d->progressWatched = true;
    d->shownProgress = progress();
    d->watchRunning(d->current);
    for (Task *task : d->otherRunning)
        d->watchRunning(task);
}

void WorkQueue::onTaskStarted()
{
    Q_D(WorkQueue);
    bool held = false;
    Task *task = qobject_cast<Task *>(d->deliveringSender(&held));
    const Errand::DeleteGuard self(*d);
    Q_EMIT started();
    static const QMetaMethod taskStartedSignal = QMetaMethod::fromSignal(&WorkQueue::taskStarted);
    if (task && !self.deleted() && isSignalConnected(taskStartedSignal))
        Q_EMIT taskStarted(TaskPtr(task));
}

void WorkQueue::onTaskFinished(Job::Error err)
{
    Q_D(WorkQueue);
    bool held = false;
    QObject *sender = d->deliveringSender(&held);
    if (!sender || d->queue.isEmpty())
        return;
    // A connected sender is alive now; take its Task side before handlers run.
    Task *task = qobject_cast<Task *>(sender);
    disconnect(sender, nullptr, this, nullptr);
    const Errand::DeleteGuard self(*d);
    if (held)
        d->reporting.append(task); // done, for progress(), while handlers run
    Q_EMIT finished(err);
    if (self.deleted())
        return;
    Q_EMIT taskFinished(TaskPtr(task), err);
    if (self.deleted())
        return;
    // Unless a handler dequeued it: counted before the removal, which may empty the queue and
    // start the count over.
    if (d->endReport(task))
        ++d->finishedSinceEmpty;
    d->dequeue(task);
}
