#include "WorkQueueListModel.h"

#include "WorkQueueListModel_p.h"

#include <algorithm>

namespace {

QVariant taskValue(Task *task)
{
    return QVariant::fromValue<QObject *>(task);
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

bool WorkQueueListModelPrivate::callInsertRows(int row, int count)
{
    const Errand::DeleteGuard self(*this);
    internalCall = true;
    const bool inserted = q->insertRows(row, count, QModelIndex());
    if (self.deleted())
        return false;
    placing.clear();
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

int WorkQueueListModelPrivate::placeRow(int row, Task *task, const Operation &operation)
{
    const quint64 before = epoch;
    placing.append(task);
    if (!callInsertRows(row) || operation.modelGone())
        return -1;
    if (task && epoch != before + 1) { // a slot changed the rows meanwhile
        row = placingRow(task);
        if (row == rows.size())
            return -1;
    }
    callSetData(row, task);
    return operation.modelGone() ? -1 : row;
}

void WorkQueueListModelPrivate::moveRow(int from, int to)
{
    rows.move(from, to);
}

void WorkQueueListModelPrivate::finishRow(int r, int unfinished)
{
    if (r < unfinished - 1) {
        q->beginMoveRows(QModelIndex(), r, r, QModelIndex(), unfinished);
        moveRow(r, unfinished - 1);
        ++finishedCount;
        ++epoch;
        q->endMoveRows();
    } else {
        ++finishedCount;
        ++epoch;
        const QModelIndex changed = indexOf(r);
        Q_EMIT q->dataChanged(changed, changed, QVector<int>());
    }
}

void WorkQueueListModelPrivate::placeEarly(const WorkQueue::TaskPtr &ptr, const Operation &operation)
{
    placedEarly.insert(ptr.data(), ptr);
    const int row = placeRow(unfinishedCount(), ptr.data(), operation);
    if (operation.modelGone())
        return;
    // Where the finished block begins, unless a slot put other rows there meanwhile.
    if (row >= 0 && row == unfinishedCount() - 1 && rows[row].task == ptr)
        ++finishedCount;
    ++epoch;
}

void WorkQueueListModelPrivate::reorder(const Pass &pass, const QList<WorkQueue::TaskPtr> &tasks, int r)
{
    tracking = false;
    for (const WorkQueue::TaskPtr &ptr : tasks) {
        Task *task = ptr.data();
        quint64 expected = epoch; // after our own changes
        if (pass.qd->announcing.contains(task)) {
            // Not announced yet: it gets its row from queued(), unless it has finished
            // already, in which case it becomes the newest finished row now.
            if (task->isFinished() && !placedEarly.contains(task)) {
                expected += 3;
                placeEarly(ptr, pass.operation);
            }
        } else {
            const int unfinished = std::max(unfinishedCount(), 0);
            const auto holdsTask = [task](const Row &row) { return holds(row, task); };
            const int found = r < unfinished ? rows.findFrom(r, unfinished, holdsTask) : unfinished;
            // A finished task without an unfinished row was moved (and maybe pruned) by a pass
            // that a slot on our signals ran inside this one.
            if (found == unfinished && task->isFinished())
                continue;
            if (found == unfinished) {
                warnReorder();
                return;
            }
            r = found;
            if (task->isFinished()) {
                expected += 1;
                finishRow(r, unfinished);
            }
        }
        if (pass.gone())
            return;
        // A slot on our signals changed the rows meanwhile: the cursor tells nothing any more.
        if (epoch != expected)
            r = 0;
    }
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
    // A slot on destroyed() runs after this and may make the queue emit: it must not reach us.
    if (WorkQueue *queue = d->queue.data())
        disconnect(queue, nullptr, this, nullptr);
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
    const QPointer<WorkQueue> target(queue);
    clear();
    // A handler of the removal may have deleted the queue (the model then follows none) or
    // attached the model elsewhere (the handler's later choice stands).
    if (!queue || operation.modelGone() || !target || d->queue)
        return;

    d->queue = queue;
    connect(queue, SIGNAL(queued(WorkQueue::TaskPtr,uint)), this, SLOT(taskQueued(WorkQueue::TaskPtr,uint)));
    connect(queue, SIGNAL(finished(Job::Error)), this, SLOT(taskFinished()));

    const QList<WorkQueue::TaskPtr> tasks = queue->queue();
    if (tasks.isEmpty())
        return;
    // The new rows are marked as their tasks' until they get them, as in placeRow().
    for (const WorkQueue::TaskPtr &task : tasks)
        d->placing.append(task.data());
    const quint64 before = d->epoch;
    d->callInsertRows(0, tasks.size());
    const auto retargeted = [&] { return d->queue && d->queue.data() != queue; };
    for (int k = 0; k < tasks.size() && !operation.modelGone() && !retargeted(); ++k) {
        // Once a slot has changed the rows, each task's row is found by its mark.
        const int row = d->epoch == before + 1 + quint64(k) ? k : d->placingRow(tasks.at(k).data());
        if (row < d->rows.size())
            setData(index(row, 0), taskValue(tasks.at(k).data()), Qt::DisplayRole);
    }
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

int WorkQueueListModel::rowOf(const Task *task) const
{
    if (!task)
        return -1;
    const WorkQueue *queue = d->queue.data();
    if (d->tracking && queue && d->unfinishedCount() > 0) {
        const WorkQueuePrivate *qd = WorkQueueListModelPrivate::queuePrivate(queue);
        const auto key = qd->priorities.constFind(task);
        const int row = key == qd->priorities.cend() ? -1 : d->rowOf(task, *key);
        if (row >= 0)
            return row;
    }
    const auto is = [task](const WorkQueueListModelPrivate::Row &row) { return row.task.data() == task; };
    const int rows = d->rows.size();
    const int finishedFrom = std::clamp(d->unfinishedCount(), 0, rows);
    const int finished = d->rows.findFrom(finishedFrom, rows, is);
    if (finished < rows)
        return finished;
    const int unfinished = d->rows.findFrom(0, finishedFrom, is);
    return unfinished < finishedFrom ? unfinished : -1;
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
    WorkQueueListModelPrivate::Row &row = d->rows[index.row()];
    row.task = task;
    row.placing = nullptr;
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
    for (int i = 0; internal && i < std::min(count, int(d->placing.size())); ++i)
        d->rows[row + i].placing = d->placing.at(i);
    d->placing.clear(); // before endInsertRows(): a slot may place tasks of its own
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
    const WorkQueuePrivate *qd = WorkQueueListModelPrivate::queuePrivate(queue);
    if (d->depth != 1 || !d->stillTracking(qd, ptr.data(), nullptr))
        d->tracking = false;

    if (ptr && d->placedEarly.remove(ptr.data())) {
        ++d->epoch;
        return;
    }

    int row = d->unfinishedCount();
    TaskPrio key;
    if (d->tracking) {
        d->placeTracked(qd, ptr, prio, &row, &key);
    } else {
        // A row being placed counts as its task's (see placeRow()).
        row = d->rows.findFrom(0, row, [queue, prio](const WorkQueueListModelPrivate::Row &r) {
            const Task *task = r.task ? r.task.data() : r.placing;
            return task && queue->priority(task) < prio;
        });
    }

    const quint64 before = d->epoch;
    row = d->placeRow(row, ptr.data(), operation);
    if (operation.modelGone())
        return;
    // The row mirrors the queue only if no slot changed anything but what we did.
    if (row < 0)
        d->tracking = false;
    else if (d->tracking) {
        if (d->epoch == before + 2 && d->rows[row].task == ptr)
            d->rows.update(row, [&key](WorkQueueListModelPrivate::Row &r) { r.key = key; });
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
    const WorkQueueListModelPrivate::Pass pass{queue, WorkQueueListModelPrivate::queuePrivate(queue), operation, d->queue};
    bool departingHeld = false;
    if (d->depth != 1 || !d->stillTracking(pass.qd, nullptr, &departingHeld) || departingHeld || !d->finishTracked(pass))
        d->reorder(pass, queue->queue(), 0);
    if (!operation.modelGone())
        checkMaxFinished();
}
