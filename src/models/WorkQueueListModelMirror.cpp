// The list model's fast path: how it follows the queue without scanning its rows.
//
// The invariant. While `tracking` is set, the unfinished block mirrors the queue: every row holds
// a task, under the key (priority, sequence) the queue holds it with, in the queue's order, and
// none of those tasks has finished. The only tasks the queue holds without a row are those being
// announced (queued() not yet delivered) and a few `departing` ones, already moved to the
// finished block, that the queue drops when their finished() emission returns.
//
// What it buys. A queued task is placed by a binary search over the keys (placeTracked()), and a
// finish touches only the rows of the tasks that can have finished (finishTracked()), instead of
// scanning the rows and copying the queue.
//
// How it is kept. Every slot first re-checks the mirror from counts alone (stillTracking()): the
// queue's sizes and its enqueue counter tell whether it changed in any way the model was not told
// of. Every step the model takes itself checks that its own signals came back with exactly its
// own changes (the `epoch` counter). Whenever a check fails (an application edited the unfinished
// rows, the queue dropped a task without telling, a task was queued twice, a slot re-entered the
// model...), `tracking` is cleared and the slots run the plain algorithms of
// WorkQueueListModel.cpp, which are the reference behaviour; the outermost operation then
// re-proves the mirror in one pass over the queue (resync()). The fuzzer runs every input both
// ways and compares every signal.

#include "WorkQueueListModel_p.h"
#include "queue/QObjectInternals_p.h"

#include <algorithm>

namespace {

// How many held tasks without a row the mirror tolerates; each one is checked on every slot.
constexpr int MaxDeparting = 8;

// True when @p sequence was handed out after @p seen, with @p counter the queue's counter now.
bool isNewSequence(uint sequence, uint seen, uint counter)
{
    return sequence - seen - 1u < counter - seen;
}

} // namespace

int WorkQueueListModelPrivate::lowerBound(const TaskPrio &key) const
{
    return rows.partitionPoint(unfinishedCount(), [&key](const TaskPrio &row) { return row < key; });
}

int WorkQueueListModelPrivate::rowOf(const Task *task, const TaskPrio &key) const
{
    // Mostly the head of the queue finishes: try the first row before searching.
    const int row = unfinishedCount() > 0 && rows.front().key == key ? 0 : lowerBound(key);
    if (row == unfinishedCount())
        return -1;
    const Row &found = rows[row];
    return found.key == key && found.task.data() == task ? row : -1;
}

int WorkQueueListModelPrivate::placementRow(uint priority) const
{
    // The first row whose priority is lower: the keys run in the queue's order, so the
    // priorities never rise along the unfinished block.
    return rows.partitionPoint(unfinishedCount(), [priority](const TaskPrio &row) { return row.priority >= priority; });
}

bool WorkQueueListModelPrivate::stillTracking(const WorkQueuePrivate *qd, const Task *announced, bool *departingHeld)
{
    if (!tracking)
        return false;
    // The queue holds one entry per tracked row, per task being announced and per departing
    // task it still holds. Every entry it added since the last check took a new sequence
    // number, so each new number must belong to a task being announced; then an entry that
    // left without our knowing would show as a missing one. (Both containers of the queue keep
    // one entry per task unless a task is held twice, which their sizes reveal.)
    int expected = unfinishedCount();
    for (int i = 0; i < departing.size();) {
        const auto it = qd->priorities.constFind(departing.at(i).task);
        if (it != qd->priorities.cend() && *it == departing.at(i).key) {
            ++expected;
            if (departingHeld)
                *departingHeld = true;
            ++i;
        } else {
            departing.remove(i);
        }
    }

    QVarLengthArray<const Task *, 8> seen;
    uint fresh = 0;
    const auto account = [&](const Task *task) {
        if (seen.contains(task))
            return false; // the same task announced twice at once
        seen.append(task);
        const auto it = qd->priorities.constFind(task);
        if (it == qd->priorities.cend())
            return true; // already gone again (finished inside start())
        for (const Departing &gone : departing) {
            if (gone.task == task)
                return false;
        }
        ++expected;
        if (isNewSequence(it->sequence, counterSeen, qd->counter))
            ++fresh;
        return true;
    };
    for (const Task *task : qd->announcing) {
        if (!account(task))
            return false;
    }
    if (announced && !account(announced))
        return false;

    if (qd->counter - counterSeen != fresh || qd->queue.size() != expected || qd->priorities.size() != expected)
        return false;
    counterSeen = qd->counter;
    return true;
}

void WorkQueueListModelPrivate::resync()
{
    tracking = false;
    ++resyncs;
    const WorkQueue *q = queue.data();
    if (!q)
        return;
    const WorkQueuePrivate *qd = queuePrivate(q);
    // (A slot that shrinks the rows while a finished row is being placed can leave the finished
    // count beyond the rows; the plain algorithms cope with that, the mirror does not.)
    if (qd->priorities.size() != qd->queue.size() || finishedCount < 0 || unfinishedCount() < 0)
        return;
    const auto stale = [qd](const Task *task) {
        return !task || task->isFinished() || !qd->priorities.contains(task);
    };
    if (staleRow >= 0 && staleRow < unfinishedCount() && stale(rows[staleRow].task.data()))
        return;
    staleRow = -1;

    // Walk the queue's entries and the unfinished rows together: each row must take the next
    // entries in order, and the entries it skips are tasks being announced or departing ones.
    departing.clear();
    const auto skip = [&](const QMap<TaskPrio, WorkQueue::TaskPtr>::const_iterator &entry) {
        const Task *task = entry.value().data();
        if (qd->announcing.contains(task))
            return true;
        if (departing.size() >= MaxDeparting)
            return false;
        departing.append(Departing{task, entry.key()});
        return true;
    };
    auto entry = qd->queue.cbegin();
    const auto end = qd->queue.cend();
    const int unfinished = unfinishedCount();
    for (int r = 0; r < unfinished; ++r) {
        const Task *task = rows[r].task.data();
        if (stale(task)) {
            staleRow = r;
            return;
        }
        if (qd->announcing.contains(task))
            return;
        const auto key = qd->priorities.constFind(task);
        while (entry != end && entry.key() < *key) {
            if (!skip(entry))
                return;
            ++entry;
        }
        if (entry == end || !(entry.key() == *key) || entry.value().data() != task)
            return;
        rows.update(r, [&key](Row &row) { row.key = *key; });
        ++entry;
    }
    for (; entry != end; ++entry) {
        if (!skip(entry))
            return;
    }
    counterSeen = qd->counter;
    tracking = true;
}

bool WorkQueueListModelPrivate::placeTracked(const WorkQueuePrivate *qd, const WorkQueue::TaskPtr &ptr, uint prio,
                                             int *row, TaskPrio *key)
{
    *row = placementRow(prio);
    // The new row keeps the block in the queue's order only for a held, unfinished task whose
    // key falls between its neighbours' (a task announced after a later one has been
    // announced, for instance, does not).
    const auto held = ptr ? qd->priorities.constFind(ptr.data()) : qd->priorities.cend();
    const bool inOrder = held != qd->priorities.cend() && !ptr->isFinished()
                         && (*row == 0 || rows[*row - 1].key < *held)
                         && (*row == unfinishedCount() || *held < rows[*row].key);
    if (inOrder)
        *key = *held;
    else
        tracking = false;
    return inOrder;
}

// The reference pass of reorder(), while the unfinished block mirrors the queue. Then the pass
// finds every listed task in its row, and what it does is decided by the tasks that have
// finished: those whose finish the queue is delivering, its running tasks and tasks being
// announced. (A waiting task changes state only through its own methods, and a finish reaches
// the queue at once through the connection it made: the one thing that escapes this is a handler
// of a waiting task's own signals that finishes a second held task before the queue has heard of
// the first finish.) Only those rows are touched; false, before any change, when a candidate has
// no row where the mirror puts it.
bool WorkQueueListModelPrivate::finishTracked(const Pass &pass)
{
    struct Step
    {
        const Task *task;
        TaskPrio key;
        bool announced;
    };
    QVarLengthArray<Step, 4> steps;
    const auto consider = [&](const Task *candidate, bool announced) {
        for (const Step &step : steps) {
            if (step.task == candidate)
                return true;
        }
        if (!announced && pass.qd->announcing.contains(candidate))
            return true;
        const auto held = pass.qd->priorities.constFind(candidate);
        if (held == pass.qd->priorities.cend())
            return true;
        if (!candidate->isFinished())
            return true;
        if (announced ? placedEarly.contains(candidate) : false)
            return true;
        if (!announced && rowOf(candidate, *held) < 0)
            return false;
        steps.append(Step{candidate, *held, announced});
        return true;
    };
    for (const Task *task : pass.qd->announcing)
        consider(task, true);
    // A running task is held, so alive: an unfinished one needs no lookup.
    if (pass.qd->current && pass.qd->current->isFinished() && !consider(pass.qd->current, false))
        return false;
    for (const Task *task : pass.qd->otherRunning) {
        if (task->isFinished() && !consider(task, false))
            return false;
    }
    // The queue's deliveries in progress, latest first. Senders are compared by address
    // only (one may have been deleted meanwhile). With no emission of the queue in progress
    // but the one that called us, only the latest delivery can be an unhandled finish.
    if (const QObjectPrivate::ConnectionData *cd = QObjectPrivate::get(pass.queue)->connections.loadRelaxed()) {
        const bool nested = cd->ref.loadRelaxed() > 2;
        for (const QObjectPrivate::Sender *s = cd->currentSender; s; s = nested ? s->previous : nullptr) {
            if (!consider(reinterpret_cast<const Task *>(s->sender), false))
                return false;
        }
    }
    if (steps.isEmpty())
        return true;
    std::sort(steps.begin(), steps.end(), [](const Step &a, const Step &b) { return a.key < b.key; });

    // The queue's order as the pass started (a shared copy, so free unless the queue
    // changes meanwhile), for the pass to go on over if one of our signals re-enters us.
    const QMap<TaskPrio, WorkQueue::TaskPtr> listed = pass.qd->queue;
    for (const Step &step : steps) {
        const quint64 before = epoch;
        quint64 own = 1;
        if (step.announced) {
            placeEarly(listed.constFind(step.key).value(), pass.operation);
            own = 3;
        } else {
            finishRow(rowOf(step.task, step.key), unfinishedCount());
        }
        if (pass.gone())
            return true;
        departing.append(Departing{step.task, step.key});
        if (epoch != before + own) {
            // A slot changed the rows meanwhile: the plain pass goes on over the rest of the
            // queue, searching from the top, since the cursor no longer tells anything.
            QList<WorkQueue::TaskPtr> rest;
            for (auto it = listed.upperBound(step.key); it != listed.cend(); ++it)
                rest.append(it.value());
            reorder(pass, rest, 0);
            break;
        }
    }
    return true;
}
