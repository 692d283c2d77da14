#ifndef ERRAND_EXAMPLES_FILEINDEXER_H
#define ERRAND_EXAMPLES_FILEINDEXER_H

#include "FileJobs.h"

#include <QtCore/QDir>
#include <QtCore/QHash>
#include <QtCore/QMap>
#include <QtCore/QObject>
#include <QtCore/QSet>
#include <QtCore/QStringList>

class ObjectWorker;

/**
 * Keeps an index (digest, line count, to-do lines) of the files below one directory.
 *
 * The indexer owns an ObjectWorker bound to itself: its jobs become tasks through the factories
 * registered for its class chain (FileIndexer.cpp), so a subclass serves the jobs of its base
 * class and may add job types of its own. The indexer owns the jobs it is given. Its queue runs
 * up to Lanes jobs at once; a DigestTreeJob runs as one of them, a group (TreeDigest) that
 * runs its own digests three at a time.
 */
class FileIndexer : public QObject
{
    Q_OBJECT

public:
    enum Priority : uint { Background = 1, Normal = 5, Urgent = 9 };
    /** How many jobs the queue runs at once. */
    static constexpr int Lanes = 3;

    struct Entry
    {
        QString sha256;
        int lines = -1;
        QStringList todos;
    };

    explicit FileIndexer(const QString &root, QObject *parent = nullptr);
    ~FileIndexer() override;

    QDir root() const { return m_root; }
    ObjectWorker *queue() const { return m_queue; }
    QString relativePath(const QString &path) const { return m_root.relativeFilePath(path); }

    /** The files below root(), sorted, at most @p limit of them. */
    QStringList scan(int limit) const;
    /** Queues the jobs that index @p path (see jobsFor()). */
    void indexFile(const QString &path);
    /**
     * Queues @p job (taking ownership) at @p priority. With @p abortRunning the queue's
     * autoAbort is on for this one enqueue, so a running job of lower priority is aborted;
     * jobs aborted that way are queued again once. False if no task could be made for the job.
     */
    bool submit(FileJob *job, uint priority, bool abortRunning = false);
    /** Takes a waiting job out of the queue; it keeps its (unstarted) task. */
    bool cancel(FileJob *job);
    /** Aborts every queued job with WorkQueue::abortAll(): none of the waiting ones starts. */
    void cancelAll();

    QList<FileJob *> jobs() const { return m_jobs; }
    /** Whether @p job was aborted (by an urgent job, not by a timeout or cancelAll()) and queued again. */
    bool wasRequeued(const FileJob *job) const { return m_requeued.contains(job); }
    const QMap<QString, Entry> &index() const { return m_index; }

public Q_SLOTS:
    /** Emits idle() on the next event-loop turn if nothing is queued or about to be. */
    void checkIdle();

Q_SIGNALS:
    void jobFinished(FileJob *job);
    void idle();

protected:
    /** The jobs indexing one file takes, with their priorities. Subclasses add their own. */
    virtual QList<QPair<FileJob *, uint>> jobsFor(const QString &path) const;

private:
    void onJobFinished(FileJob *job);

    QDir m_root;
    ObjectWorker *m_queue;
    QList<FileJob *> m_jobs;
    QHash<const FileJob *, uint> m_priorities;
    QSet<const FileJob *> m_requeued;
    int m_pendingRequeues = 0;
    bool m_cancelling = false;
    bool m_idleCheckPosted = false;
    QMap<QString, Entry> m_index;
};

/** A FileIndexer that also collects to-do lines from source files and counts their code lines. */
class SourceIndexer : public FileIndexer
{
    Q_OBJECT

public:
    using FileIndexer::FileIndexer;

    static bool isSource(const QString &path);

protected:
    QList<QPair<FileJob *, uint>> jobsFor(const QString &path) const override;
};

#endif // ERRAND_EXAMPLES_FILEINDEXER_H
