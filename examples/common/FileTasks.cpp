#include "FileTasks.h"

#include <QtCore/QCryptographicHash>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QThread>

namespace {

const qint64 ChunkSize = 64 * 1024;

// Set before any work starts, so that the pool threads read it after it was written.
FileTask::ProgressHook &progressHook()
{
    static FileTask::ProgressHook hook;
    return hook;
}

// Reports how far the work on @p path is, then lets the hook pace or hold it.
void report(PoolTask::Context &context, const QString &path, qint64 done, qint64 total)
{
    context.setProgress(done, total);
    if (const FileTask::ProgressHook &hook = progressHook())
        hook(path, done, total);
}

// Opens @p path for the work, or reports why it cannot through @p context.
bool open(QFile &file, PoolTask::Context &context)
{
    if (file.open(QIODevice::ReadOnly))
        return true;
    context.fail(QStringLiteral("cannot open %1: %2").arg(QFileInfo(file.fileName()).fileName(), file.errorString()));
    return false;
}

// Passes the lines of @p path, numbered from 1, to @p onLine. Every 256 lines it stops if the
// task was cancelled and reports how far into the file it is. False if the file cannot be read.
bool readLines(const QString &path, PoolTask::Context &context,
    const std::function<void(int number, const QByteArray &line)> &onLine)
{
    QFile file(path);
    if (!open(file, context))
        return false;
    for (int number = 1; !file.atEnd(); ++number) {
        if (number % 256 == 0) {
            if (context.isCancelled())
                return true; // what is returned now is dropped
            report(context, path, file.pos(), file.size());
        }
        onLine(number, file.readLine());
    }
    return true;
}

} // namespace

void FileTask::setProgressHook(ProgressHook hook)
{
    progressHook() = std::move(hook);
}

PoolTask::Work FileTask::workFor(const HashFileJob &job)
{
    return [path = job.path()](Context &context) -> QVariant {
        QFile file(path);
        if (!open(file, context))
            return QVariant();
        QCryptographicHash hash(QCryptographicHash::Sha256);
        while (!file.atEnd() && !context.isCancelled()) {
            const QByteArray chunk = file.read(ChunkSize);
            if (chunk.isEmpty() && file.error() != QFile::NoError) {
                context.fail(file.errorString());
                break;
            }
            hash.addData(chunk);
            report(context, path, file.pos(), file.size());
        }
        return QString::fromLatin1(hash.result().toHex());
    };
}

PoolTask::Work FileTask::workFor(const CountLinesJob &job)
{
    return [path = job.path(), skipBlank = job.skipBlank()](Context &context) -> QVariant {
        int lines = 0;
        const bool read = readLines(path, context, [&](int, const QByteArray &line) {
            if (!skipBlank || !line.trimmed().isEmpty())
                ++lines;
        });
        return read ? QVariant(lines) : QVariant();
    };
}

PoolTask::Work FileTask::workFor(const FindTodosJob &job)
{
    return [path = job.path(), marker = job.marker().toUtf8()](Context &context) -> QVariant {
        QStringList hits;
        const bool read = readLines(path, context, [&](int number, const QByteArray &line) {
            if (line.contains(marker))
                hits.append(QStringLiteral("%1: %2").arg(number).arg(QString::fromUtf8(line.trimmed())));
        });
        return read ? QVariant(hits) : QVariant();
    };
}

PoolTask::Work FileTask::workFor(const WaitForFileJob &job)
{
    return [path = job.path()](Context &context) -> QVariant {
        while (!QFileInfo::exists(path) && !context.isCancelled()) // the timeout's abort() cancels
            QThread::msleep(10);
        return true;
    };
}
