#include "WorkQueueListModel.h"

#include "WorkQueueListModel_p.h"

#include <algorithm>

namespace {

// How many held tasks without a row the mirror tolerates; each one is checked on every slot.
constexpr int MaxDeparting = 8;

const WorkQueuePrivate *queuePrivate(const WorkQueue *queue)
{
    return static_cast<const WorkQueuePrivate *>(QObjectPrivate::get(queue));
}

QVariant taskValue(Task *task)
{
    return QVariant::fromValue<QObject *>(task);
}

// True when @p sequence was handed out after @p seen, with @p counter the queue's counter now.
bool isNewSequence(uint sequence, uint seen, uint counter)
{
    return sequence - seen - 1u < counter - seen;
}

void warnReorder()
{
    qWarning("[WorkQueueListModel] failed to reorder tasks (internal error)");
}

} // namespace

// --- WorkQueueListModelPrivate ---------------------------------------------------------------

WorkQueueListModelPrivate::~WorkQueueListModelPrivate()
{
    Errand::DeleteGuard::objectDeleted(m_deleteGuards);
    // The early placements first, then the rows from the last one up: the order in which the
    // tasks whose last reference we hold are handed to deleteLater().
    placedEarly.clear();
    while (!rows.empty())
        rows.popBack();
}

QModelIndex WorkQueueListModelPrivate::indexOf(int row) const
{
    return q->index(row, 0);
}

bool WorkQueueListModelPrivate::callInsertRow(int row)
{
    const Errand::DeleteGuard self(*this);
    internalCall = true;
    const bool inserted = q->insertRows(row, 1, QModelIndex());
    if (self.deleted())
        return false;
    if (std::exchange(internalCall, false))
        tracking = false; // an override did not reach our implementation
    return inserted;
}

bool WorkQueueListModelPrivate::callSetData(int row, Task *task)
{
    const Errand::DeleteGuard self(*this);
    internalCall = true;
    const bool stored = q->setData(indexOf(row), taskValue(task), Qt::DisplayRole);
    if (self.deleted())
        return false;
    if (std::exchange(internalCall, false))
        tracking = false;
    return stored;
}

bool WorkQueueListModelPrivate::callRemoveRows(int row, int count)
{
    const Errand::DeleteGuard self(*this);
    internalCall = true;
    const bool removed = q->removeRows(row, count, QModelIndex());
    if (self.deleted())
        return false;
    if (std::exchange(internalCall, false))
        tracking = false;
    return removed;
}

int WorkQueueListModelPrivate::lowerBound(const TaskPrio &key) const
{
    return rows.partitionPoint(unfinishedCount(), [&key](const Row &row) { return row.key < key; });
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
    return rows.partitionPoint(unfinishedCount(), [priority](const Row &row) { return row.key.priority >= priority; });
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
        Row &row = rows[r];
        const Task *task = row.task.data();
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
        row.key = *key;
        ++entry;
    }
    for (; entry != end; ++entry) {
        if (!skip(entry))
            return;
    }
    counterSeen = qd->counter;
    tracking = true;
}

void WorkQueueListModelPrivate::moveRow(int from, int to)
{
    rows.move(from, to);
}

// --- WorkQueueListModel ----------------------------------------------------------------------

WorkQueueListModel::WorkQueueListModel(WorkQueue *queue, QObject *parent)
    : QAbstractListModel(parent)
    , d(new WorkQueueListModelPrivate)
{
    d->q = this;
    if (queue)
        setWorkQueue(queue);
}

WorkQueueListModel::~WorkQueueListModel()
{
    delete d;
}

WorkQueue *WorkQueueListModel::workQueue() const
{
    return d->queue.data();
}

void WorkQueueListModel::setWorkQueue(WorkQueue *queue)
{
    if (queue == workQueue())
        return;
    const WorkQueueListModelPrivate::Operation operation(d);
    clear();
    if (!queue || operation.modelGone())
        return;

    d->queue = queue;
    connect(queue, SIGNAL(queued(WorkQueue::TaskPtr,uint)), this, SLOT(taskQueued(WorkQueue::TaskPtr,uint)));
    connect(queue, SIGNAL(finished(Job::Error)), this, SLOT(taskFinished()));

    const QList<WorkQueue::TaskPtr> tasks = queue->queue();
    if (tasks.isEmpty())
        return;
    insertRows(0, tasks.size(), QModelIndex());
    for (int row = 0; row < tasks.size() && !operation.modelGone(); ++row)
        setData(index(row, 0), taskValue(tasks.at(row).data()), Qt::DisplayRole);
}

void WorkQueueListModel::clear()
{
    const WorkQueueListModelPrivate::Operation operation(d);
    d->tracking = false;
    if (WorkQueue *queue = d->queue.data()) {
        disconnect(queue, SIGNAL(queued(WorkQueue::TaskPtr,uint)), this, SLOT(taskQueued(WorkQueue::TaskPtr,uint)));
        disconnect(queue, SIGNAL(finished(Job::Error)), this, SLOT(taskFinished()));
    }
    d->queue.clear();
    d->placedEarly.clear();
    d->departing.clear();
    ++d->epoch;
    if (!d->rows.empty())
        removeRows(0, rowCount(), QModelIndex());
    if (!operation.modelGone())
        d->finishedCount = 0;
}

uint WorkQueueListModel::maxFinishedTasks() const
{
    return d->maxFinishedTasks;
}

void WorkQueueListModel::setMaxFinishedTasks(uint count)
{
    if (count == d->maxFinishedTasks)
        return;
    const WorkQueueListModelPrivate::Operation operation(d);
    d->maxFinishedTasks = count;
    checkMaxFinished();
    if (!operation.modelGone())
        Q_EMIT maxFinishedTasksChanged(count);
}

void WorkQueueListModel::checkMaxFinished()
{
    // Compared in 64 bits: a maximum of 2^31 or more means "keep every finished row".
    const qint64 surplus = qint64(d->finishedCount) - qint64(d->maxFinishedTasks);
    if (surplus <= 0)
        return;
    const WorkQueueListModelPrivate::Operation operation(d);
    d->callRemoveRows(d->rows.size() - int(surplus), int(surplus));
}

WorkQueue::TaskPtr WorkQueueListModel::task(int row) const
{
    return row >= 0 && row < d->rows.size() ? d->rows[row].task : WorkQueue::TaskPtr();
}

QModelIndex WorkQueueListModel::parent(const QModelIndex &) const
{
    return QModelIndex();
}

int WorkQueueListModel::rowCount(const QModelIndex &) const
{
    return d->rows.size();
}

int WorkQueueListModel::columnCount(const QModelIndex &) const
{
    return 1;
}

QVariant WorkQueueListModel::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.column() != 0 || index.row() >= d->rows.size())
        return QVariant();
    const Task *task = d->rows[index.row()].task.data();
    return task ? QVariant(task->name()) : QVariant();
}

bool WorkQueueListModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    const bool internal = d->takeToken();
    if (role != Qt::DisplayRole)
        return QAbstractListModel::setData(index, value, role);
    if (!index.isValid() || index.column() != 0 || index.row() >= d->rows.size())
        return false;
    if (!value.canConvert<QObject *>())
        return false;
    Task *task = qobject_cast<Task *>(value.value<QObject *>());
    if (!task)
        return false;
    if (!internal && index.row() < d->unfinishedCount())
        d->tracking = false;
    d->rows[index.row()].task = task;
    ++d->epoch;
    Q_EMIT dataChanged(index, index, QVector<int>());
    return true;
}

bool WorkQueueListModel::insertRows(int row, int count, const QModelIndex &parent)
{
    const bool internal = d->takeToken();
    const int rows = d->rows.size();
    if (parent.isValid() || count < 1 || row < 0 || row > rows)
        return false;
    if (!internal)
        d->tracking = false;
    beginInsertRows(parent, row, row + count - 1);
    d->rows.insertDefault(row, count);
    // The finished block is the trailing run of finished rows: rows inserted inside it cut it.
    if (row > rows - d->finishedCount)
        d->finishedCount = rows - row;
    ++d->epoch;
    endInsertRows();
    return true;
}

bool WorkQueueListModel::removeRows(int row, int count, const QModelIndex &parent)
{
    const bool internal = d->takeToken();
    if (parent.isValid() || count < 1 || row < 0 || row > d->rows.size() - count)
        return false;
    if (!internal && row < d->unfinishedCount())
        d->tracking = false;
    beginRemoveRows(parent, row, row + count - 1);
    // The rows from the first finished one on leave the finished block.
    d->finishedCount -= std::max(0, count - std::max(0, d->unfinishedCount() - row));
    d->rows.erase(row, count);
    ++d->epoch;
    endRemoveRows();
    return true;
}

void WorkQueueListModel::taskQueued(const WorkQueue::TaskPtr &ptr, uint prio)
{
    const WorkQueue *queue = d->queue.data();
    if (!queue)
        return;
    const WorkQueueListModelPrivate::Operation operation(d);
    const WorkQueuePrivate *qd = queuePrivate(queue);
    if (d->depth != 1 || !d->stillTracking(qd, ptr.data(), nullptr))
        d->tracking = false;

    if (ptr && d->placedEarly.remove(ptr.data())) {
        ++d->epoch;
        return;
    }

    int row = d->unfinishedCount();
    TaskPrio key;
    if (d->tracking) {
        row = d->placementRow(prio);
        // The new row keeps the block in the queue's order only for a held, unfinished task
        // whose key falls between its neighbours' (a task announced after a later one has
        // been announced, for instance, does not).
        const auto held = ptr ? qd->priorities.constFind(ptr.data()) : qd->priorities.cend();
        const bool inOrder = held != qd->priorities.cend() && !ptr->isFinished()
                             && (row == 0 || d->rows[row - 1].key < *held)
                             && (row == d->unfinishedCount() || *held < d->rows[row].key);
        if (inOrder)
            key = *held;
        else
            d->tracking = false;
    } else {
        row = d->rows.findFrom(0, row, [queue, prio](const WorkQueueListModelPrivate::Row &r) {
            return r.task && queue->priority(r.task.data()) < prio;
        });
    }

    const quint64 before = d->epoch;
    if (!d->callInsertRow(row) || operation.modelGone())
        return;
    d->callSetData(row, ptr.data());
    if (!operation.modelGone() && d->tracking) {
        if (d->epoch == before + 2 && d->rows[row].task == ptr)
            d->rows[row].key = key;
        else
            d->tracking = false;
    }
}

void WorkQueueListModel::taskFinished()
{
    const WorkQueue *queue = d->queue.data();
    if (!queue)
        return;
    const WorkQueueListModelPrivate::Operation operation(d);
    const WorkQueuePrivate *qd = queuePrivate(queue);
    const auto &announcing = qd->announcing;
    // A slot connected to our signals may delete the model or the queue: the pass stops then.
    const auto gone = [&] { return operation.modelGone() || d->queue.data() != queue; };

    // The finishing task at row r becomes the first finished row.
    const auto finishRow = [this](int r, int unfinished) {
        if (r < unfinished - 1) {
            beginMoveRows(QModelIndex(), r, r, QModelIndex(), unfinished);
            d->moveRow(r, unfinished - 1);
            ++d->finishedCount;
            ++d->epoch;
            endMoveRows();
        } else {
            ++d->finishedCount;
            ++d->epoch;
            const QModelIndex changed = index(r, 0);
            Q_EMIT dataChanged(changed, changed, QVector<int>());
        }
    };
    // A task that finished before it was announced becomes the first finished row now. A slot
    // on our signals may edit the rows meanwhile: the row counts as finished only if it is still
    // the one we inserted, and the announcement adds nothing either way.
    const auto placeEarly = [this, &operation](const WorkQueue::TaskPtr &ptr) {
        const int top = d->unfinishedCount();
        const quint64 before = d->epoch;
        d->placedEarly.insert(ptr.data(), ptr);
        const bool placed = d->callInsertRow(top) && d->epoch == before + 1 && d->callSetData(top, ptr.data())
                            && d->epoch == before + 2;
        if (operation.modelGone())
            return;
        if (placed)
            ++d->finishedCount;
        ++d->epoch;
    };

    // The pass over the queue's tasks @p tasks from position @p from, with the row cursor at
    // @p r: every finished task moves into the finished block, in the queue's order.
    const auto reorder = [&](const QList<WorkQueue::TaskPtr> &tasks, int from, int r) {
        d->tracking = false;
        for (int i = from; i < tasks.size(); ++i) {
            Task *task = tasks.at(i).data();
            if (announcing.contains(task)) {
                // Not announced yet: it gets its row from queued(), unless it has finished
                // already, in which case it becomes the newest finished row now.
                if (task->isFinished() && !d->placedEarly.contains(task)) {
                    placeEarly(tasks.at(i));
                    if (gone())
                        return;
                }
                continue;
            }
            const int unfinished = d->unfinishedCount();
            if (r < unfinished)
                r = d->rows.findFrom(r, unfinished, [task](const WorkQueueListModelPrivate::Row &row) { return row.task.data() == task; });
            if (r >= unfinished) {
                warnReorder();
                return;
            }
            if (task->isFinished()) {
                finishRow(r, unfinished);
                if (gone())
                    return;
            }
        }
    };

    // The same pass while the unfinished block mirrors the queue. Then the pass finds every
    // listed task in its row, and what it does is decided by the tasks that have finished:
    // those whose finish the queue is delivering, its current task and tasks being announced.
    // (A waiting task changes state only through its own methods, and a finish reaches the
    // queue at once through the connection it made: the one thing that escapes this is a
    // handler of a task's own signals that finishes a second held task before the queue has
    // heard of the first finish.) Only those rows are touched; false, before any change, when
    // a candidate has no row where the mirror puts it.
    const auto reorderTracked = [&]() -> bool {
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
            if (!announced && announcing.contains(candidate))
                return true;
            const auto held = qd->priorities.constFind(candidate);
            if (held == qd->priorities.cend())
                return true;
            if (!candidate->isFinished())
                return true;
            if (announced ? d->placedEarly.contains(candidate) : false)
                return true;
            if (!announced && d->rowOf(candidate, *held) < 0)
                return false;
            steps.append(Step{candidate, *held, announced});
            return true;
        };
        for (const Task *task : announcing)
            consider(task, true);
        if (qd->current && !consider(qd->current, false))
            return false;
        // The queue's deliveries in progress, latest first. Senders are compared by address
        // only (one may have been deleted meanwhile). With no emission of the queue in progress
        // but the one that called us, only the latest delivery can be an unhandled finish.
        if (const QObjectPrivate::ConnectionData *cd = QObjectPrivate::get(queue)->connections.loadRelaxed()) {
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
        const QMap<TaskPrio, WorkQueue::TaskPtr> listed = qd->queue;
        int cursor = 0;
        const Step *lastMoved = nullptr;
        int lastMovedRow = 0;
        for (const Step &step : steps) {
            const quint64 before = d->epoch;
            quint64 own = 1;
            if (step.announced) {
                // The cursor stays on the row of the last task before this one that was not
                // being announced: an unfinished row, or the row a finished one left.
                const int below = d->lowerBound(step.key);
                if (lastMoved && (below == 0 || d->rows[below - 1].key < lastMoved->key))
                    cursor = lastMovedRow;
                else
                    cursor = below > 0 ? below - 1 : 0;
                placeEarly(listed.constFind(step.key).value());
                own = 3;
            } else {
                cursor = d->rowOf(step.task, step.key);
                lastMoved = &step;
                lastMovedRow = cursor;
                finishRow(cursor, d->unfinishedCount());
            }
            if (gone())
                return true;
            d->departing.append(WorkQueueListModelPrivate::Departing{step.task, step.key});
            if (d->epoch != before + own) {
                QList<WorkQueue::TaskPtr> rest;
                for (auto it = listed.upperBound(step.key); it != listed.cend(); ++it)
                    rest.append(it.value());
                reorder(rest, 0, cursor);
                break;
            }
        }
        return true;
    };

    bool departingHeld = false;
    if (d->depth != 1 || !d->stillTracking(qd, nullptr, &departingHeld) || departingHeld || !reorderTracked())
        reorder(queue->queue(), 0, 0);
    if (!operation.modelGone())
        checkMaxFinished();
}
