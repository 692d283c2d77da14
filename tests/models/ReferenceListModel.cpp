#include "ReferenceListModel.h"

#include "WorkQueuePrivate.h"

#include <QtCore/QHash>
#include <QtCore/QList>
#include <QtCore/QPointer>

class ReferenceListModelPrivate
{
public:
    QPointer<WorkQueue> queue;
    QList<WorkQueue::TaskPtr> rows;
    int finishedCount = 0;
    uint maxFinishedTasks = 10;

    // Tasks that finished before the queue announced them with queued(): their finished row
    // was placed when they finished, and their announcement, when it comes, adds nothing.
    QHash<const Task *, WorkQueue::TaskPtr> placedEarly;

    int unfinishedCount() const { return rows.size() - finishedCount; }
};

namespace {

const WorkQueuePrivate *queuePrivate(const WorkQueue *queue)
{
    return static_cast<const WorkQueuePrivate *>(QObjectPrivate::get(queue));
}

QVariant taskValue(Task *task)
{
    return QVariant::fromValue<QObject *>(task);
}

} // namespace

ReferenceListModel::ReferenceListModel(WorkQueue *queue, QObject *parent)
    : QAbstractListModel(parent)
    , d(new ReferenceListModelPrivate)
{
    if (queue)
        setWorkQueue(queue);
}

ReferenceListModel::~ReferenceListModel()
{
    delete d;
}

WorkQueue *ReferenceListModel::workQueue() const
{
    return d->queue.data();
}

void ReferenceListModel::setWorkQueue(WorkQueue *queue)
{
    if (queue == workQueue())
        return;
    clear();
    if (!queue)
        return;

    d->queue = queue;
    connect(queue, SIGNAL(queued(WorkQueue::TaskPtr,uint)), this, SLOT(taskQueued(WorkQueue::TaskPtr,uint)));
    connect(queue, SIGNAL(finished(Job::Error)), this, SLOT(taskFinished()));

    const QList<WorkQueue::TaskPtr> tasks = queue->queue();
    if (tasks.isEmpty())
        return;
    insertRows(0, tasks.size(), QModelIndex());
    for (int row = 0; row < tasks.size(); ++row)
        setData(index(row, 0), taskValue(tasks.at(row).data()), Qt::DisplayRole);
}

void ReferenceListModel::clear()
{
    if (WorkQueue *queue = d->queue.data()) {
        disconnect(queue, SIGNAL(queued(WorkQueue::TaskPtr,uint)), this, SLOT(taskQueued(WorkQueue::TaskPtr,uint)));
        disconnect(queue, SIGNAL(finished(Job::Error)), this, SLOT(taskFinished()));
    }
    d->queue.clear();
    d->placedEarly.clear();
    if (!d->rows.isEmpty())
        removeRows(0, rowCount(), QModelIndex());
    d->finishedCount = 0;
}

uint ReferenceListModel::maxFinishedTasks() const
{
    return d->maxFinishedTasks;
}

void ReferenceListModel::setMaxFinishedTasks(uint count)
{
    if (count == d->maxFinishedTasks)
        return;
    d->maxFinishedTasks = count;
    checkMaxFinished();
    Q_EMIT maxFinishedTasksChanged(count);
}

void ReferenceListModel::checkMaxFinished()
{
    // Compared in 64 bits: a maximum of 2^31 or more means "keep every finished row".
    const qint64 surplus = qint64(d->finishedCount) - qint64(d->maxFinishedTasks);
    if (surplus > 0)
        removeRows(d->rows.size() - int(surplus), int(surplus), QModelIndex());
}

WorkQueue::TaskPtr ReferenceListModel::task(int row) const
{
    return row >= 0 && row < d->rows.size() ? d->rows.at(row) : WorkQueue::TaskPtr();
}

QModelIndex ReferenceListModel::parent(const QModelIndex &) const
{
    return QModelIndex();
}

int ReferenceListModel::rowCount(const QModelIndex &) const
{
    return d->rows.size();
}

int ReferenceListModel::columnCount(const QModelIndex &) const
{
    return 1;
}

QVariant ReferenceListModel::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.column() != 0 || index.row() >= d->rows.size())
        return QVariant();
    const Task *task = d->rows.at(index.row()).data();
    return task ? QVariant(task->name()) : QVariant();
}

bool ReferenceListModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (role != Qt::DisplayRole)
        return QAbstractListModel::setData(index, value, role);
    if (!index.isValid() || index.column() != 0 || index.row() >= d->rows.size())
        return false;
    if (!value.canConvert<QObject *>())
        return false;
    Task *task = qobject_cast<Task *>(value.value<QObject *>());
    if (!task)
        return false;
    d->rows[index.row()] = task;
    Q_EMIT dataChanged(index, index, QVector<int>());
    return true;
}

bool ReferenceListModel::insertRows(int row, int count, const QModelIndex &parent)
{
    const int rows = d->rows.size();
    if (parent.isValid() || count < 1 || row < 0 || row > rows)
        return false;
    beginInsertRows(parent, row, row + count - 1);
    d->rows.reserve(rows + count);
    for (int i = 0; i < count; ++i)
        d->rows.insert(row, WorkQueue::TaskPtr());
    // The finished block is the trailing run of finished rows: rows inserted inside it cut it.
    if (row > rows - d->finishedCount)
        d->finishedCount = rows - row;
    endInsertRows();
    return true;
}

bool ReferenceListModel::removeRows(int row, int count, const QModelIndex &parent)
{
    if (parent.isValid() || count < 1 || row < 0 || row > d->rows.size() - count)
        return false;
    beginRemoveRows(parent, row, row + count - 1);
    for (int i = 0; i < count; ++i) {
        if (row >= d->unfinishedCount())
            --d->finishedCount;
        d->rows.removeAt(row);
    }
    endRemoveRows();
    return true;
}

void ReferenceListModel::taskQueued(const WorkQueue::TaskPtr &ptr, uint prio)
{
    const WorkQueue *queue = d->queue.data();
    if (!queue)
        return;
    if (ptr && d->placedEarly.remove(ptr.data()))
        return;

    const int unfinished = d->unfinishedCount();
    int row = unfinished;
    for (int r = 0; r < unfinished; ++r) {
        const Task *task = d->rows.at(r).data();
        if (task && queue->priority(task) < prio) {
            row = r;
            break;
        }
    }
    if (!insertRows(row, 1, QModelIndex()))
        return;
    setData(index(row, 0), taskValue(ptr.data()), Qt::DisplayRole);
}

void ReferenceListModel::taskFinished()
{
    const WorkQueue *queue = d->queue.data();
    if (!queue)
        return;
    const auto &announcing = queuePrivate(queue)->announcing;
    const QList<WorkQueue::TaskPtr> tasks = queue->queue();
    int r = 0;
    for (const WorkQueue::TaskPtr &ptr : tasks) {
        Task *task = ptr.data();
        if (announcing.contains(task)) {
            // Not announced yet: it gets its row from queued(), unless it has finished already,
            // in which case it becomes the newest finished row now.
            if (task->isFinished() && !d->placedEarly.contains(task)) {
                const int top = d->unfinishedCount();
                insertRows(top, 1, QModelIndex());
                setData(index(top, 0), taskValue(task), Qt::DisplayRole);
                ++d->finishedCount;
                d->placedEarly.insert(task, ptr);
            }
            continue;
        }
        const int unfinished = d->unfinishedCount();
        while (r < unfinished && d->rows.at(r).data() != task)
            ++r;
        if (r >= unfinished) {
            qWarning("[WorkQueueListModel] failed to reorder tasks (internal error)");
            break;
        }
        if (!task->isFinished())
            continue;
        if (r < unfinished - 1) {
            beginMoveRows(QModelIndex(), r, r, QModelIndex(), unfinished);
            d->rows.move(r, unfinished - 1);
            ++d->finishedCount;
            endMoveRows();
        } else {
            ++d->finishedCount;
            const QModelIndex changed = index(r, 0);
            Q_EMIT dataChanged(changed, changed, QVector<int>());
        }
    }
    checkMaxFinished();
}
