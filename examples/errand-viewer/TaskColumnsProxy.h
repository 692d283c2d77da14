#ifndef ERRAND_VIEWER_TASKCOLUMNSPROXY_H
#define ERRAND_VIEWER_TASKCOLUMNSPROXY_H

#include <QtCore/QIdentityProxyModel>

class FileIndexer;
class WorkQueueListModel;

/**
 * Shows a WorkQueueListModel (one column: the job name) as a table with the task's file,
 * state and error, and answers 0 rows under an item so that tree views see a flat list.
 *
 * The list model reports rows, not task states: refresh() repaints the added columns, and is
 * connected to the queue's started() and finished().
 */
class TaskColumnsProxy : public QIdentityProxyModel
{
    Q_OBJECT

public:
    enum Column { JobColumn, FileColumn, StateColumn, ErrorColumn, ColumnCount };

    TaskColumnsProxy(WorkQueueListModel *source, const FileIndexer &indexer, QObject *parent = nullptr);

    QModelIndex index(int row, int column, const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex sibling(int row, int column, const QModelIndex &index) const override;
    QModelIndex mapToSource(const QModelIndex &proxyIndex) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

public Q_SLOTS:
    void refresh();

private:
    WorkQueueListModel *const m_source;
    const FileIndexer &m_indexer;
};

#endif // ERRAND_VIEWER_TASKCOLUMNSPROXY_H
