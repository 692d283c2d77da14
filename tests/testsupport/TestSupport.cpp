#include "TestSupport.h"

#include <QtTest/QTest>
#include <QtTest/private/qtestlog_p.h>

namespace TestSupport {

namespace {

QtMessageHandler s_previous = nullptr;

void strictHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    // QtTest's handler (the previous one) swallows a message announced with
    // QTest::ignoreMessage and drops it from its pending list; a shorter list afterwards is how
    // we know the message was expected.
    const int pendingIgnores = QTestLog::unhandledIgnoreMessages();
    if (s_previous)
        s_previous(type, context, message);
    const bool announced = QTestLog::unhandledIgnoreMessages() < pendingIgnores;
    if ((type == QtWarningMsg || type == QtCriticalMsg) && !announced)
        QTest::qFail(qPrintable(QStringLiteral("unexpected warning: ") + message), context.file ? context.file : "",
                     context.line);
}

} // namespace

void failOnUnexpectedWarnings()
{
    if (!s_previous)
        s_previous = qInstallMessageHandler(strictHandler);
}

void SignalLog::watchJob(Job *job, const QString &tag)
{
    connect(job, &Job::started, this, [this, tag] { add(tag + QStringLiteral(".started")); });
    connect(job, &Job::finished, this,
            [this, tag](Job::Error e) { add(tag + QStringLiteral(".finished(") + Job::toString(e) + QLatin1Char(')')); });
    connect(job, &Job::stateChanged, this,
            [this, tag](Job::State s) { add(tag + QStringLiteral(".stateChanged(") + Job::toString(s) + QLatin1Char(')')); });
    connect(job, &Job::resultChanged, this, [this, tag] { add(tag + QStringLiteral(".resultChanged")); });
}

void SignalLog::watchTask(Task *task, const QString &tag)
{
    connect(task, &Task::started, this, [this, tag] { add(tag + QStringLiteral(".started")); });
    connect(task, &Task::finished, this,
            [this, tag](Job::Error e) { add(tag + QStringLiteral(".finished(") + Job::toString(e) + QLatin1Char(')')); });
    connect(task, &Task::stateChanged, this,
            [this, tag](Job::State s) { add(tag + QStringLiteral(".stateChanged(") + Job::toString(s) + QLatin1Char(')')); });
    connect(task, &Task::resultChanged, this, [this, tag] { add(tag + QStringLiteral(".resultChanged")); });
}

void SignalLog::watchQueue(WorkQueue *queue, const QString &tag)
{
    connect(queue, &WorkQueue::started, this, [this, tag] { add(tag + QStringLiteral(".started")); });
    connect(queue, &WorkQueue::finished, this,
            [this, tag](Job::Error e) { add(tag + QStringLiteral(".finished(") + Job::toString(e) + QLatin1Char(')')); });
    connect(queue, &WorkQueue::queued, this, [this, tag](const WorkQueue::TaskPtr &task, uint priority) {
        add(tag + QStringLiteral(".queued(") + (task ? task->objectName() : QStringLiteral("null")) + QLatin1Char(',')
            + QString::number(priority) + QLatin1Char(')'));
    });
}

void ManualTask::start()
{
    ++startCalls;
    switch (mode) {
    case RunOnStart:
        setState(Job::Running);
        break;
    case FinishOnStart:
        setState(Job::Running);
        setState(Job::Finished);
        break;
    case FailOnStart:
        setState(Job::Running);
        fail(QStringLiteral("failed on start"));
        break;
    case AbortOnStart:
        setState(Job::Running);
        abort();
        break;
    case StayReadyOnStart:
        break;
    }
}

} // namespace TestSupport
