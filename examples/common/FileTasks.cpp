#include "FileTasks.h"

#include <QtCore/QCryptographicHash>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QThread>

namespace {

const qint64 ChunkSize = 64 * 1024;

// Opens @p path for the work, or reports why it cannot through @p context.
bool open(QFile &file, PoolTask::Context &context)
{
    if (file.open(QIODevice::ReadOnly))
        return true;
    context.fail(QStringLiteral("cannot open %1: %2").arg(QFileInfo(file.fileName()).fileName(), file.errorString()));
    return false;
}

} // namespace

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
            context.setProgress(file.pos(), file.size());
        }
        return QString::fromLatin1(hash.result().toHex());
    };
}

PoolTask::Work FileTask::workFor(const CountLinesJob &job)
{
    return [path = job.path(), skipBlank = job.skipBlank()](Context &context) -> QVariant {
        QFile file(path);
        if (!open(file, context))
            return QVariant();
        int lines = 0;
        for (int read = 1; !file.atEnd() && (read % 1024 || !context.isCancelled()); ++read) {
            const QByteArray line = file.readLine();
            if (!skipBlank || !line.trimmed().isEmpty())
                ++lines;
        }
        return lines;
    };
}

PoolTask::Work FileTask::workFor(const FindTodosJob &job)
{
    return [path = job.path(), marker = job.marker().toUtf8()](Context &context) -> QVariant {
        QFile file(path);
        if (!open(file, context))
            return QVariant();
        QStringList hits;
        for (int number = 1; !file.atEnd() && (number % 1024 || !context.isCancelled()); ++number) {
            const QByteArray line = file.readLine();
            if (line.contains(marker))
                hits.append(QStringLiteral("%1: %2").arg(number).arg(QString::fromUtf8(line.trimmed())));
        }
        return hits;
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
