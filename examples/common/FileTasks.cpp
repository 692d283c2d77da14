#include "FileTasks.h"

#include <QtCore/QCryptographicHash>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QMutex>
#include <QtCore/QRunnable>
#include <QtCore/QThread>
#include <QtCore/QThreadPool>

namespace {

const qint64 ChunkSize = 64 * 1024;

BackgroundTask::Outcome failure(const QString &text)
{
    return { QVariant(), text };
}

BackgroundTask::Outcome cannotOpen(const QFile &file)
{
    return failure(QStringLiteral("cannot open %1: %2").arg(QFileInfo(file.fileName()).fileName(), file.errorString()));
}

BackgroundTask::Outcome cancelled()
{
    return failure(QStringLiteral("cancelled"));
}

// Set before any work starts, so that the pool threads read it after it was written.
BackgroundTask::ProgressHook &progressHook()
{
    static BackgroundTask::ProgressHook hook;
    return hook;
}

// Passes the lines of @p path, numbered from 1, to @p onLine. Every 256 lines it stops if
// @p cancel is raised and reports how far into the file it is. Returns the error text, if any.
QString readLines(const QString &path, const std::atomic_bool &cancel, const BackgroundTask::Progress &progress,
    const std::function<void(int number, const QByteArray &line)> &onLine)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return cannotOpen(file).error;
    for (int number = 1; !file.atEnd(); ++number) {
        if (number % 256 == 0) {
            if (cancel)
                return cancelled().error;
            progress(file.pos(), file.size());
        }
        onLine(number, file.readLine());
    }
    return QString();
}

} // namespace

// Shared by a task and the runner of its work. The runner posts its outcome only while holding
// the mutex and only if the task still listens, so the task cannot be destroyed or aborted
// half-way through the post; once posted, the event dies with the task if it goes first.
struct BackgroundTask::Channel
{
    std::atomic_bool cancelled { false };
    QMutex mutex;
    BackgroundTask *task = nullptr;
};

class BackgroundTask::Runner : public QRunnable
{
public:
    Runner(std::shared_ptr<Channel> channel, Work work, QString path)
        : m_channel(std::move(channel))
        , m_work(std::move(work))
        , m_path(std::move(path))
    { }

    void run() override
    {
        const Progress progress = [this](qint64 done, qint64 total) {
            {
                QMutexLocker lock(&m_channel->mutex);
                if (BackgroundTask *task = m_channel->task)
                    task->setProgress(done, total); // from this pool thread
            }
            // Unlocked: a hook that blocks must not keep the task's thread from aborting it.
            if (const ProgressHook &hook = progressHook())
                hook(m_path, done, total);
        };
        const Outcome outcome = m_work(m_channel->cancelled, progress);
        QMutexLocker lock(&m_channel->mutex);
        if (BackgroundTask *task = m_channel->task)
            QMetaObject::invokeMethod(
                task, [task, outcome] { task->complete(outcome); }, Qt::QueuedConnection);
    }

private:
    const std::shared_ptr<Channel> m_channel;
    const Work m_work;
    const QString m_path;
};

BackgroundTask::BackgroundTask(const FileJob &job)
    : Task(job)
    , m_path(job.path())
{ }

BackgroundTask::~BackgroundTask()
{
    disconnectChannel();
}

void BackgroundTask::start()
{
    setState(Job::Running);
    // Whoever listens to started() may have aborted us already.
    if (!isRunning())
        return;
    m_channel = std::make_shared<Channel>();
    m_channel->task = this;
    QThreadPool::globalInstance()->start(new Runner(m_channel, work(), m_path));
}

void BackgroundTask::setProgressHook(ProgressHook hook)
{
    progressHook() = std::move(hook);
}

void BackgroundTask::abort()
{
    disconnectChannel();
    Task::abort();
}

void BackgroundTask::complete(const Outcome &outcome)
{
    m_channel.reset();
    if (!isRunning())
        return;
    if (!outcome.error.isEmpty()) {
        fail(outcome.error);
        return;
    }
    // The result comes before Finished, so that finished() handlers can read it.
    m_result = outcome.value;
    Q_EMIT resultChanged();
    setState(Job::Finished);
}

void BackgroundTask::disconnectChannel()
{
    if (!m_channel)
        return;
    m_channel->cancelled = true;
    {
        QMutexLocker lock(&m_channel->mutex);
        m_channel->task = nullptr;
    }
    m_channel.reset();
}

BackgroundTask::Work HashFileTask::work() const
{
    return [path = path()](const std::atomic_bool &cancel, const Progress &progress) -> Outcome {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return cannotOpen(file);
        QCryptographicHash hash(QCryptographicHash::Sha256);
        while (!file.atEnd()) {
            if (cancel)
                return cancelled();
            const QByteArray chunk = file.read(ChunkSize);
            if (chunk.isEmpty() && file.error() != QFile::NoError)
                return failure(file.errorString());
            hash.addData(chunk);
            progress(file.pos(), file.size());
        }
        return { QString::fromLatin1(hash.result().toHex()), QString() };
    };
}

BackgroundTask::Work CountLinesTask::work() const
{
    return [path = path(), skipBlank = m_skipBlank](const std::atomic_bool &cancel, const Progress &progress) {
        int lines = 0;
        const QString error = readLines(path, cancel, progress, [&](int, const QByteArray &line) {
            if (!skipBlank || !line.trimmed().isEmpty())
                ++lines;
        });
        return error.isEmpty() ? Outcome { lines, QString() } : failure(error);
    };
}

BackgroundTask::Work FindTodosTask::work() const
{
    return [path = path(), marker = m_marker.toUtf8()](const std::atomic_bool &cancel, const Progress &progress) {
        QStringList hits;
        const QString error = readLines(path, cancel, progress, [&](int number, const QByteArray &line) {
            if (line.contains(marker))
                hits.append(QStringLiteral("%1: %2").arg(number).arg(QString::fromUtf8(line.trimmed())));
        });
        return error.isEmpty() ? Outcome { hits, QString() } : failure(error);
    };
}

BackgroundTask::Work WaitForFileTask::work() const
{
    return [path = path()](const std::atomic_bool &cancel, const Progress &) -> Outcome {
        while (!QFileInfo::exists(path)) {
            if (cancel)
                return cancelled(); // the timeout's abort() raised the flag
            QThread::msleep(10);
        }
        return { true, QString() };
    };
}
