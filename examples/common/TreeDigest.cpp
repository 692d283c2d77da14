#include "TreeDigest.h"

#include <PoolTask.h>

#include <QtCore/QCryptographicHash>
#include <QtCore/QDir>
#include <QtCore/QDirIterator>

TreeDigest::TreeDigest(Worker &worker, const DigestTreeJob &job)
    : TaskGroup(job, Sequential)
    , m_worker(worker)
    , m_root(QDir(job.path()).absolutePath())
{
    connect(this, &TaskGroup::childFinished, this, &TreeDigest::onChildFinished);
    add(WorkQueue::TaskPtr(new PoolTask(job, [root = m_root](PoolTask::Context &context) -> QVariant {
        QStringList files;
        QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext() && !context.isCancelled())
            files.append(it.next());
        files.sort();
        return files;
    })));
}

// The steps are tasks of their own, named after the tree job: a task keeps only its job's name.

// Runs before the group decides whether it is done, so each step adds the next one here.
void TreeDigest::onChildFinished(const WorkQueue::TaskPtr &child, Job::Error error)
{
    if (error != Job::NoError)
        return; // the group stops with this child's error
    if (finishedCount() == 1)
        addDigests(child->property("result").toStringList());
    else if (child.data() == m_digests)
        addManifest();
}

void TreeDigest::addDigests(const QStringList &files)
{
    m_files = files;
    auto *digests = new TaskGroup(DigestTreeJob(m_root), TaskGroup::Parallel);
    digests->setMaxParallel(DigestsAtOnce);
    for (const QString &file : files)
        digests->add(*new HashFileJob(file, this), m_worker);
    m_digests = digests;
    add(WorkQueue::TaskPtr(digests));
}

void TreeDigest::addManifest()
{
    QString manifest;
    const QDir root(m_root);
    const QVariantList digests = m_digests->result();
    for (int i = 0; i < m_files.size() && i < digests.size(); ++i)
        manifest += digests.at(i).toString() + QLatin1String("  ") + root.relativeFilePath(m_files.at(i)) + QLatin1Char('\n');
    add(WorkQueue::TaskPtr(new PoolTask(DigestTreeJob(m_root), [manifest](PoolTask::Context &) -> QVariant {
        return QString::fromLatin1(QCryptographicHash::hash(manifest.toUtf8(), QCryptographicHash::Sha256).toHex());
    })));
}

QString TreeDigest::manifestDigest() const
{
    return isFinished() && error() == Job::NoError ? TaskGroup::result().value(2).toString() : QString();
}
