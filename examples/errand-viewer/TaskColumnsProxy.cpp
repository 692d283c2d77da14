#include "TaskColumnsProxy.h"

#include "FileIndexer.h"
#include "QueueRows.h"

#include <WorkQueueListModel.h>

#include <QtGui/QBrush>
#include <QtGui/QColor>
#include <QtGui/QFont>

TaskColumnsProxy::TaskColumnsProxy(WorkQueueListModel *source, const FileIndexer &indexer, QObject *parent)
    : QIdentityProxyModel(parent)
    , m_source(source)
    , m_indexer(indexer)
{
    setSourceModel(source);
}

QModelIndex TaskColumnsProxy::index(int row, int column, const QModelIndex &parent) const
{
    if (parent.isValid() || row < 0 || row >= rowCount() || column < 0 || column >= ColumnCount)
        return QModelIndex();
    return createIndex(row, column);
}

QModelIndex TaskColumnsProxy::sibling(int row, int column, const QModelIndex &) const
{
    return index(row, column);
}

QModelIndex TaskColumnsProxy::mapToSource(const QModelIndex &proxyIndex) const
{
    // Every column of a row stands for the source's one item of that row.
    return proxyIndex.isValid() ? m_source->index(proxyIndex.row(), 0) : QModelIndex();
}

int TaskColumnsProxy::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_source->rowCount();
}

int TaskColumnsProxy::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant TaskColumnsProxy::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return QVariant();
    if (index.column() == JobColumn && role == Qt::DisplayRole)
        return QIdentityProxyModel::data(index, role);

    const WorkQueue::TaskPtr task = m_source->task(index.row());
    if (!task)
        return QVariant();
    switch (role) {
    case Qt::DisplayRole:
        if (index.column() == FileColumn)
            return QueueRows::file(task.data(), m_indexer);
        if (index.column() == StateColumn)
            return QueueRows::state(task.data());
        if (index.column() == ErrorColumn)
            return QueueRows::error(task.data());
        break;
    case Qt::ForegroundRole:
        if (task->error() != Job::NoError)
            return QBrush(QColor(0xb0, 0x20, 0x20));
        if (task->isFinished())
            return QBrush(QColor(0x60, 0x60, 0x60));
        break;
    case Qt::FontRole:
        if (task->isRunning()) {
            QFont bold;
            bold.setBold(true);
            return bold;
        }
        break;
    default:
        break;
    }
    return QVariant();
}

QVariant TaskColumnsProxy::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QIdentityProxyModel::headerData(section, orientation, role);
    switch (section) {
    case JobColumn:
        return tr("Job");
    case FileColumn:
        return tr("File");
    case StateColumn:
        return tr("State");
    case ErrorColumn:
        return tr("Error");
    default:
        return QVariant();
    }
}

void TaskColumnsProxy::refresh()
{
    if (rowCount() > 0)
        Q_EMIT dataChanged(index(0, 0), index(rowCount() - 1, ColumnCount - 1));
}
