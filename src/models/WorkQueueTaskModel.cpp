#include "WorkQueueTaskModel.h"

#include "jobs/Task_p.h"

#include <QtCore/QPointer>
#include <QtCore/QThread>

#include <algorithm>
#include <utility>

using M = WorkQueueTaskModel;

// The model keeps no rows: like QIdentityProxyModel it reads the source's and passes the
// source's changes on as its own. What it keeps is per task: the connections that turn a task's
// signals into dataChanged() for the task's row, and the priority the task was queued with.
//
// Nested changes. A slot connected to the source before this model may change the source again
// from one of the source's signals, before this model has heard that signal. Views must see one
// change end before the next begins, so the change this model has begun stays pending, and
// whatever comes next (from the source or from a task) first ends it: at that moment the source
// holds exactly the rows that the end announces. And the rows of a dataChanged() that reaches
// this model after such a slot may be stale: one that shows no task new to the model makes it
// look over every row for one it has not seen.
//
// Progress. Listening to progressChanged() costs a connection per task, and a waiting task
// reports none: the model listens only to tasks it has seen running. A task's progress before
// that shows when its row is read, and with its state changes, which name the progress roles too.
class WorkQueueTaskModelPrivate
{
public:
    enum Change { None, Insert, Remove, Move, Reset };
    // The task signals that change what a row shows.
    enum TaskSignal { StateSignal, ResultSignal, ProgressSignal };

    explicit WorkQueueTaskModelPrivate(WorkQueueTaskModel *q)
        : q(q)
        , context(new QObject(q))
    { }
    // Cuts every connection, to the source and to the tasks, before the state they use goes.
    ~WorkQueueTaskModelPrivate() { delete context; }

    void connectSource();
    bool begin(Change change);
    bool end();
    void resetOnto(WorkQueueListModel *newSource);
    bool watchRows(int first, int last);
    bool watch(Task *task);
    void listenWhileRunning(Task *task);
    void taskChanged(const Task *task, TaskSignal signal);
    void sourceDataChanged(int first, int last);
    bool readable(const Task *task) const { return task->isFinished() || task->thread() == q->thread(); }
    QVariant field(const Task *task, int role) const;
    static double progress(const Task *task);
    QVariant display(const Task *task, int column) const;
    void changed(int first, int last, const QVector<int> &roles = {})
    {
        Q_EMIT q->dataChanged(q->index(first, 0), q->index(last, q->columnCount() - 1), roles);
    }

    WorkQueueTaskModel *const q;
    // The receiver of every connection the model makes: deleting it cuts them all, also those of
    // tasks in other threads whose destroyed() is still on its way here.
    QObject *context;
    QPointer<WorkQueueListModel> source;
    bool table = false;
    Change pending = None;
    struct Watched
    {
        uint priority; // the priority the task was queued with
        bool progress; // its progressChanged() is connected
    };
    QHash<const Task *, Watched> watched;
};

void WorkQueueTaskModelPrivate::connectSource()
{
    const WorkQueueListModel *src = source.data();
    using A = QAbstractItemModel;
    QObject::connect(src, &A::rowsAboutToBeInserted, context, [this](const QModelIndex &parent, int first, int last) {
        if (!parent.isValid() && begin(Insert))
            q->beginInsertRows(QModelIndex(), first, last);
    });
    QObject::connect(src, &A::rowsAboutToBeRemoved, context, [this](const QModelIndex &parent, int first, int last) {
        if (!parent.isValid() && begin(Remove))
            q->beginRemoveRows(QModelIndex(), first, last);
    });
    QObject::connect(src, &A::rowsAboutToBeMoved, context,
        [this](const QModelIndex &from, int first, int last, const QModelIndex &to, int destination) {
            if (!from.isValid() && !to.isValid() && begin(Move))
                q->beginMoveRows(QModelIndex(), first, last, QModelIndex(), destination);
        });
    // A reordering without row signals cannot be followed row by row: start again.
    const auto reset = [this] { begin(Reset) ? q->beginResetModel() : void(); };
    QObject::connect(src, &A::modelAboutToBeReset, context, reset);
    QObject::connect(src, &A::layoutAboutToBeChanged, context, reset);
    const auto done = [this] { end(); };
    QObject::connect(src, &A::rowsInserted, context, done);
    QObject::connect(src, &A::rowsRemoved, context, done);
    QObject::connect(src, &A::rowsMoved, context, done);
    QObject::connect(src, &A::modelReset, context, done);
    QObject::connect(src, &A::layoutChanged, context, done);
    QObject::connect(src, &A::dataChanged, context, [this](const QModelIndex &topLeft, const QModelIndex &bottomRight) {
        if (!topLeft.parent().isValid())
            sourceDataChanged(topLeft.row(), bottomRight.row());
    });
    // The change being reported ends with rows no one can give any more; then there are none.
    QObject::connect(src, &QObject::destroyed, context, [this] { end() ? resetOnto(nullptr) : void(); });
}

// Ends the pending change, then makes @p change the pending one. False if a slot deleted the model.
bool WorkQueueTaskModelPrivate::begin(Change change)
{
    if (!end())
        return false;
    pending = change;
    return true;
}

// Ends the pending change, if any. False if a slot on this model's signals deleted it.
bool WorkQueueTaskModelPrivate::end()
{
    if (pending == None)
        return true;
    // Cleared first: a slot on the "done" signal may change the source again.
    const Change change = std::exchange(pending, None);
    const QPointer<WorkQueueTaskModel> self(q);
    if (change == Reset)
        watchRows(0, q->rowCount() - 1);
    if (change == Insert)
        q->endInsertRows();
    else if (change == Remove)
        q->endRemoveRows();
    else if (change == Move)
        q->endMoveRows();
    else
        q->endResetModel();
    return !self.isNull();
}

// Watches the tasks of rows @p first to @p last; true if one of them was new to the model.
bool WorkQueueTaskModelPrivate::watchRows(int first, int last)
{
    bool found = false;
    for (int row = std::max(first, 0), rows = source ? q->rowCount() : 0; row <= last && row < rows; ++row)
        found |= watch(source->task(row).data());
    return found;
}

bool WorkQueueTaskModelPrivate::watch(Task *task)
{
    if (!task)
        return false;
    const bool isNew = !watched.contains(task);
    if (isNew) {
        const WorkQueue *queue = source->workQueue();
        watched.insert(task, { queue ? queue->priority(task) : 0, false });
        // One connection per signal of a task that changes what its row shows; progress follows
        // once the task runs (see the top of the file).
        QObject::connect(task, &Task::stateChanged, context, [this, task] { taskChanged(task, StateSignal); });
        QObject::connect(task, &Task::resultChanged, context, [this, task] { taskChanged(task, ResultSignal); });
        QObject::connect(task, &QObject::destroyed, context, [this, task] { watched.remove(task); });
    }
    if (task->isRunning())
        listenWhileRunning(task);
    return isNew;
}

// @p task runs and a row holds it.
void WorkQueueTaskModelPrivate::listenWhileRunning(Task *task)
{
    const auto it = watched.find(task);
    if (it == watched.end() || std::exchange(it->progress, true))
        return;
    QObject::connect(task, &Task::progressChanged, context, [this, task] { taskChanged(task, ProgressSignal); });
}

// A task of another thread may be gone already: it is compared, not used, until a row holds it.
void WorkQueueTaskModelPrivate::taskChanged(const Task *task, TaskSignal signal)
{
    const int row = end() && source ? source->rowOf(task) : -1;
    if (row < 0)
        return; // no longer shown; the connections go with the task or the source
    QVector<int> roles;
    if (signal == StateSignal) {
        // A move to Ready resets progress, a finish settles it, and ProgressRole follows the
        // state; and the model may not listen to the task's progress yet.
        roles = { M::StateRole, M::StateTextRole, M::ErrorRole, M::ErrorTextRole, M::ProcessedRole, M::TotalRole,
            M::ProgressRole, M::ProgressTextRole };
        if (task->thread() != q->thread() && task->isFinished()) // readable() from now on
            roles.append(M::ResultRole);
        if (task->isRunning())
            listenWhileRunning(const_cast<Task *>(task));
    } else if (signal == ResultSignal) {
        roles = { M::ResultRole };
    } else {
        roles = { M::ProcessedRole, M::TotalRole, M::ProgressRole, M::ProgressTextRole };
    }
    if (table)
        roles.append(Qt::DisplayRole);
    changed(row, row, roles);
}

void WorkQueueTaskModelPrivate::sourceDataChanged(int first, int last)
{
    if (!end())
        return;
    const int rows = q->rowCount();
    int newFirst = rows, newLast = -1;
    // Nothing new in the rows reported: they may be stale (see the top of the file).
    for (int row = watchRows(first, last) ? rows : 0; row < rows; ++row) {
        if (watch(source->task(row).data()))
            newFirst = std::min(newFirst, row), newLast = row;
    }
    const QPointer<WorkQueueTaskModel> self(q);
    if (newLast >= 0)
        changed(newFirst, newLast);
    if (self && first <= std::min(last, rows - 1))
        changed(first, std::min(last, rows - 1));
}

void WorkQueueTaskModelPrivate::resetOnto(WorkQueueListModel *newSource)
{
    const QPointer<WorkQueueTaskModel> self(q);
    q->beginResetModel();
    watched.clear();
    delete std::exchange(context, new QObject(q));
    source = newSource;
    if (newSource) {
        connectSource();
        watchRows(0, q->rowCount() - 1);
    }
    q->endResetModel();
    if (self)
        Q_EMIT q->sourceModelChanged();
}

// A task's error text and result belong to its thread until it has finished (see Task).
QVariant WorkQueueTaskModelPrivate::field(const Task *task, int role) const
{
    switch (role) {
    case M::NameRole:
        return task->name();
    case M::StateRole:
        return int(task->state());
    case M::StateTextRole:
        return Job::toString(task->state());
    case M::ErrorRole:
        return int(task->error());
    case M::ErrorTextRole:
        return readable(task) ? QVariant(task->errorString()) : QVariant();
    case M::ResultRole:
        return readable(task) ? task->property("result") : QVariant();
    case M::PriorityRole:
        return watched.value(task).priority;
    case M::TaskRole:
        return QVariant::fromValue<QObject *>(const_cast<Task *>(task));
    // Progress is kept under the task's lock: readable from any thread at any time.
    case M::ProcessedRole:
        return task->processed();
    case M::TotalRole:
        return task->total();
    case M::ProgressRole:
        return progress(task);
    case M::ProgressTextRole:
        return task->progressText();
    default:
        return QVariant();
    }
}

double WorkQueueTaskModelPrivate::progress(const Task *task)
{
    const Job::State state = task->state();
    if (state == Job::Finished && task->error() == Job::NoError)
        return 1;
    // The share is computed under the task's lock, so a report from another thread between two
    // reads cannot pair an amount with the wrong total.
    if (task->total() > 0)
        return Errand::TaskExtra::fraction(*task);
    return state == Job::Running ? -1 : 0;
}

QVariant WorkQueueTaskModelPrivate::display(const Task *task, int column) const
{
    if (column == M::ProgressColumn) {
        const double done = progress(task);
        if (done < 0 || (done == 0 && task->total() <= 0)) {
            const qint64 processed = task->processed();
            return processed > 0 ? QString::number(processed) : QString();
        }
        // Rounded, but never to 100% before the end.
        return QString(QString::number(done < 1 ? std::min(99, qRound(done * 100)) : 100) + QLatin1Char('%'));
    }
    if (column == M::ErrorColumn) {
        const QString text = field(task, M::ErrorTextRole).toString();
        return task->error() == Job::NoError
            ? QString()
            : Job::toString(task->error()) + (text.isEmpty() ? QString() : QLatin1String(": ") + text);
    }
    static const int roles[] = { M::NameRole, M::StateTextRole, 0, M::ResultRole, M::PriorityRole };
    static_assert(sizeof(roles) / sizeof(*roles) == M::ProgressColumn, "one role per plain column");
    const QVariant value = column < M::ProgressColumn ? field(task, roles[column]) : QVariant();
    return column == M::ResultColumn ? value.toString() : value;
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
    delete d;
}

WorkQueueListModel *WorkQueueTaskModel::sourceModel() const
{
    return d->source.data();
}

void WorkQueueTaskModel::setSourceModel(WorkQueueListModel *source)
{
    if (source != d->source.data() && d->end())
        d->resetOnto(source);
}

bool WorkQueueTaskModel::isTableForm() const
{
    return d->table;
}

void WorkQueueTaskModel::setTableForm(bool tableForm)
{
    if (tableForm == d->table || !d->end())
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
    return d->source && row < rowCount() ? d->source->task(row).data() : nullptr;
}

int WorkQueueTaskModel::rowOf(const Task *task) const
{
    return d->source ? d->source->rowOf(task) : -1;
}

int WorkQueueTaskModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid())
        return 0;
    return d->source ? d->source->rowCount() : 0;
}

int WorkQueueTaskModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : d->table ? int(ColumnCount) : 1;
}

QVariant WorkQueueTaskModel::data(const QModelIndex &index, int role) const
{
    const Task *task = checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)
        ? this->task(index.row())
        : nullptr;
    if (!task)
        return QVariant();
    return role == Qt::DisplayRole ? d->display(task, d->table ? index.column() : int(NameColumn))
                                   : d->field(task, role);
}

QVariant WorkQueueTaskModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    static const char *const titles[] = { QT_TR_NOOP("Job"), QT_TR_NOOP("State"), QT_TR_NOOP("Error"),
        QT_TR_NOOP("Result"), QT_TR_NOOP("Priority"), QT_TR_NOOP("Progress") };
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0
        && section < (d->table ? int(ColumnCount) : 1))
        return tr(titles[section]);
    return QAbstractTableModel::headerData(section, orientation, role);
}

QHash<int, QByteArray> WorkQueueTaskModel::roleNames() const
{
    static const char *const names[] = { "name", "state", "stateText", "error", "errorText", "result", "priority",
        "task", "processed", "total", "progress", "progressText" };
    QHash<int, QByteArray> roles = QAbstractTableModel::roleNames();
    for (int role = NameRole; role <= ProgressTextRole; ++role)
        roles.insert(role, names[role - NameRole]);
    return roles;
}
