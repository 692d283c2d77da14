#ifndef ERRAND_WORKQUEUELISTMODEL_P_H
#define ERRAND_WORKQUEUELISTMODEL_P_H

#include "WorkQueue.h"
#include "WorkQueueListModel.h"
#include "WorkQueuePrivate.h"

#include <QtCore/QHash>
#include <QtCore/QPointer>
#include <QtCore/QVarLengthArray>

#include "ChunkedVector_p.h"
#include "jobs/DeleteGuard_p.h"

class WorkQueueListModel;

/** A row of the list model: its task, and where it stands in the queue while it mirrors it. */
struct WorkQueueListRow
{
    WorkQueue::TaskPtr task;
    TaskPrio key; // meaningful in the unfinished block while tracking
    // The task the row is inserted for, until setData() stores it (see placeRow()).
    const Task *placing = nullptr;

    // The rows are searched by key.
    struct Key
    {
        TaskPrio operator()(const WorkQueueListRow &row) const noexcept { return row.key; }
    };
};
Q_DECLARE_TYPEINFO(WorkQueueListRow, Q_MOVABLE_TYPE);

/**
 * The model's state.
 *
 * The rows live in a chunked vector, so that placing a task anywhere in the unfinished block
 * and moving a finishing row to the finished block cost the same for any number of rows.
 * WorkQueueListModel.cpp holds the public class and the plain algorithms, which are the
 * reference behaviour; WorkQueueListModelMirror.cpp holds the fast path, used while `tracking`
 * says that the unfinished block mirrors the queue, with the invariant that proves it.
 */
class WorkQueueListModelPrivate
{
public:
    using Row = WorkQueueListRow;

    // A task moved out of the unfinished block (or placed straight into the finished one) that
    // the queue still holds until its finished() emission returns.
    struct Departing
    {
        const Task *task;
        TaskPrio key;
    };

    // Marks a slot or public operation of the model as running; the outermost one re-proves the
    // mirror on its way out if it had to give it up. A slot connected to one of our signals, or
    // an override of our virtual row operations, may delete the model meanwhile: the operation
    // then returns at once without touching it.
    class Operation
    {
    public:
        explicit Operation(WorkQueueListModelPrivate *d) : d(d), guard(*d)
        {
            ++d->depth;
            ++d->epoch;
        }
        ~Operation()
        {
            if (!guard.deleted() && --d->depth == 0 && !d->tracking && !d->referenceOnly)
                d->resync();
        }
        bool modelGone() const { return guard.deleted(); }
        Q_DISABLE_COPY(Operation)

    private:
        WorkQueueListModelPrivate *const d;
        const Errand::DeleteGuard guard;
    };

    ~WorkQueueListModelPrivate();

    static WorkQueueListModelPrivate *get(WorkQueueListModel *model) { return model->d; }
    static const WorkQueuePrivate *queuePrivate(const WorkQueue *queue)
    {
        return static_cast<const WorkQueuePrivate *>(QObjectPrivate::get(queue));
    }

    // One finish being reported by @c queue, inside the slot's @c operation.
    struct Pass
    {
        const WorkQueue *queue;
        const WorkQueuePrivate *qd;
        const Operation &operation;
        const QPointer<WorkQueue> &followed; // the model's; read only while the model exists
        // A slot connected to our signals may delete the model or the queue, or make the model
        // follow another: the pass stops then.
        bool gone() const { return operation.modelGone() || followed.data() != queue; }
    };

    // Makes the model run its reference algorithms only, as the oracle that the fast path is
    // checked against (the fuzzer runs every input both ways and compares the signals).
    void forceReference()
    {
        referenceOnly = true;
        tracking = false;
    }

    int unfinishedCount() const { return rows.size() - finishedCount; }
    QModelIndex indexOf(int row) const;

    // The model's own calls to its virtual row operations carry a token, so that the base
    // implementations can tell them from an application's edits.
    bool takeToken() { return std::exchange(internalCall, false); }
    bool callInsertRows(int row, int count = 1);
    bool callSetData(int row, Task *task);
    bool callRemoveRows(int row, int count);
    // Inserts a row for @p task at @p row, then stores the task in it; the row that got it, or
    // -1. Until then the row is marked as the task's: a slot on rowsInserted() may place or
    // finish tasks, nested, which then see where the task belongs, and may move the row.
    int placeRow(int row, Task *task, const Operation &operation);
    // The row marked for @p task by placeRow() or setWorkQueue() whose task is not stored yet.
    int placingRow(const Task *task) const
    {
        return rows.findFrom(0, rows.size(), [task](const Row &r) { return !r.task && r.placing == task; });
    }
    // The row holds @p task, or is being placed for it.
    static bool holds(const Row &row, const Task *task)
    {
        return row.task ? row.task.data() == task : row.placing == task;
    }

    // The steps of a finish, shared by both paths. finishRow() makes the row of a finishing task
    // the first finished one; placeEarly() adds a finished row for a task finished before it was
    // announced; reorder() is the plain pass over @p tasks with the row cursor at @p r.
    void finishRow(int r, int unfinished);
    void placeEarly(const WorkQueue::TaskPtr &ptr, const Operation &operation);
    void reorder(const Pass &pass, const QList<WorkQueue::TaskPtr> &tasks, int r);

    // The fast path (WorkQueueListModelMirror.cpp). placeTracked() finds the row of a queued
    // task and its key, or clears tracking; finishTracked() is reorder() on the mirror, false
    // (before any change) when the mirror cannot place a finishing task.
    bool placeTracked(const WorkQueuePrivate *qd, const WorkQueue::TaskPtr &ptr, uint prio, int *row, TaskPrio *key);
    bool finishTracked(const Pass &pass);

    // Row lookups over the unfinished block, valid while tracking.
    int lowerBound(const TaskPrio &key) const;
    int rowOf(const Task *task, const TaskPrio &key) const;
    int placementRow(uint priority) const;

    // Checks, from counts alone, that the queue holds exactly the tracked rows, the tasks being
    // announced and the departing tasks it has not dropped yet. Drops departed entries.
    bool stillTracking(const WorkQueuePrivate *queue, const Task *announced, bool *departingHeld);
    // Re-proves the mirror in one pass over rows and queue; sets tracking on success.
    void resync();

    void moveRow(int from, int to);

    WorkQueueListModel *q = nullptr;
    QPointer<WorkQueue> queue;
    ChunkedVector<Row, 128, Row::Key> rows;
    int finishedCount = 0;
    uint maxFinishedTasks = 10;

    // Tasks that finished before the queue announced them with queued(): their finished row
    // was placed when they finished, and their announcement, when it comes, adds nothing.
    QHash<const Task *, WorkQueue::TaskPtr> placedEarly;

    bool tracking = false;
    bool referenceOnly = false;
    bool internalCall = false;
    // The tasks of the rows our next insertRows() makes, in order (see placeRow()).
    QVarLengthArray<const Task *, 1> placing;
    int depth = 0;
    // Counts every change of the rows, the finished count or placedEarly, and every entry into
    // an operation: a step that sees more than its own changes was re-entered.
    quint64 epoch = 0;
    // How often the mirror had to be re-proved: an operation that the fast path handles whole
    // leaves it alone, which the fuzzer checks.
    quint64 resyncs = 0;
    uint counterSeen = 0;
    // A row that made the last resync() fail by itself (no task, a finished task or one the
    // queue does not hold, as a dequeued task's row): while it stays so, resync() fails at once.
    int staleRow = -1;
    QVarLengthArray<Departing, 4> departing;

private:
    friend class Errand::DeleteGuard;
    // The calls running on the model, told by the destructor that it is gone.
    mutable Errand::DeleteGuard *m_deleteGuards = nullptr;
};

#endif // ERRAND_WORKQUEUELISTMODEL_P_H
