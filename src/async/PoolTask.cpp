#include "PoolTask.h"

#include "PoolRun_p.h"
#include "jobs/DeleteGuard_p.h"

#include <QtCore/QPointer>
#include <QtCore/QThreadPool>

#include <exception>

class PoolTaskPrivate
{
public:
    PoolTaskPrivate(PoolTask::Work work, QThreadPool *pool)
        : work(std::move(work))
        , pool(pool)
        , poolGiven(pool)
    { }

    const PoolTask::Work work;
    // A given pool is guarded; the global one is looked up when the task starts.
    const QPointer<QThreadPool> pool;
    const bool poolGiven;
    // The run in flight (or a stale one, after a reset to Ready); null when none.
    std::shared_ptr<Errand::PoolRun> run;
    QVariant result;

    void cancelRun()
    {
        if (run)
            std::exchange(run, nullptr)->cancel();
    }
};

namespace Errand {

void PoolRun::cancel()
{
    m_cancelled.store(true, std::memory_order_release);
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_task = nullptr;
}

void PoolRun::fail(const QString &text)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_failed) {
        m_failed = true;
        m_failure = text;
    }
}

void PoolRun::setProgress(qint64 processed, qint64 total)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_task)
        m_task->setProgress(processed, total);
}

void PoolRun::setProgressText(const QString &text)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_task)
        m_task->setProgressText(text);
}

void PoolRun::finish(const std::shared_ptr<PoolRun> &run, Outcome outcome)
{
    const std::lock_guard<std::mutex> lock(run->m_mutex);
    PoolTask *task = run->m_task;
    if (!task)
        return; // reported already, or nobody listens any more
    if (run->m_failed)
        outcome = { Job::Failed, run->m_failure, QVariant() };
    run->m_task = nullptr; // a run reports once
    // The run rides along, so that no later run can take its address while this is pending.
    QMetaObject::invokeMethod(
        task, [task, run, outcome] { task->complete(run.get(), outcome); }, Qt::QueuedConnection);
}

PoolRunner::PoolRunner(std::shared_ptr<PoolRun> run, PoolTask::Work work)
    : m_run(std::move(run))
    , m_work(std::move(work))
{
    m_handedOver.store(true, std::memory_order_release);
}

PoolRunner::~PoolRunner()
{
    m_handedOver.load(std::memory_order_acquire);
    PoolRun::finish(m_run, { Job::Aborted, QString(), QVariant() });
}

void PoolRunner::run()
{
    m_handedOver.load(std::memory_order_acquire);
    if (m_run->isCancelled())
        return; // nobody listens any more
    Outcome outcome { Job::NoError, QString(), QVariant() };
    PoolTask::Context context(*m_run);
    try {
        outcome.result = m_work(context);
    } catch (const std::exception &e) {
        outcome = { Job::Failed, QString::fromLocal8Bit(e.what()), QVariant() };
    } catch (...) {
        outcome = { Job::Failed, QStringLiteral("unknown exception"), QVariant() };
    }
    PoolRun::finish(m_run, std::move(outcome));
}

} // namespace Errand

PoolTask::Context::Context(Errand::PoolRun &run)
    : m_run(run)
{ }

bool PoolTask::Context::isCancelled() const
{
    return m_run.isCancelled();
}

void PoolTask::Context::fail(const QString &text)
{
    m_run.fail(text);
}

void PoolTask::Context::setProgress(qint64 processed, qint64 total)
{
    m_run.setProgress(processed, total);
}

void PoolTask::Context::setProgressText(const QString &text)
{
    m_run.setProgressText(text);
}

PoolTask::PoolTask(const Job &job, Work work, QThreadPool *pool, QObject *parent)
    : Task(job, parent)
    , d(std::make_unique<PoolTaskPrivate>(std::move(work), pool))
{ }

PoolTask::~PoolTask()
{
    d->cancelRun();
}

QVariant PoolTask::result() const
{
    return d->result;
}

void PoolTask::start()
{
    if (isRunning())
        return;
    d->cancelRun(); // a run left behind by a reset to Ready
    const Errand::DeleteGuard self(static_cast<const Task &>(*this));
    if (d->result.isValid()) {
        d->result = QVariant();
        Q_EMIT resultChanged();
        if (self.deleted())
            return;
    }
    setState(Job::Running);
    // A handler of started() may have aborted, reset or deleted the task, or deleted the pool.
    if (self.deleted() || !isRunning())
        return;
    // Either fault fails the task as it starts, like a start() that finds it cannot work.
    QThreadPool *pool = d->poolGiven ? d->pool.data() : QThreadPool::globalInstance();
    const char *const fault = !d->work ? "no work to run" : !pool ? "no thread pool" : nullptr;
    if (fault) {
        qWarning("[PoolTask]: %s", fault);
        fail(QString::fromLatin1(fault));
        return;
    }
    d->run = std::make_shared<Errand::PoolRun>(this);
    pool->start(new Errand::PoolRunner(d->run, d->work));
}

void PoolTask::abort()
{
    d->cancelRun();
    Task::abort();
}

void PoolTask::complete(const Errand::PoolRun *run, const Errand::Outcome &outcome)
{
    // The outcome of a run that was aborted, replaced or reset meanwhile is dropped.
    if (run != d->run.get() || !isRunning())
        return;
    d->run.reset();
    switch (outcome.error) {
    case Job::NoError: {
        // The result comes before Finished, so that finished() handlers can read it.
        const Errand::DeleteGuard self(static_cast<const Task &>(*this));
        d->result = outcome.result;
        Q_EMIT resultChanged();
        if (!self.deleted() && isRunning())
            setState(Job::Finished);
        break;
    }
    case Job::Failed:
        fail(outcome.errorString);
        break;
    default: // taken off the pool before it started
        Task::abort();
        break;
    }
}
