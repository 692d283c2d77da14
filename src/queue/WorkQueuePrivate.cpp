#include "WorkQueuePrivate.h"

#include "jobs/AppCall_p.h"
#include "jobs/DeleteGuard_p.h"
#include "jobs/Task_p.h"
#include "queue/QObjectInternals_p.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QScopeGuard>

#include <algorithm>

namespace {

// How deep start() -> finished -> start() may nest before further starts are run by the
// outermost pending start() call instead. Deep enough that ordinary chains of synchronous
// tasks drain re-entrantly; shallow enough that thousands of them cannot exhaust the stack.
constexpr int MaxNestedStarts = 64;

} // namespace

WorkQueuePrivate::WorkQueuePrivate(Worker *worker, bool autoAbort)
    : worker(worker)
    , autoAbort(autoAbort)
{
}

WorkQueuePrivate::~WorkQueuePrivate()
{
    Errand::DeleteGuard::objectDeleted(m_deleteGuards);
}

void WorkQueuePrivate::enqueue(Task *task, uint priority)
{
    const TaskPrio key(priority, ++counter);
    queue.insert(key, WorkQueue::TaskPtr(task));
    priorities.insert(task, key);
    progressNews();

    // Bookkeeping is complete: start() or abort() may re-enter the queue from here on.
    if (runningCount() < maxRunning) {
        startQueue();
    } else if (autoAbort) {
        Task *last = lastRunning();
        if (priority > priorities.value(last).priority)
            Errand::callTask("WorkQueue", last, "abort()", [last] { last->abort(); });
    }
}

bool WorkQueuePrivate::dequeue(Task *task)
{
    const auto it = priorities.constFind(task);
    if (it == priorities.cend()) {
        qWarning("[WorkQueue]: internal error, can't find task");
        return false;
    }
    const TaskPrio key = *it;
    priorities.erase(it);
    // Every entry under the key, as QMap::remove() would drop them, but with one descent of the
    // tree instead of one per entry plus a last one that finds nothing. May hand the task to
    // deleteLater(); it stays valid until the event loop runs.
    for (auto entry = queue.find(key); entry != queue.end() && entry.key() == key;)
        entry = queue.erase(entry);
    if (!aborting.isEmpty())
        aborting.remove(task);
    if (!reporting.isEmpty())
        endReport(task);
    for (int i = int(deferredStarts.size()); i-- > 0;) {
        if (deferredStarts.at(i) == task)
            deferredStarts.remove(i);
    }
    if (queue.isEmpty())
        finishedSinceEmpty = 0;
    progressNews();

    if (leaveLane(task))
        startQueue();
    return true;
}

void WorkQueuePrivate::startQueue()
{
    // start() may delete the queue, directly or through a handler of what it emits. A start()
    // that throws fails its task, whose finish starts the next one within this depth.
    const Errand::DeleteGuard self(*this);
    while (!self.deleted() && !abortingAll && runningCount() < maxRunning) {
        Task *task = takeWaiting();
        if (!task)
            return;
        watchRunning(task);
        progressNews();
        // A task that abortAll() aborted finishes through its abort(); it is waited on, not started.
        if (task->isRunning() || (!aborting.isEmpty() && aborting.contains(task)))
            continue;
        Errand::TaskExtra::setQueueTimeout(*task, taskTimeout);

        if (startDepth >= MaxNestedStarts) {
            // Too deep: the start() call below us on the stack runs this one when it returns.
            deferredStarts.append(task);
            continue;
        }

        ++startDepth;
        const auto restoreDepth = qScopeGuard([&] {
            if (!self.deleted())
                --startDepth;
        });
        Errand::callTask("WorkQueue", task, "start()", [task] { task->start(); });
        while (!self.deleted() && !deferredStarts.isEmpty() && startDepth == MaxNestedStarts) {
            Task *next = deferredStarts.front();
            deferredStarts.remove(0);
            if (isRunningHere(next) && !next->isRunning() && !aborting.contains(next))
                Errand::callTask("WorkQueue", next, "start()", [next] { next->start(); });
        }
    }
}

Task *WorkQueuePrivate::takeWaiting()
{
    // The running tasks are held like the others: walk the queue's order past them. Each lane
    // comes in that order too, so the walk meets them one after the other.
    int lanesBefore = 0;
    bool afterCurrent = false;
    for (auto it = queue.cbegin(), end = queue.cend(); it != end; ++it) {
        Task *task = it.value().data();
        if (task == current) {
            afterCurrent = true;
        } else if (lanesBefore < otherRunning.size() && otherRunning.at(lanesBefore) == task) {
            ++lanesBefore;
        } else if (!isRunningHere(task)) { // (the lanes are out of order only for a task held twice)
            if (!current) {
                current = task;
            } else if (!afterCurrent) { // it comes first now
                otherRunning.insert(otherRunning.cbegin(), current);
                current = task;
            } else {
                otherRunning.insert(lanesBefore, task);
            }
            return task;
        }
    }
    return nullptr;
}

bool WorkQueuePrivate::leaveLane(const Task *task)
{
    bool ran = false;
    for (int i = int(otherRunning.size()); i-- > 0;) {
        if (otherRunning.at(i) == task) {
            otherRunning.remove(i);
            ran = true;
        }
    }
    if (task == current) {
        current = otherRunning.isEmpty() ? nullptr : otherRunning.front();
        if (current)
            otherRunning.remove(0);
        ran = true;
    }
    return ran;
}

void WorkQueuePrivate::clearQueue()
{
    current = nullptr;
    otherRunning.clear();
    deferredStarts.clear();
    priorities.clear();
    queue.clear();
    aborting.clear();
    reporting.clear();
    finishedSinceEmpty = 0;
    progressNews();
}

void WorkQueuePrivate::progressNews()
{
    Q_Q(WorkQueue);
    if (!progressWatched || progressPosted)
        return;
    progressPosted = true;
    QCoreApplication::postEvent(q, new QEvent(Errand::progressEventType()));
}

void WorkQueuePrivate::watchRunning(Task *task)
{
    Q_Q(WorkQueue);
    // Cut with the queue's other connections to the task when it leaves, or by the queue's
    // destruction.
    if (progressWatched && task)
        QObject::connect(task, &Task::progressChanged, q, [q] { q->d_func()->progressNews(); });
}

bool WorkQueuePrivate::endReport(const Task *task)
{
    const auto it = std::find(reporting.cbegin(), reporting.cend(), task);
    if (it == reporting.cend())
        return false;
    reporting.erase(it);
    return true;
}

void WorkQueuePrivate::abortHeld(Task *task)
{
    if (priorities.contains(task) && !task->isFinished())
        Errand::callTask("WorkQueue", task, "abort()", [task] { task->abort(); });
}

QObject *WorkQueuePrivate::deliveringSender(bool *held) const
{
    Q_Q(const WorkQueue);
    // QObject::sender() verifies that the sender is still connected by walking every
    // connection made to this queue, one per held task. A held task is connected by
    // construction, so only senders the queue does not hold need that walk. The pointer is
    // compared by address only: a stale queued call may carry a sender that no longer exists.
    // Mostly the sender is a running task, which spares the lookup.
    const ConnectionData *cd = connections.loadRelaxed();
    *held = false;
    if (!cd || !cd->currentSender)
        return nullptr;
    QObject *sender = cd->currentSender->sender;
    const Task *task = reinterpret_cast<const Task *>(sender);
    *held = isRunningHere(task) || priorities.contains(task);
    return *held ? sender : q->sender();
}
