#include "Task.h"

#include "DeleteGuard_p.h"
#include "MetaTypes_p.h"

Task::Task(QObject *parent)
    : QObject(parent)
    , TaskSharedObject(this)
{
    Errand::registerEnumMetaTypes();
}

Task::Task(const Job &job, QObject *parent)
    : QObject(parent)
    , TaskSharedObject(this)
    , m_name(job.name())
{
    Errand::registerEnumMetaTypes();
}

Task::~Task()
{
    Errand::DeleteGuard::objectDeleted(m_deleteGuards);
}

QString Task::name() const
{
    return m_name;
}

Job::State Task::state() const
{
    return m_state.load(std::memory_order_acquire);
}

Job::Error Task::error() const
{
    return m_error.load(std::memory_order_acquire);
}

QString Task::errorString() const
{
    return m_errorString;
}

bool Task::isRunning() const
{
    return state() == Job::Running;
}

bool Task::isFinished() const
{
    return state() == Job::Finished;
}

void Task::abort()
{
    m_error.store(Job::Aborted, std::memory_order_release);
    finish();
}

void Task::fail(const QString &str)
{
    m_errorString = str;
    m_error.store(Job::Failed, std::memory_order_release);
    finish();
}

// The Finished transition shared by fail() and abort(): silent on a finished task.
void Task::finish()
{
    if (m_state.load(std::memory_order_relaxed) == Job::Finished)
        return;
    setState(Job::Finished);
}

// Only the task's own thread writes; other threads read with acquire (see the class comment).
void Task::setState(Job::State state)
{
    const Job::State current = m_state.load(std::memory_order_relaxed);
    if (state == current)
        return;
    if (current == Job::Invalid) {
        qWarning("[Task]: Can't modify an <Invalid> Task");
        return;
    }

    // A handler may delete a task that nothing references: stop emitting then.
    const Errand::DeleteGuard self(*this);
    switch (state) {
    case Job::Ready:
        if (current == Job::Running) {
            m_error.store(Job::Aborted, std::memory_order_relaxed);
            m_state.store(Job::Finished, std::memory_order_release);
            Q_EMIT stateChanged(Job::Finished);
            if (self.deleted())
                return;
            Q_EMIT finished(Job::Aborted);
            if (self.deleted())
                return;
        }
        m_errorString = QString();
        m_error.store(Job::NoError, std::memory_order_relaxed);
        m_state.store(Job::Ready, std::memory_order_release);
        Q_EMIT stateChanged(Job::Ready);
        break;
    case Job::Running:
        m_state.store(Job::Running, std::memory_order_release);
        Q_EMIT stateChanged(Job::Running);
        if (!self.deleted())
            Q_EMIT started();
        break;
    case Job::Finished:
        m_state.store(Job::Finished, std::memory_order_release);
        Q_EMIT stateChanged(Job::Finished);
        if (!self.deleted())
            Q_EMIT finished(error());
        break;
    case Job::Invalid:
        qWarning("[Task]: Unhandled state <Invalid>");
        break;
    }
}
