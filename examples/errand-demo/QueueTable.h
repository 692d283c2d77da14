#ifndef ERRAND_DEMO_QUEUETABLE_H
#define ERRAND_DEMO_QUEUETABLE_H

#include <QtCore/QObject>

class FileIndexer;
class QTextStream;
class WorkQueueListModel;

/**
 * Prints a WorkQueueListModel as a compact table whenever it changes, at most once per
 * event-loop turn: one queue operation often moves, inserts and prunes rows in one go.
 * Only the first few waiting rows are listed; finished rows are bounded by the model.
 */
class QueueTable : public QObject
{
    Q_OBJECT

public:
    QueueTable(
        const WorkQueueListModel &model, const FileIndexer &indexer, QTextStream &out, QObject *parent = nullptr);

    /** Prints now if a change is still waiting to be printed. */
    void flush();

private:
    void schedule();
    void print();

    const WorkQueueListModel &m_model;
    const FileIndexer &m_indexer;
    QTextStream &m_out;
    bool m_pending = false;
};

#endif // ERRAND_DEMO_QUEUETABLE_H
