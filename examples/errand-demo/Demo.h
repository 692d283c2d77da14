#ifndef ERRAND_DEMO_DEMO_H
#define ERRAND_DEMO_DEMO_H

#include "FileIndexer.h"

#include <WorkQueueListModel.h>

#include <QtCore/QObject>
#include <QtCore/QTextStream>

class QueueTable;

struct DemoOptions
{
    QString directory;
    bool generated = false;
    bool autoAbort = false;
    uint maxFinished = 3;
    bool quiet = false;
};

/**
 * The scenario: index every file below a directory on a queue of three lanes, and digest the
 * whole tree as one group job beside them, plus a file that has gone (its job fails),
 * take one waiting job back (dequeue), ask for one digest urgently (with --auto-abort it aborts
 * the job that runs; the indexer queues that one again) and wait for a file that never comes
 * (its timeout aborts it). Large files report their progress. Once the queue is empty, a second
 * batch is queued and at once cancelled with abortAll(). Emits done() when the queue is empty
 * again, after printing a summary and what the worker registry knows.
 */
class Demo : public QObject
{
    Q_OBJECT

public:
    explicit Demo(const DemoOptions &options, QObject *parent = nullptr);
    ~Demo() override;

    void start();

Q_SIGNALS:
    void done();

private:
    void onJobFinished(FileJob *job);
    void onIdle();
    void reportProgress(const FileJob *job, qint64 done, qint64 total);
    void cancelSecondBatch();
    void finish();
    void printSummary();
    void printRegistry();

    const DemoOptions m_options;
    QTextStream m_out;
    SourceIndexer m_indexer;
    WorkQueueListModel m_model;
    QueueTable *m_table = nullptr;
    int m_done = 0;
    int m_failed = 0;
    int m_aborted = 0;
    int m_dequeued = 0;
    int m_cancelled = 0;
    int m_cancelledStarted = 0;
    bool m_secondBatch = false;
    QHash<const FileJob *, int> m_quartersShown;
};

#endif // ERRAND_DEMO_DEMO_H
