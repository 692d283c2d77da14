#ifndef ERRAND_WORKQUEUEPRIVATE_H
#define ERRAND_WORKQUEUEPRIVATE_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of Errand's stable API. It exists so that subclasses of WorkQueue can
// bring their own private part. It derives from QObjectPrivate, which is Qt's private API: code
// that includes this header is tied to the exact Qt version it was built with (link
// Qt5::CorePrivate or Qt6::CorePrivate) and must be rebuilt whenever Qt changes, even by a
// patch release.
//
// We mean it.
//

#include "errand_export.h"
#include "WorkQueue.h"

#include <QtCore/QHash>
#include <QtCore/QMap>
#include <QtCore/QSet>
#include <QtCore/QVarLengthArray>
#include <QtCore/private/qobject_p.h>

#include <algorithm>

namespace Errand {
class DeleteGuard;
}

/**
 * The ordering key of a queue entry: higher priority first, then earlier sequence.
 * Internal to the library; not exported.
 */
class TaskPrio
{
public:
    constexpr TaskPrio() noexcept = default;
    /** The key of a task queued with @p priority as the queue's @p sequence-th enqueue. */
    constexpr TaskPrio(uint priority, uint sequence) noexcept : priority(priority), sequence(sequence) {}

    /** True if this entry runs before @p other: higher priority, or equal and earlier sequence. */
    constexpr bool operator<(const TaskPrio &other) const noexcept
    {
        return priority > other.priority || (priority == other.priority && sequence < other.sequence);
    }
    /** Same priority and same sequence. */
    constexpr bool operator==(const TaskPrio &other) const noexcept
    {
        return priority == other.priority && sequence == other.sequence;
    }

    /** The priority given at enqueue; higher runs earlier, 0 is the lowest. */
    uint priority = 0;
    /** The queue's counter at enqueue; lower runs earlier within one priority. */
    uint sequence = 0;
};

/**
 * The state of a WorkQueue. Subclasses may override enqueue() and dequeue(); they are called
 * with the queue's bookkeeping rules described on each.
 */
class ERRAND_EXPORT WorkQueuePrivate : public QObjectPrivate
{
    Q_DECLARE_PUBLIC(WorkQueue)

public:
    /** Stores @p worker (not owned, not called) and @p autoAbort; nothing held, counter 0. */
    explicit WorkQueuePrivate(Worker *worker = nullptr, bool autoAbort = false);
    ~WorkQueuePrivate() override;

    /**
     * Places a non-null @p task under (priority, ++counter), then starts waiting tasks if a lane
     * is free, or, with autoAbort and every lane busy, aborts the running task that comes last in
     * queue order if @p priority is strictly higher than that task's. Does not connect the task;
     * the public enqueue() does that.
     */
    virtual void enqueue(Task *task, uint priority);
    /**
     * Removes @p task (releasing the queue's reference) and, if it was running, starts the next.
     * Neither disconnects nor aborts it. False with "[WorkQueue]: internal error, can't find
     * task" if the task is not held.
     */
    virtual bool dequeue(Task *task);

    /**
     * While fewer than maxRunning tasks run, takes the first waiting task in queue order into a
     * lane and starts it unless it already runs; nothing if every lane is busy or no task waits.
     */
    void startQueue();
    /** Drops every held task without disconnecting, aborting or signalling; keeps counter. */
    void clearQueue();

    /** How many tasks run: current (if any) and otherRunning. */
    int runningCount() const { return (current ? 1 : 0) + int(otherRunning.size()); }
    /** Whether @p task is current or in otherRunning. */
    bool isRunningHere(const Task *task) const
    {
        return task == current || std::find(otherRunning.cbegin(), otherRunning.cend(), task) != otherRunning.cend();
    }

    /** Turns jobs into tasks; not owned, may be null. */
    Worker *worker = nullptr;
    /**
     * Whether queuing a strictly higher priority, while every lane is busy, aborts the running
     * task that comes last in queue order.
     */
    bool autoAbort = false;
    /**
     * The running task that comes first in queue order: started (or adopted, if it already ran)
     * and waited on; null while none runs. Held through its entry in @c queue, not by a
     * reference of its own; not necessarily the first entry.
     */
    Task *current = nullptr;
    /** How many tasks the queue keeps running at once; at least 1, 1 by default. */
    int maxRunning = 1;
    /**
     * The other running tasks, after current in queue order, each held through its entry in
     * @c queue. Empty while at most one task runs, so always with a maxRunning of 1.
     */
    QVarLengthArray<Task *, 3> otherRunning;
    /** The enqueue counter: incremented before each enqueue, never reset. */
    uint counter = 0;
    /** Every held task, the running ones included, in run order; one reference each. */
    QMap<TaskPrio, WorkQueue::TaskPtr> queue;
    /** Each held task's key in @c queue. */
    QHash<const Task *, TaskPrio> priorities;

private:
    friend class WorkQueue;
    friend class Errand::DeleteGuard;

    // The sender of the signal being delivered, and whether the queue holds it.
    QObject *deliveringSender(bool *held) const;
    // Connects, places and announces a task for the public enqueue() forms; false for null.
    bool enqueueAndAnnounce(Task *task, uint priority);
    // Progress news: posts the update event, unless nobody watches or one is on its way.
    void progressNews();
    // Takes the first waiting task in queue order into a lane; null if none waits.
    Task *takeWaiting();
    // Takes @p task out of its lane, promoting the next running task to current; false if it
    // ran in none.
    bool leaveLane(const Task *task);
    // The running task that comes last in queue order: the one autoAbort displaces.
    Task *lastRunning() const { return otherRunning.isEmpty() ? current : otherRunning.back(); }
    // Follows a running task's progress while the queue's is watched.
    void watchRunning(Task *task);
    // abortAll()'s one call of a held task's virtual abort().
    void abortHeld(Task *task);
    // Ends the report of a task's finish; false if it was not being reported.
    bool endReport(const Task *task);

    // Bounds the depth of synchronous start() -> finished -> start() chains; see startQueue().
    int startDepth = 0;
    // Tasks taken into a lane too deep in such a chain, in order: started when it unwinds.
    QVarLengthArray<Task *, 1> deferredStarts;
    // Tasks finished here since the queue was last empty: the F of progress().
    qint64 finishedSinceEmpty = 0;
    // Held tasks whose finish onTaskFinished() is reporting: progress() counts them as done.
    QVarLengthArray<const Task *, 2> reporting;
    // The value progressChanged() last carried.
    double shownProgress = 1.0;
    bool progressWatched = false;
    bool progressPosted = false;
    int taskTimeout = 0;
    // Inside abortAll(): nothing starts.
    int abortingAll = 0;
    // Tasks abortAll() aborted that have not finished yet: never started, only adopted.
    QSet<const Task *> aborting;
    // The calls running on this queue that start, abort or emit, told by the destructor that it
    // is gone.
    mutable Errand::DeleteGuard *m_deleteGuards = nullptr;

public:
    /**
     * Tasks placed by the public enqueue() whose queued() has not been emitted yet (the calls
     * still on the stack). A list model uses it to tell a task it has not been told about from
     * a real inconsistency.
     */
    QVarLengthArray<const Task *, 4> announcing;
};

#endif // ERRAND_WORKQUEUEPRIVATE_H
