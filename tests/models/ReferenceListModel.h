#ifndef ERRAND_TESTS_REFERENCELISTMODEL_H
#define ERRAND_TESTS_REFERENCELISTMODEL_H

#include "WorkQueue.h"

#include <QtCore/QAbstractListModel>

class ReferenceListModelPrivate;

/**
 * The list model as first written: the straightforward algorithms (a linear placement scan, a
 * copy of the queue and a forward pass over the unfinished block on every finish). It is kept
 * unchanged as the behaviour that WorkQueueListModel must reproduce, signal for signal; only
 * the class name differs. See tst_listmodel_diff.
 */
class ReferenceListModel : public QAbstractListModel
{
    Q_OBJECT
    Q_PROPERTY(uint maxFinishedTasks READ maxFinishedTasks WRITE setMaxFinishedTasks NOTIFY maxFinishedTasksChanged)

public:
    explicit ReferenceListModel(WorkQueue *queue = nullptr, QObject *parent = nullptr);
    ~ReferenceListModel() override;

    /** The attached queue, or null if none is attached or it has been destroyed. */
    WorkQueue *workQueue() const;
    /** Clears the model and, for a non-null @p queue, follows it and lists its present tasks. */
    void setWorkQueue(WorkQueue *queue);
    /** Detaches from the queue and removes every row. */
    void clear();

    uint maxFinishedTasks() const;
    /** Stores @p count, prunes the surplus oldest finished rows, then notifies. */
    void setMaxFinishedTasks(uint count);
    /** Prunes finished rows beyond maxFinishedTasks(); emits no signal of its own. */
    void checkMaxFinished();

    /** The row's task; null for a row without one and for rows outside 0..rowCount()-1. */
    WorkQueue::TaskPtr task(int row) const;

    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
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
    void maxFinishedTasksChanged(uint count);

protected Q_SLOTS:
    void taskQueued(const WorkQueue::TaskPtr &ptr, uint prio);
    void taskFinished();

private:
    Q_DISABLE_COPY(ReferenceListModel)

    ReferenceListModelPrivate *const d;
};

#endif // ERRAND_TESTS_REFERENCELISTMODEL_H
