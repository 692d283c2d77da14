#include "QueueTable.h"

#include "FileIndexer.h"
#include "QueueRows.h"

#include <ObjectWorker.h>
#include <WorkQueueListModel.h>

#include <QtCore/QTextStream>

namespace {
const int WaitingRowsShown = 3;
}

QueueTable::QueueTable(const WorkQueueListModel &model, const FileIndexer &indexer, QTextStream &out, QObject *parent)
    : QObject(parent)
    , m_model(model)
    , m_indexer(indexer)
    , m_out(out)
{
    connect(&model, &QAbstractItemModel::rowsInserted, this, &QueueTable::schedule);
    connect(&model, &QAbstractItemModel::rowsRemoved, this, &QueueTable::schedule);
    connect(&model, &QAbstractItemModel::rowsMoved, this, &QueueTable::schedule);
    connect(&model, &QAbstractItemModel::dataChanged, this, &QueueTable::schedule);
    connect(&model, &QAbstractItemModel::modelReset, this, &QueueTable::schedule);
}

void QueueTable::flush()
{
    if (m_pending)
        print();
}

void QueueTable::schedule()
{
    if (m_pending)
        return;
    m_pending = true;
    QMetaObject::invokeMethod(this, &QueueTable::flush, Qt::QueuedConnection);
}

void QueueTable::print()
{
    m_pending = false;
    int running = 0;
    int waiting = 0;
    int finished = 0;
    for (int row = 0; row < m_model.rowCount(); ++row) {
        const Task *task = m_model.task(row).data();
        if (task && task->isRunning())
            ++running;
        else if (task && task->isFinished())
            ++finished;
        else
            ++waiting;
    }
    const WorkQueue *queue = m_indexer.queue();
    m_out << "queue: " << running << " running, " << waiting << " waiting, " << finished << " finished, batch "
          << qRound(queue->progress() * 100) << "% done\n";

    int waitingShown = 0;
    for (int row = 0; row < m_model.rowCount(); ++row) {
        const Task *task = m_model.task(row).data();
        const bool isWaiting = !task || (!task->isRunning() && !task->isFinished());
        if (isWaiting && ++waitingShown > WaitingRowsShown) {
            if (waitingShown == WaitingRowsShown + 1)
                m_out << "         ... " << waiting - WaitingRowsShown << " more waiting\n";
            continue;
        }
        const QString name = m_model.data(m_model.index(row, 0)).toString();
        m_out << qSetFieldWidth(5) << row << qSetFieldWidth(0) << "  " << qSetFieldWidth(14) << Qt::left << name
              << qSetFieldWidth(9) << QueueRows::state(task) << qSetFieldWidth(0) << " "
              << QueueRows::file(task, m_indexer);
        const QString error = QueueRows::error(task);
        if (!error.isEmpty())
            m_out << "  (" << error << ")";
        m_out << Qt::right << "\n";
    }
    m_out.flush();
}
