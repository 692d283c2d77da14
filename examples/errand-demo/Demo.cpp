#include "Demo.h"

#include "QueueRows.h"
#include "QueueTable.h"
#include "TreeDigest.h"

#include <JobInfo.h>
#include <ObjectWorker.h>
#include <WorkerRegistry.h>

#include <QtCore/QFileInfo>

#include <algorithm>

namespace {

// Files are listed up to this many, so that a big directory still ends in reasonable time.
const int FileLimit = 100;
// Digests of files at least this large report their progress.
const qint64 LargeFile = 256 * 1024;
// How long the demo waits for a file that another program would write.
const int WaitTimeout = 300;

QString describeResult(const FileJob &job)
{
    if (qobject_cast<const HashFileJob *>(&job))
        return QStringLiteral("sha256 ") + job.result().toString().left(16) + QStringLiteral("...");
    if (auto *count = qobject_cast<const CountLinesJob *>(&job))
        return QStringLiteral("%1 %2")
            .arg(job.result().toInt())
            .arg(count->skipBlank() ? QStringLiteral("non-blank lines") : QStringLiteral("lines"));
    if (qobject_cast<const FindTodosJob *>(&job))
        return QStringLiteral("%1 to-do lines").arg(job.result().toStringList().size());
    if (qobject_cast<const DigestTreeJob *>(&job))
        return QStringLiteral("manifest sha256 ") + job.result().toString().left(16) + QStringLiteral("...");
    return job.result().toString();
}

QStringList sorted(QStringList list)
{
    std::sort(list.begin(), list.end());
    return list;
}

} // namespace

Demo::Demo(const DemoOptions &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_out(stdout)
    , m_indexer(options.directory)
    , m_model(m_indexer.queue())
{
    m_model.setMaxFinishedTasks(options.maxFinished);
    if (!options.quiet)
        m_table = new QueueTable(m_model, m_indexer, m_out, this);
    connect(&m_indexer, &FileIndexer::jobFinished, this, &Demo::onJobFinished);
    connect(&m_indexer, &FileIndexer::idle, this, &Demo::onIdle);
}

Demo::~Demo() = default;

void Demo::start()
{
    const QStringList files = m_indexer.scan(FileLimit);
    m_out << "indexing " << m_indexer.root().absolutePath() << " (" << files.size() << " files"
          << (m_options.generated ? QStringLiteral(", generated sample") : QString()) << ")\n";

    for (const QString &file : files)
        m_indexer.indexFile(file);
    m_out << "queued " << m_indexer.jobs().size() << " jobs: HashFileJob at priority " << FileIndexer::Normal
          << ", CountLinesJob and FindTodosJob at priority " << FileIndexer::Background << ", "
          << FileIndexer::Lanes << " at a time\n";

    // The whole tree as one job beside them: a group that scans, digests the files it found
    // TreeDigest::DigestsAtOnce at a time and writes a manifest. Its progress is the group's.
    m_out << "queued DigestTreeJob: scan, then " << TreeDigest::DigestsAtOnce << " digests at a time, then a manifest\n";
    m_indexer.submit(new DigestTreeJob(m_indexer.root().absolutePath()), FileIndexer::Normal);
    for (FileJob *job : m_indexer.jobs()) {
        const bool large = qobject_cast<HashFileJob *>(job) && QFileInfo(job->path()).size() >= LargeFile;
        if (!m_options.quiet && (large || qobject_cast<DigestTreeJob *>(job)))
            connect(job, &Job::progressChanged, this,
                [this, job](qint64 done, qint64 total) { reportProgress(job, done, total); });
    }

    // A file that the previous index knew and that has gone since: its job fails.
    m_indexer.submit(
        new HashFileJob(m_indexer.root().filePath(QStringLiteral("deleted-since-last-run.txt"))), FileIndexer::Normal);

    // An exporter would write this file when it is done; it never comes, and the job's timeout
    // ends the wait.
    m_out << "waiting for export.done for " << WaitTimeout << " ms at most\n";
    m_indexer.submit(new WaitForFileJob(m_indexer.root().filePath(QStringLiteral("export.done")), WaitTimeout),
        FileIndexer::Background);

    // The user takes back the last waiting line count.
    const QList<FileJob *> jobs = m_indexer.jobs();
    const auto countJob
        = std::find_if(jobs.rbegin(), jobs.rend(), [](FileJob *job) { return qobject_cast<CountLinesJob *>(job); });
    if (countJob != jobs.rend() && m_indexer.cancel(*countJob)) {
        QueueRows::forget(m_model, (*countJob)->task());
        ++m_dequeued;
        m_out << "dequeued " << (*countJob)->name() << " " << m_indexer.relativePath((*countJob)->path()) << "\n";
    }

    // The user opens a file and wants its digest now.
    if (!files.isEmpty()) {
        const QString urgent = files.at(files.size() / 2);
        m_out << "urgent: HashFileJob " << m_indexer.relativePath(urgent) << " at priority " << FileIndexer::Urgent
              << (m_options.autoAbort ? " (aborts the running job)" : " (runs next)") << "\n";
        m_indexer.submit(new HashFileJob(urgent), FileIndexer::Urgent, m_options.autoAbort);
    }
    m_out.flush();
    m_indexer.checkIdle();
}

void Demo::onJobFinished(FileJob *job)
{
    if (m_secondBatch) {
        ++m_cancelled;
        return;
    }
    const QString file = m_indexer.relativePath(job->path());
    switch (job->error()) {
    case Job::NoError:
        ++m_done;
        if (!m_options.quiet)
            m_out << "  done     " << job->name() << " " << file << ": " << describeResult(*job) << "\n";
        break;
    case Job::Failed:
        ++m_failed;
        m_out << "  FAILED   " << job->name() << " " << file << ": " << job->errorString() << "\n";
        break;
    case Job::Aborted:
        ++m_aborted;
        m_out << "  ABORTED  " << job->name() << " " << file << (m_indexer.wasRequeued(job) ? " (queued again)" : "")
              << (job->errorString().isEmpty() ? QString() : QStringLiteral(": ") + job->errorString()) << "\n";
        break;
    default:
        break;
    }
    m_out.flush();
}

// Progress arrives coalesced, so a quarter may be passed without a signal of its own: every
// quarter passed is printed, the last value (all of it) always comes before the job finishes.
void Demo::reportProgress(const FileJob *job, qint64 done, qint64 total)
{
    const int quarter = total > 0 ? int(4 * done / total) : 0;
    int &shown = m_quartersShown[job];
    while (shown < quarter) {
        ++shown;
        m_out << "  progress " << job->name() << " " << m_indexer.relativePath(job->path()) << " " << shown * 25
              << "%\n";
    }
    m_out.flush();
}

void Demo::onIdle()
{
    if (m_secondBatch)
        return finish();
    cancelSecondBatch();
    m_indexer.checkIdle();
}

// The user asks for every digest again, then changes their mind: abortAll() aborts the waiting
// jobs without starting any of them, then the one that runs.
void Demo::cancelSecondBatch()
{
    if (m_table)
        m_table->flush();
    m_secondBatch = true;
    const QStringList files = m_indexer.scan(FileLimit);
    for (const QString &file : files) {
        auto *job = new HashFileJob(file);
        connect(job, &Job::started, this, [this] { ++m_cancelledStarted; });
        m_indexer.submit(job, FileIndexer::Normal);
    }
    m_indexer.cancelAll();
    m_out << "second batch: queued " << files.size() << " digests, then abortAll(): " << m_cancelled << " aborted, "
          << m_cancelledStarted << " of them had started\n";
    m_out.flush();
}

void Demo::finish()
{
    if (m_table)
        m_table->flush();
    printSummary();
    printRegistry();
    m_out.flush();
    Q_EMIT done();
}

void Demo::printSummary()
{
    int digests = 0;
    int lines = 0;
    int counted = 0;
    int todos = 0;
    int sources = 0;
    for (const FileIndexer::Entry &entry : m_indexer.index()) {
        digests += entry.sha256.isEmpty() ? 0 : 1;
        if (entry.lines >= 0) {
            lines += entry.lines;
            ++counted;
        }
        todos += entry.todos.size();
    }
    for (const FileJob *job : m_indexer.jobs())
        sources += qobject_cast<const FindTodosJob *>(job) && job->error() == Job::NoError ? 1 : 0;

    m_out << "summary\n"
          << "  jobs: " << m_done << " done, " << m_failed << " failed, " << m_aborted << " aborted, " << m_dequeued
          << " dequeued, " << m_cancelled << " cancelled\n"
          << "  index: " << m_indexer.index().size() << " files, " << digests << " digests, " << lines << " lines in "
          << counted << " files, " << todos << " to-do lines in " << sources << " sources\n";
}

void Demo::printRegistry()
{
    WorkerRegistry *registry = WorkerRegistry::instance();
    if (!registry)
        return;
    m_out << "registry\n";
    for (const QString &worker : sorted(registry->workerNames()))
        m_out << "  worker " << worker << " serves " << sorted(registry->taskNames(worker)).join(QStringLiteral(", "))
              << "\n";
    m_out << "  this queue's worker (" << m_indexer.queue()->name() << ", class chain) serves "
          << m_indexer.queue()->jobNames().join(QStringLiteral(", ")) << "\n";
    for (const QString &job : sorted(registry->jobNames())) {
        const JobInfo info = registry->jobInfo(job);
        const QHash<QString, QString> properties = info.properties();
        QStringList parameters;
        for (const QString &name : sorted(properties.keys()))
            parameters.append(name + QLatin1Char(':') + properties.value(name));
        m_out << "  job " << job << ": " << info.description() << "\n"
              << "      parameters " << parameters.join(QStringLiteral(", ")) << "\n";
    }
}
