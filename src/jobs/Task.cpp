#include "Task.h"

#include "AppCall_p.h"
#include "DeleteGuard_p.h"
#include "MetaTypes_p.h"
#include "Task_p.h"

#include <QtCore/QThread>
#include <QtCore/QTimerEvent>

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
    // QObject's destructor drops a pending update event and kills the clock's timer.
    delete m_extra.load(std::memory_order_acquire);
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

qint64 Task::processed() const
{
    Errand::TaskExtra *extra = Errand::TaskExtra::get(*this);
    return extra ? extra->processed() : 0;
}

qint64 Task::total() const
{
    Errand::TaskExtra *extra = Errand::TaskExtra::get(*this);
    return extra ? extra->total() : 0;
}

QString Task::progressText() const
{
    Errand::TaskExtra *extra = Errand::TaskExtra::get(*this);
    return extra ? extra->text() : QString();
}

void Task::setProgress(qint64 processed, qint64 total)
{
    if (processed < 0) {
        qWarning("[Task]: ignoring setProgress() with a negative amount processed (%lld)", processed);
        return;
    }
    Errand::TaskExtra::setAmounts(*this, processed, total);
}

void Task::setProgressText(const QString &text)
{
    Errand::TaskExtra::setText(*this, text);
}

int Task::timeout() const
{
    Errand::TaskExtra *extra = Errand::TaskExtra::get(*this);
    return extra ? extra->timeout.load(std::memory_order_relaxed) : 0;
}

void Task::setTimeout(int msec)
{
    if (msec < 0) {
        qWarning("[Task]: ignoring negative timeout (%d)", msec);
        return;
    }
    if (msec == 0 && !Errand::TaskExtra::get(*this))
        return;
    Errand::TaskExtra &extra = Errand::TaskExtra::ensure(*this);
    extra.timeout.store(msec, std::memory_order_seq_cst);
    if (m_state.load(std::memory_order_seq_cst) != Job::Running)
        return; // the clock starts with the move to Running, which sees the new timeout
    if (QThread::currentThread() == thread())
        return extra.startClock(*this);
    // The timer belongs to the task's thread. The context object drops the call if the task goes.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (isRunning())
                Errand::TaskExtra::ensure(*this).startClock(*this);
        },
        Qt::QueuedConnection);
}

void Task::connectNotify(const QMetaMethod &signal)
{
    QObject::connectNotify(signal);
    Errand::TaskExtra *extra = Errand::TaskExtra::get(*this);
    if (extra && signal == Errand::TaskExtra::progressSignal())
        extra->listenerConnected(*this);
}

bool Task::event(QEvent *event)
{
    if (event->type() == Errand::progressEventType()) {
        if (Errand::TaskExtra *extra = Errand::TaskExtra::get(*this))
            extra->deliver(*this);
        return true;
    }
    if (event->type() == QEvent::Timer) {
        Errand::TaskExtra *extra = Errand::TaskExtra::get(*this);
        if (extra && extra->isClock(static_cast<QTimerEvent *>(event)->timerId())) {
            timeOut();
            return true;
        }
    }
    return QObject::event(event);
}

// The clock ran out: the one place where a timeout calls the virtual abort().
void Task::timeOut()
{
    Errand::TaskExtra &extra = *Errand::TaskExtra::get(*this);
    const int msec = extra.clockMsec();
    extra.stopClock(*this);
    if (!isRunning())
        return;
    m_errorString = QStringLiteral("timed out after %1 ms").arg(msec);
    Errand::callTask("Task", this, "abort()", [this] { abort(); });
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
    // Finished is stored sequentially consistent: a thread that reports progress while the task
    // finishes either sees it finished or has its values emitted by settle() (see report()).
    Errand::TaskExtra *extra = nullptr;
    switch (state) {
    case Job::Ready:
        if (current == Job::Running) {
            m_error.store(Job::Aborted, std::memory_order_relaxed);
            m_state.store(Job::Finished, std::memory_order_seq_cst);
            if ((extra = Errand::TaskExtra::get(*this)))
                extra->settle(*this);
            if (self.deleted())
                return;
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
        if ((extra = Errand::TaskExtra::get(*this)))
            extra->reset(*this);
        if (!self.deleted())
            Q_EMIT stateChanged(Job::Ready);
        break;
    case Job::Running:
        // Sequentially consistent, as setTimeout() from another thread reads it.
        m_state.store(Job::Running, std::memory_order_seq_cst);
        if ((extra = Errand::TaskExtra::get(*this)))
            extra->startClock(*this);
        Q_EMIT stateChanged(Job::Running);
        if (!self.deleted())
            Q_EMIT started();
        break;
    case Job::Finished:
        m_state.store(Job::Finished, std::memory_order_seq_cst);
        if ((extra = Errand::TaskExtra::get(*this)))
            extra->settle(*this);
        if (self.deleted())
            return;
        Q_EMIT stateChanged(Job::Finished);
        if (!self.deleted())
            Q_EMIT finished(error());
        break;
    case Job::Invalid:
        qWarning("[Task]: Unhandled state <Invalid>");
        break;
    }
}
