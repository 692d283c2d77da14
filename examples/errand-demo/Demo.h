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
 * The scenario: index every file below a directory, plus a file that has gone (its job fails),
 * take one waiting job back (dequeue) and ask for one digest urgently (with --auto-abort it
 * aborts the job that runs; the indexer queues that one again). Emits done() once the queue
 * is empty, after printing a summary and what the worker registry knows.
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
};

#endif // ERRAND_DEMO_DEMO_H
