#include "WorkPacing.h"

#include "FileTasks.h"

#include <QtCore/QSemaphore>
#include <QtCore/QThread>

#include <memory>

void WorkPacing::pace(int msec)
{
    FileTask::setProgressHook([msec](const QString &, qint64, qint64) { QThread::msleep(msec); });
}

std::function<void()> WorkPacing::holdHalfway(const QString &path, QObject *context, std::function<void()> reached)
{
    // Shared with the hook, which outlives the caller's interest.
    struct Gate
    {
        QSemaphore open;
        std::atomic_bool held { false };
    };
    const auto gate = std::make_shared<Gate>();
    FileTask::setProgressHook([=](const QString &worked, qint64 done, qint64 total) {
        if (worked != path || done * 2 < total || gate->held.exchange(true))
            return;
        // Queued after the task's own news of this report, which the window shows first.
        QMetaObject::invokeMethod(context, reached, Qt::QueuedConnection);
        gate->open.acquire();
    });
    return [gate] { gate->open.release(); };
}
