#include "WorkQueueTaskModel.h"

#include "WorkQueueListModel.h"
#include "WorkQueueListModel_p.h"

#include <QtCore/QPointer>

#include <algorithm>
#include <utility>

// The model keeps its own copy of the source's row order (plain task pointers; the source's rows
// hold the references). Between a source's "about to" signal and the matching "done" one, the
// source already has its new rows while views must still see the old ones: the copy is what
// this model answers from, and it changes only where Qt's begin/end calls allow it.
//
// A slot that runs before this model's on the source's "done" signal may change the source
// again, so that its next change arrives before this model has applied the last one. Each
// change begun is therefore kept as pending, and whatever arrives next from the source first
// completes it: views see the changes one after another, never one inside another.
class WorkQueueTaskModelPrivate
{
public:
    struct Pending
    {
        enum Kind { None, Insert, Remove, Move } kind = None;
        int first = 0;
        int last = 0;
        int destination = 0;
    };

    struct Watched
    {
        int rows = 0; // how many rows show the task (a task queued twice has two)
        uint priority = 0;
    };

    explicit WorkQueueTaskModelPrivate(WorkQueueTaskModel *q)
        : q(q)
    { }

    void connectSource();
    bool finishPending();
    bool catchUp();
    void fill();
    void empty();
    void watch(Task *task);
    void unwatch(Task *task);
    void taskGone(const Task *task);
    void taskChanged(const Task *task, bool result);
    int findRow(const Task *task) const;
    void moveRows(int start, int end, int destination);
    void sourceChanged(int first, int last);
    QVariant display(const Task *task, int column) const;

    WorkQueueTaskModel *const q;
    QPointer<WorkQueueListModel> source;
    bool table = false;
    ChunkedVector<Task *> rows;
    QHash<const Task *, Watched> watched;
    Pending pending;
};

namespace {

bool isTop(const QModelIndex &parent)
{
    return !parent.isValid();
}

} // namespace

void WorkQueueTaskModelPrivate::connectSource()
{
    WorkQueueListModel *src = source.data();
    using M = QAbstractItemModel;
    const auto finish = [this] { finishPending(); };
    QObject::connect(src, &M::rowsAboutToBeInserted, q, [this](const QModelIndex &parent, int first, int last) {
        if (catchUp() && isTop(parent)) {
            pending = { Pending::Insert, first, last, 0 };
            q->beginInsertRows(QModelIndex(), first, last);
        }
    });
    QObject::connect(src, &M::rowsAboutToBeRemoved, q, [this](const QModelIndex &parent, int first, int last) {
        if (catchUp() && isTop(parent)) {
            pending = { Pending::Remove, first, last, 0 };
            q->beginRemoveRows(QModelIndex(), first, last);
        }
    });
    QObject::connect(src, &M::rowsAboutToBeMoved, q,
        [this](const QModelIndex &from, int start, int end, const QModelIndex &to, int destination) {
            if (catchUp() && isTop(from) && isTop(to)) {
                pending = { Pending::Move, start, end, destination };
                q->beginMoveRows(QModelIndex(), start, end, QModelIndex(), destination);
            }
        });
    QObject::connect(src, &M::rowsInserted, q, finish);
    QObject::connect(src, &M::rowsRemoved, q, finish);
    QObject::connect(src, &M::rowsMoved, q, finish);
    // A reordering without row signals cannot be followed row by row: start again.
    const auto aboutToReset = [this] {
        if (catchUp()) {
            q->beginResetModel();
            empty();
        }
    };
    const auto reset = [this] {
        fill();
        q->endResetModel();
    };
    QObject::connect(src, &M::modelAboutToBeReset, q, aboutToReset);
    QObject::connect(src, &M::layoutAboutToBeChanged, q, aboutToReset);
    QObject::connect(src, &M::modelReset, q, reset);
    QObject::connect(src, &M::layoutChanged, q, reset);
    QObject::connect(src, &M::dataChanged, q, [this](const QModelIndex &topLeft, const QModelIndex &bottomRight) {
        if (finishPending() && isTop(topLeft.parent()))
            sourceChanged(topLeft.row(), bottomRight.row());
    });
    QObject::connect(src, &QObject::destroyed, q, [this] {
        if (!finishPending()) // inserted rows get no task: a destroyed source has none to give
            return;
        q->beginResetModel();
        empty();
        const QPointer<WorkQueueTaskModel> self(q);
        q->endResetModel();
        if (self)
            Q_EMIT q->sourceModelChanged();
    });
}

// Returns false if a slot deleted the model.
bool WorkQueueTaskModelPrivate::finishPending()
{
    if (pending.kind == Pending::None)
        return true;
    // Cleared first: a slot on this model's "done" signal may change the source again.
    const Pending change = std::exchange(pending, Pending());
    const QPointer<WorkQueueTaskModel> self(q);
    switch (change.kind) {
    case Pending::Insert:
        for (int row = change.first; row <= change.last; ++row) {
            Task *task = source ? source->task(row).data() : nullptr;
            rows.insert(row, task);
            watch(task);
        }
        q->endInsertRows();
        break;
    case Pending::Remove:
        for (int row = change.first; row <= change.last; ++row)
            unwatch(rows[row]);
        rows.erase(change.first, change.last - change.first + 1);
        q->endRemoveRows();
        break;
    case Pending::Move:
        moveRows(change.first, change.last, change.destination);
        q->endMoveRows();
        break;
    case Pending::None:
        break;
    }
    return !self.isNull();
}

// Completes the pending change before the source begins another. If a slot begins it while the
// source reports a row's new task, this model hears of that task only afterwards, at a row
// number that no longer holds: the rows are compared whole instead.
bool WorkQueueTaskModelPrivate::catchUp()
{
    if (!finishPending())
        return false;
    WorkQueueListModel *src = source.data();
    if (!src || WorkQueueListModelPrivate::get(src)->reportingTask == 0)
        return true;
    const QPointer<WorkQueueTaskModel> self(q);
    sourceChanged(0, rows.size() - 1);
    return !self.isNull();
}

void WorkQueueTaskModelPrivate::fill()
{
    WorkQueueListModel *src = source.data();
    const int count = src ? src->rowCount() : 0;
    for (int row = 0; row < count; ++row) {
        Task *task = src->task(row).data();
        rows.insert(row, task);
        watch(task);
    }
}

void WorkQueueTaskModelPrivate::empty()
{
    // The tasks are alive: the source released its references, if at all, through deleteLater().
    for (auto it = watched.cbegin(); it != watched.cend(); ++it)
        QObject::disconnect(it.key(), nullptr, q, nullptr);
    watched.clear();
    while (!rows.empty())
        rows.popBack();
}

void WorkQueueTaskModelPrivate::watch(Task *task)
{
    if (!task)
        return;
    Watched &entry = watched[task];
    if (entry.rows++ > 0)
        return;
    const WorkQueue *queue = source ? source->workQueue() : nullptr;
    entry.priority = queue ? queue->priority(task) : 0;
    QObject::connect(task, &Task::stateChanged, q, [this, task] { taskChanged(task, false); });
    QObject::connect(task, &Task::resultChanged, q, [this, task] { taskChanged(task, true); });
    // Deleting a task that a row references is a bug of its owner; the row then shows nothing.
    QObject::connect(task, &QObject::destroyed, q, [this, task] { taskGone(task); });
}

void WorkQueueTaskModelPrivate::unwatch(Task *task)
{
    const auto it = watched.find(task);
    if (it == watched.end() || --it->rows > 0)
        return;
    watched.erase(it);
    QObject::disconnect(task, nullptr, q, nullptr);
}

void WorkQueueTaskModelPrivate::taskGone(const Task *task)
{
    watched.remove(task);
    for (int row = 0;
         (row = rows.findFrom(row, rows.size(), [task](const Task *t) { return t == task; })) < rows.size();)
        rows[row] = nullptr;
}

int WorkQueueTaskModelPrivate::findRow(const Task *task) const
{
    const auto is = [task](const Task *t) { return t == task; };
    const WorkQueueListModel *src = source.data();
    int finishedFrom = 0;
    if (src) {
        // The source mirrors its queue while it tracks it: a task the queue holds is found by its
        // key with a binary search. The running task, and one that is finishing, are such tasks.
        const WorkQueueListModelPrivate *sd = WorkQueueListModelPrivate::get(const_cast<WorkQueueListModel *>(src));
        finishedFrom = std::clamp(sd->unfinishedCount(), 0, rows.size());
        const WorkQueue *queue = sd->queue.data();
        if (sd->tracking && queue) {
            const WorkQueuePrivate *qd = WorkQueueListModelPrivate::queuePrivate(queue);
            const auto key = qd->priorities.constFind(task);
            if (key != qd->priorities.cend()) {
                const int row = sd->rowOf(task, *key);
                if (row >= 0 && row < rows.size() && rows[row] == task)
                    return row;
            }
        }
    }
    // Otherwise mostly a finished task, near the top of the finished block.
    int row = rows.findFrom(finishedFrom, rows.size(), is);
    if (row < rows.size())
        return row;
    row = rows.findFrom(0, finishedFrom, is);
    return row < finishedFrom ? row : -1;
}

void WorkQueueTaskModelPrivate::taskChanged(const Task *task, bool result)
{
    const int row = findRow(task);
    if (row < 0)
        return;
    QVector<int> roles;
    if (result)
        roles = { WorkQueueTaskModel::ResultRole };
    else
        roles = { WorkQueueTaskModel::StateRole, WorkQueueTaskModel::StateTextRole, WorkQueueTaskModel::ErrorRole,
            WorkQueueTaskModel::ErrorTextRole };
    if (table)
        roles.append(Qt::DisplayRole);
    Q_EMIT q->dataChanged(q->index(row, 0), q->index(row, q->columnCount() - 1), roles);
}

void WorkQueueTaskModelPrivate::moveRows(int start, int end, int destination)
{
    const int count = end - start + 1;
    for (int k = 0; k < count; ++k) {
        if (destination > end)
            rows.move(start, destination - 1);
        else
            rows.move(start + k, destination + k);
    }
}

void WorkQueueTaskModelPrivate::sourceChanged(int first, int last)
{
    // The source reports a row whose task it replaced, and a finished row it did not move; the
    // task's own stateChanged() has told about the latter already.
    int changedFirst = -1;
    int changedLast = -1;
    last = std::min(last, rows.size() - 1);
    for (int row = std::max(first, 0); row <= last; ++row) {
        Task *task = source->task(row).data();
        if (task == rows[row])
            continue;
        unwatch(rows[row]);
        rows[row] = task;
        watch(task);
        changedFirst = changedFirst < 0 ? row : changedFirst;
        changedLast = row;
    }
    if (changedFirst >= 0)
        Q_EMIT q->dataChanged(q->index(changedFirst, 0), q->index(changedLast, q->columnCount() - 1));
}

QVariant WorkQueueTaskModelPrivate::display(const Task *task, int column) const
{
    switch (column) {
    case WorkQueueTaskModel::StateColumn:
        return Job::toString(task->state());
    case WorkQueueTaskModel::ErrorColumn: {
        if (task->error() == Job::NoError)
            return QString();
        const QString text = task->errorString();
        return text.isEmpty() ? Job::toString(task->error())
                              : Job::toString(task->error()) + QLatin1String(": ") + text;
    }
    case WorkQueueTaskModel::ResultColumn:
        return task->property("result").toString();
    case WorkQueueTaskModel::PriorityColumn:
        return watched.value(task).priority;
    case WorkQueueTaskModel::NameColumn:
        return task->name();
    default:
        return QVariant();
    }
}

// --- WorkQueueTaskModel ----------------------------------------------------------------------

WorkQueueTaskModel::WorkQueueTaskModel(WorkQueueListModel *source, bool tableForm, QObject *parent)
    : QAbstractTableModel(parent)
    , d(new WorkQueueTaskModelPrivate(this))
{
    d->table = tableForm;
    setSourceModel(source);
}

WorkQueueTaskModel::~WorkQueueTaskModel()
{
    d->empty();
    delete d;
}

WorkQueueListModel *WorkQueueTaskModel::sourceModel() const
{
    return d->source.data();
}

void WorkQueueTaskModel::setSourceModel(WorkQueueListModel *source)
{
    if (source == d->source.data())
        return;
    if (!d->finishPending())
        return;
    beginResetModel();
    if (d->source)
        disconnect(d->source.data(), nullptr, this, nullptr);
    d->empty();
    d->source = source;
    if (source) {
        d->connectSource();
        d->fill();
    }
    const QPointer<WorkQueueTaskModel> self(this);
    endResetModel();
    if (self)
        Q_EMIT sourceModelChanged();
}

bool WorkQueueTaskModel::isTableForm() const
{
    return d->table;
}

void WorkQueueTaskModel::setTableForm(bool tableForm)
{
    if (tableForm == d->table)
        return;
    beginResetModel();
    d->table = tableForm;
    const QPointer<WorkQueueTaskModel> self(this);
    endResetModel();
    if (self)
        Q_EMIT tableFormChanged(tableForm);
}

Task *WorkQueueTaskModel::task(int row) const
{
    return row >= 0 && row < d->rows.size() ? d->rows[row] : nullptr;
}

int WorkQueueTaskModel::rowOf(const Task *task) const
{
    return task ? d->findRow(task) : -1;
}

int WorkQueueTaskModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : d->rows.size();
}

int WorkQueueTaskModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : d->table ? int(ColumnCount) : 1;
}

QVariant WorkQueueTaskModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return QVariant();
    const Task *task = d->rows[index.row()];
    if (!task)
        return QVariant();
    switch (role) {
    case Qt::DisplayRole:
        return d->display(task, d->table ? index.column() : int(NameColumn));
    case NameRole:
        return task->name();
    case StateRole:
        return int(task->state());
    case StateTextRole:
        return Job::toString(task->state());
    case ErrorRole:
        return int(task->error());
    case ErrorTextRole:
        return task->errorString();
    case ResultRole:
        return task->property("result");
    case PriorityRole:
        return d->watched.value(task).priority;
    case TaskRole:
        return QVariant::fromValue<QObject *>(const_cast<Task *>(task));
    default:
        return QVariant();
    }
}

QVariant WorkQueueTaskModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0
        || section >= (d->table ? int(ColumnCount) : 1))
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case StateColumn:
        return tr("State");
    case ErrorColumn:
        return tr("Error");
    case ResultColumn:
        return tr("Result");
    case PriorityColumn:
        return tr("Priority");
    default:
        return tr("Job");
    }
}

QHash<int, QByteArray> WorkQueueTaskModel::roleNames() const
{
    QHash<int, QByteArray> names = QAbstractTableModel::roleNames();
    names.insert(NameRole, "name");
    names.insert(StateRole, "state");
    names.insert(StateTextRole, "stateText");
    names.insert(ErrorRole, "error");
    names.insert(ErrorTextRole, "errorText");
    names.insert(ResultRole, "result");
    names.insert(PriorityRole, "priority");
    names.insert(TaskRole, "task");
    return names;
}
