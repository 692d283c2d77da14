#ifndef ERRAND_EXAMPLES_TREEDIGEST_H
#define ERRAND_EXAMPLES_TREEDIGEST_H

#include "FileJobs.h"

#include <TaskGroup.h>

#include <QtCore/QPointer>

class Worker;

/**
 * The task of a DigestTreeJob: a sequential group of three steps. A scan lists the files below
 * the job's directory on the thread pool; when it has finished, a parallel group of one
 * HashFileJob per file joins the sequence, three digests at a time, each made by the worker
 * that made this group (so the worker's factories and plug-ins serve them); when every digest
 * is done, the manifest ("<sha256>  <relative path>" per line) is written and digested on the
 * pool. Each step is added from a childFinished() handler: the group waits for those handlers
 * before it decides that it is done.
 *
 * Its result (and so its job's) is the manifest's digest; TaskGroup::result() keeps the list of
 * the steps' results. A failed digest stops the group (the default policy) with that file's
 * error. The hash jobs are children of the
 * group, so they go with it; the worker must outlive the group, which a queue that is its own
 * worker (ObjectWorker) does.
 */
class TreeDigest : public TaskGroup
{
    Q_OBJECT
    /** The directory, as the views show the file of a FileTask. */
    Q_PROPERTY(QString path READ path CONSTANT)
    /**
     * The manifest's digest once the group has finished without error: it stands for the
     * group's list of its steps' results, which TaskGroup::result() still gives.
     */
    Q_PROPERTY(QString result READ manifestDigest NOTIFY resultChanged)

public:
    /** How many digests run at once. */
    static constexpr int DigestsAtOnce = 3;

    TreeDigest(Worker &worker, const DigestTreeJob &job);

    QString path() const { return m_root; }
    QString manifestDigest() const;

private:
    void onChildFinished(const WorkQueue::TaskPtr &child, Job::Error error);
    void addDigests(const QStringList &files);
    void addManifest();

    Worker &m_worker;
    const QString m_root;
    QStringList m_files;
    QPointer<TaskGroup> m_digests;
};

#endif // ERRAND_EXAMPLES_TREEDIGEST_H
