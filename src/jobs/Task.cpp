#include "Task.h"

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

Task::~Task() = default;

QString Task::name() const
{
    return m_name;
}

Job::State Task::state() const
{
    return m_state;
}

Job::Error Task::error() const
{
    return m_error;
}

QString Task::errorString() const
{
    return m_errorString;
}

bool Task::isRunning() const
{
    return m_state == Job::Running;
}

bool Task::isFinished() const
{
    return m_state == Job::Finished;
}

void Task::abort()
{
    m_error = Job::Aborted;
    finish();
}

void Task::fail(const QString &str)
{
    m_error = Job::Failed;
    m_errorString = str;
    finish();
}

// The Finished transition shared by fail() and abort(): silent on a finished task.
void Task::finish()
{
    if (m_state == Job::Finished)
        return;
    setState(Job::Finished);
}

void Task::setState(Job::State state)
{
    const Job::State current = m_state;
    if (state == current)
        return;
    if (current == Job::Invalid) {
        qWarning("[Task]: Can't modify an <Invalid> Task");
        return;
    }

    switch (state) {
    case Job::Ready:
        if (current == Job::Running) {
            m_state = Job::Finished;
            m_error = Job::Aborted;
            Q_EMIT stateChanged(Job::Finished);
            Q_EMIT finished(Job::Aborted);
        }
        m_state = Job::Ready;
        m_error = Job::NoError;
        m_errorString = QString();
        Q_EMIT stateChanged(Job::Ready);
        break;
    case Job::Running:
        m_state = Job::Running;
        Q_EMIT stateChanged(Job::Running);
        Q_EMIT started();
        break;
    case Job::Finished:
        m_state = Job::Finished;
        Q_EMIT stateChanged(Job::Finished);
        Q_EMIT finished(m_error);
        break;
    case Job::Invalid:
        qWarning("[Task]: Unhandled state <Invalid>");
        break;
    }
}
