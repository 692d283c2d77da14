#include "Job.h"

#include "AppCall_p.h"
#include "Connections_p.h"
#include "DeleteGuard_p.h"
#include "MetaTypes_p.h"
#include "JobInfo.h"
#include "Task.h"
#include "WorkerRegistry.h"

namespace {

// The four forwarding connections task -> job, resolved once (see Errand::connectByIndex).
struct ForwardIndexes
{
    int signal[4];
    int target[4];
};

const ForwardIndexes &forwardIndexes()
{
    static const ForwardIndexes indexes = [] {
        static const char *const signatures[4] = {"started()", "finished(Job::Error)",
                                                  "stateChanged(Job::State)", "resultChanged()"};
        ForwardIndexes result{};
        for (int i = 0; i < 4; ++i) {
            result.signal[i] = Errand::methodIndex(Task::staticMetaObject, signatures[i]);
            result.target[i] = Errand::methodIndex(Job::staticMetaObject, signatures[i]);
        }
        return result;
    }();
    return indexes;
}

const QMetaMethod &progressSignal()
{
    static const QMetaMethod signal = QMetaMethod::fromSignal(&Job::progressChanged);
    return signal;
}

QString fromKey(const char *key)
{
    return key ? QString::fromLatin1(key) : QStringLiteral("Undefined");
}

} // namespace

Job::Job(QObject *parent)
    : QObject(parent)
{
    Errand::registerEnumMetaTypes();
}

Job::~Job()
{
    Errand::DeleteGuard::objectDeleted(m_deleteGuards);
}

QString Job::name() const
{
    return QString::fromLatin1(metaObject()->className());
}

Job::State Job::state() const
{
    if (!m_task)
        return Invalid;
    if (m_task->isRunning())
        return Running;
    if (m_task->isFinished())
        return Finished;
    return Ready;
}

bool Job::isRunning() const
{
    return m_task && m_task->isRunning();
}

bool Job::isValid() const
{
    return bool(m_task);
}

Job::Error Job::error() const
{
    return m_task ? m_task->error() : NotInit;
}

QString Job::errorString() const
{
    return m_task ? m_task->errorString() : QStringLiteral("Job not initialized");
}

QVariant Job::result() const
{
    return m_task ? m_task->property("result") : QVariant();
}

Task *Job::task() const
{
    return m_task.data();
}

qint64 Job::processed() const
{
    return m_task ? m_task->processed() : 0;
}

qint64 Job::total() const
{
    return m_task ? m_task->total() : 0;
}

QString Job::progressText() const
{
    return m_task ? m_task->progressText() : QString();
}

void Job::abort()
{
    if (Task *task = m_task.data())
        Errand::callTask("Job", task, "abort()", [task] { task->abort(); });
}

void Job::attach(Task *task)
{
    if (m_task) {
        if (m_task.data() == task)
            return;
        QObject::disconnect(m_task.data(), nullptr, this, nullptr);
    }
    if (!task) {
        m_task.reset();
        return;
    }

    const ForwardIndexes &fwd = forwardIndexes();
    for (int i = 0; i < 4; ++i)
        Errand::connectByIndex(task, fwd.signal[i], this, fwd.target[i]);
    const bool progressWatched = isSignalConnected(progressSignal());
    if (progressWatched)
        forwardProgress(task);

    // Catch up before storing the task: receivers still see the previous task (or none).
    const Errand::DeleteGuard self(*this);
    if (task->isRunning() || task->isFinished()) {
        if (task->isRunning())
            Q_EMIT started();
        else
            Q_EMIT finished(task->error());
        if (self.deleted())
            return Errand::releaseUnclaimed(task);
    }

    const bool progressMoved = progressWatched
        && (processed() != task->processed() || total() != task->total() || progressText() != task->progressText());
    m_task = task; // references the new task, then releases the old one
    if (progressMoved) {
        Q_EMIT progressChanged(task->processed(), task->total());
        if (self.deleted())
            return;
    }
    Q_EMIT resultChanged();
}

void Job::connectNotify(const QMetaMethod &signal)
{
    QObject::connectNotify(signal);
    if (m_task && signal == progressSignal())
        forwardProgress(m_task.data());
}

void Job::forwardProgress(Task *task)
{
    connect(task, &Task::progressChanged, this, &Job::progressChanged, Qt::UniqueConnection);
}

void Job::detach()
{
    if (!m_task)
        return;
    QObject::disconnect(m_task.data(), nullptr, this, nullptr);
    m_task.reset();
}

void Job::registerJob() const
{
    WorkerRegistry *registry = WorkerRegistry::instance();
    if (!registry) {
        qWarning("[Job]: registry not ready");
        return;
    }
    const JobInfo info(*this);
    registry->registerJob(name(), info);
}

void Job::registerJob(const QMetaObject &job)
{
    WorkerRegistry *registry = WorkerRegistry::instance();
    if (!registry) {
        qWarning("[Job]: registry not ready");
        return;
    }
    const JobInfo info(job);
    registry->registerJob(QString::fromLatin1(job.className()), info);
}

QMetaEnum Job::StateMetaEnum()
{
    static const int index = staticMetaObject.indexOfEnumerator("State");
    return staticMetaObject.enumerator(index);
}

QMetaEnum Job::ErrorMetaEnum()
{
    static const int index = staticMetaObject.indexOfEnumerator("Error");
    return staticMetaObject.enumerator(index);
}

QString Job::toString(State state)
{
    return fromKey(StateMetaEnum().valueToKey(state));
}

QString Job::toString(Error error)
{
    return fromKey(ErrorMetaEnum().valueToKey(error));
}
