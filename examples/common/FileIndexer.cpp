#include "FileIndexer.h"

#include "FileTasks.h"
#include "TreeDigest.h"

#include <JobRegistration.h>
#include <ObjectWorker.h>
#include <TaskFactory.h>
#include <WorkerRegistration.h>

#include <QtCore/QDirIterator>
#include <QtCore/QFileInfo>
#include <QtCore/QScopedValueRollback>

namespace {

// What indexers can do. A worker looks a job up under every class name of its object's class
// chain, so the factories registered for FileIndexer serve SourceIndexer too, and FindTodosJob
// is served for SourceIndexer only.
const WorkerRegistration hashFiles(
    FileIndexer::staticMetaObject, HashFileJob::staticMetaObject, new TaskFactory<FileTask, HashFileJob>);
const WorkerRegistration countLines(
    FileIndexer::staticMetaObject, CountLinesJob::staticMetaObject, new TaskFactory<FileTask, CountLinesJob>);
const WorkerRegistration findTodos(
    SourceIndexer::staticMetaObject, FindTodosJob::staticMetaObject, new TaskFactory<FileTask, FindTodosJob>);
const WorkerRegistration waitForFiles(
    FileIndexer::staticMetaObject, WaitForFileJob::staticMetaObject, new TaskFactory<FileTask, WaitForFileJob>);
const WorkerRegistration digestTrees(
    FileIndexer::staticMetaObject, DigestTreeJob::staticMetaObject, new TaskFactory<TreeDigest, DigestTreeJob>);

// Descriptions for whoever browses the registry: the class info "description" and the
// writable properties of each job class.
const JobRegistration hashFilesInfo(HashFileJob::staticMetaObject);
const JobRegistration countLinesInfo(CountLinesJob::staticMetaObject);
const JobRegistration findTodosInfo(FindTodosJob::staticMetaObject);
const JobRegistration waitForFilesInfo(WaitForFileJob::staticMetaObject);
const JobRegistration digestTreesInfo(DigestTreeJob::staticMetaObject);

bool hasSuffix(const QString &path, std::initializer_list<const char *> suffixes)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    for (const char *s : suffixes) {
        if (suffix == QLatin1String(s))
            return true;
    }
    return false;
}

} // namespace

FileIndexer::FileIndexer(const QString &root, QObject *parent)
    : QObject(parent)
    , m_root(QDir(root).absolutePath())
    , m_queue(new ObjectWorker(this, this))
{
    m_queue->setMaxRunning(Lanes);
}

FileIndexer::~FileIndexer() = default;

QStringList FileIndexer::scan(int limit) const
{
    QStringList files;
    QDirIterator it(m_root.absolutePath(), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(it.next());
    files.sort();
    return files.mid(0, limit);
}

QList<QPair<FileJob *, uint>> FileIndexer::jobsFor(const QString &path) const
{
    QList<QPair<FileJob *, uint>> jobs { { new HashFileJob(path), Normal } };
    if (hasSuffix(path, { "txt", "md", "log", "csv", "cpp", "h", "c", "hpp", "py", "cmake", "json", "xml" }))
        jobs.append({ new CountLinesJob(path), Background });
    return jobs;
}

void FileIndexer::indexFile(const QString &path)
{
    const auto jobs = jobsFor(path);
    for (const auto &job : jobs)
        submit(job.first, job.second);
}

bool FileIndexer::submit(FileJob *job, uint priority, bool abortRunning)
{
    if (!m_jobs.contains(job)) {
        job->setParent(this);
        m_jobs.append(job);
        connect(job, &Job::finished, this, [this, job] { onJobFinished(job); });
    }
    m_priorities.insert(job, priority);

    const bool autoAbort = m_queue->autoAbort();
    m_queue->setAutoAbort(autoAbort || abortRunning);
    const bool queued = m_queue->enqueue(*job, priority);
    m_queue->setAutoAbort(autoAbort);
    return queued;
}

bool FileIndexer::cancel(FileJob *job)
{
    return m_queue->dequeue(*job);
}

void FileIndexer::cancelAll()
{
    const QScopedValueRollback<bool> cancelling(m_cancelling, true);
    m_queue->abortAll();
}

void FileIndexer::onJobFinished(FileJob *job)
{
    // Aborted to make way for an urgent job: once more. Not when cancelled or out of time.
    if (job->error() == Job::Aborted && !m_cancelling && job->errorString().isEmpty() && !m_requeued.contains(job)) {
        // Queued again from the event loop: the abort is still unwinding through the queue.
        m_requeued.insert(job);
        ++m_pendingRequeues;
        QMetaObject::invokeMethod(
            this,
            [this, job] {
                --m_pendingRequeues;
                m_queue->enqueue(*job, m_priorities.value(job));
            },
            Qt::QueuedConnection);
    } else if (job->error() == Job::NoError && !qobject_cast<DigestTreeJob *>(job)) {
        Entry &entry = m_index[relativePath(job->path())];
        if (qobject_cast<HashFileJob *>(job))
            entry.sha256 = job->result().toString();
        else if (qobject_cast<CountLinesJob *>(job))
            entry.lines = job->result().toInt();
        else if (qobject_cast<FindTodosJob *>(job))
            entry.todos = job->result().toStringList();
    }
    Q_EMIT jobFinished(job);
    checkIdle();
}

void FileIndexer::checkIdle()
{
    if (m_idleCheckPosted)
        return;
    m_idleCheckPosted = true;
    // Asked from the event loop: while a task's finished() is delivered the task is still
    // queued, and the next one starts only afterwards.
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_idleCheckPosted = false;
            if (m_pendingRequeues == 0 && m_queue->queue().isEmpty())
                Q_EMIT idle();
        },
        Qt::QueuedConnection);
}

bool SourceIndexer::isSource(const QString &path)
{
    return hasSuffix(path, { "cpp", "h", "c", "hpp", "py" });
}

QList<QPair<FileJob *, uint>> SourceIndexer::jobsFor(const QString &path) const
{
    QList<QPair<FileJob *, uint>> jobs = FileIndexer::jobsFor(path);
    if (!isSource(path))
        return jobs;
    for (const auto &job : jobs) {
        if (auto *count = qobject_cast<CountLinesJob *>(job.first))
            count->setSkipBlank(true);
    }
    jobs.append({ new FindTodosJob(path), Background });
    return jobs;
}
