#ifndef ERRAND_WORKQUEUELISTMODEL_H
#define ERRAND_WORKQUEUELISTMODEL_H

#include "errand_export.h"
#include "WorkQueue.h"

#include <QtCore/QAbstractListModel>

class WorkQueueListModelPrivate;

/**
 * Shows a WorkQueue's tasks to Qt's item views as a flat, one-column list.
 *
 * Rows 0..N-F-1 are the unfinished block in the queue's order; the last F rows are the finished
 * block, most recently finished first. A row is added when the queue emits queued() and moves
 * to the top of the finished block when its task finishes; finished rows beyond
 * maxFinishedTasks (default 10) are dropped, oldest first. Each row holds a TaskPtr, so a task
 * stays alive while its row exists. The model never starts, aborts or removes queue tasks.
 * Qt::DisplayRole yields the task's name(); setData() takes a Task (as a QObject*).
 *
 * With several tasks running (WorkQueue::setMaxRunning()), each one's row moves when it finishes,
 * whichever finishes first. A finish moves the row of every task the model then finds finished,
 * so the row of a task that finishes in another thread may move before the queue reports it.
 *
 * Tasks that finish before the queue announces them (a task finishing inside its own start(),
 * or a running task aborted by a higher-priority newcomer under autoAbort) are reconciled
 * without a warning: the finished task is shown as the newest finished row, and a queued()
 * that arrives for a task that has already finished and left the queue adds that finished row
 * instead of an unfinished one. So every finished task is listed as finished exactly once.
 *
 * rowCount() ignores its parent, as a flat list may: views that ask for children of an item
 * (tree views, some testers) must look through a proxy that answers 0 rows under a valid parent.
 *
 * The queue is held weakly; when it is destroyed the rows stay and the model is detached.
 *
 * A slot connected to the model's signals may delete the model or its queue, and the model's
 * call then returns without touching what is gone (deleteLater() is still the advice). The "about
 * to" signals of QAbstractItemModel are the exception: Qt's base class goes on using the model
 * after emitting them.
 */
class ERRAND_EXPORT WorkQueueListModel : public QAbstractListModel
{
    Q_OBJECT
    /** How many finished rows are kept (default 10); older ones are dropped from the bottom. */
    Q_PROPERTY(uint maxFinishedTasks READ maxFinishedTasks WRITE setMaxFinishedTasks NOTIFY maxFinishedTasksChanged)

public:
    /** An empty model; with a non-null @p queue, attached to it as by setWorkQueue(). */
    explicit WorkQueueListModel(WorkQueue *queue = nullptr, QObject *parent = nullptr);
    ~WorkQueueListModel() override;

    /** The attached queue, or null if none is attached or it has been destroyed. */
    WorkQueue *workQueue() const;
    /**
     * Clears the model and, for a non-null @p queue, follows it and lists its present tasks.
     * If a handler of the clearing deletes @p queue, the model follows none; if it makes the
     * model follow another queue, that later choice stands.
     */
    void setWorkQueue(WorkQueue *queue);
    /** Detaches from the queue and removes every row. */
    void clear();

    /** The number of finished rows kept; 10 by default. */
    uint maxFinishedTasks() const;
    /** Stores @p count, prunes the surplus oldest finished rows, then notifies. */
    void setMaxFinishedTasks(uint count);
    /** Prunes finished rows beyond maxFinishedTasks(); emits no signal of its own. */
    void checkMaxFinished();

    /** The row's task; null for a row without one and for rows outside 0..rowCount()-1. */
    WorkQueue::TaskPtr task(int row) const;
    /**
     * The row that shows @p task (for a task shown twice, one of its rows), or -1. A task the
     * followed queue holds is found by its place in the queue's order, without scanning the rows;
     * any other task mostly sits near the top of the finished block, where the search begins.
     */
    int rowOf(const Task *task) const;

    /** Always an invalid index: the list is flat. */
    QModelIndex parent(const QModelIndex &child) const override;
    /** The number of rows, finished ones included; @p parent is not examined. */
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    /** Always 1. */
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    /**
     * The row's task's name() for Qt::DisplayRole in column 0; an invalid QVariant for every
     * other role, a bad index or a row without a task.
     */
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    /** Stores a Task given as a QObject* under Qt::DisplayRole; anything else is refused. */
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    /**
     * Inserts @p count rows without a task at @p row (0..rowCount()). Rows inserted inside the
     * finished block are unfinished rows: they split it, and the rows above them leave the
     * finished block, since it counts only the trailing finished rows. False for a valid parent,
     * a count below 1 or a row out of range.
     */
    bool insertRows(int row, int count, const QModelIndex &parent = QModelIndex()) override;
    /** False for a valid parent, a count below 1 or rows out of range. */
    bool removeRows(int row, int count, const QModelIndex &parent = QModelIndex()) override;

Q_SIGNALS:
    /** setMaxFinishedTasks() stored a new @p count, after pruning the surplus rows. */
    void maxFinishedTasksChanged(uint count);

protected Q_SLOTS:
    /**
     * Connected to the queue's queued(): inserts an unfinished row for @p ptr's task after every
     * unfinished row of equal or higher priority than @p prio (the queue's own order). A task that
     * has finished already is listed once, as a finished row (see the class description). Does
     * nothing once the queue is gone.
     */
    void taskQueued(const WorkQueue::TaskPtr &ptr, uint prio);
    /**
     * Connected to the queue's finished(), which comes while the finished task is still queued:
     * moves each finished task's row to the top of the finished block (a row already in place
     * gets dataChanged() instead of a move), then prunes with checkMaxFinished(). Rows that do
     * not follow the queue's order are reported with
     * "[WorkQueueListModel] failed to reorder tasks (internal error)" and left where they are.
     */
    void taskFinished();

private:
    Q_DISABLE_COPY(WorkQueueListModel)
    friend class WorkQueueListModelPrivate;

    WorkQueueListModelPrivate *const d;
};

#endif // ERRAND_WORKQUEUELISTMODEL_H
