#include "TestSupport.h"

namespace TestSupport {

namespace {

// Job and Task carry the same four signals.
template<class Source>
void watchSignals(SignalLog *log, Source *source, const QString &tag)
{
    QObject::connect(source, &Source::started, log, [log, tag] { log->add(tag + QStringLiteral(".started")); });
    QObject::connect(source, &Source::finished, log, [log, tag](Job::Error e) {
        log->add(tag + QStringLiteral(".finished(") + Job::toString(e) + QLatin1Char(')'));
    });
    QObject::connect(source, &Source::stateChanged, log, [log, tag](Job::State s) {
        log->add(tag + QStringLiteral(".stateChanged(") + Job::toString(s) + QLatin1Char(')'));
    });
    QObject::connect(
        source, &Source::resultChanged, log, [log, tag] { log->add(tag + QStringLiteral(".resultChanged")); });
    QObject::connect(source, &Source::progressChanged, log, [log, tag](qint64 processed, qint64 total) {
        log->add(tag + QStringLiteral(".progressChanged(%1,%2)").arg(processed).arg(total));
    });
}

} // namespace

void SignalLog::watchJob(Job *job, const QString &tag)
{
    watchSignals(this, job, tag);
}

void SignalLog::watchTask(Task *task, const QString &tag)
{
    watchSignals(this, task, tag);
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
    setState(Job::Running);
    if (mode == FinishOnStart)
        setState(Job::Finished);
    else if (mode == FailOnStart)
        fail(QStringLiteral("failed on start"));
    else if (mode == AbortOnStart)
        abort();
}

Task *CountingFactory::create(Worker &, const Job &job)
{
    calls.ref();
    if (!makesTasks)
        return nullptr;
    auto *task = new ManualTask(job);
    task->setObjectName(tag);
    return task;
}

} // namespace TestSupport
