#include "Task_p.h"

#include <QtCore/QCoreApplication>

namespace Errand {

QEvent::Type progressEventType()
{
    static const auto type = QEvent::Type(QEvent::registerEventType());
    return type;
}

TaskExtra &TaskExtra::ensure(Task &task)
{
    if (TaskExtra *extra = get(task))
        return *extra;
    // Two threads may get here at once: the first to install its copy wins.
    auto *made = new TaskExtra;
    TaskExtra *expected = nullptr;
    if (task.m_extra.compare_exchange_strong(expected, made, std::memory_order_seq_cst))
        return *made;
    delete made;
    return *expected;
}

void TaskExtra::setQueueTimeout(Task &task, int msec)
{
    TaskExtra *extra = get(task);
    if (!extra && msec == 0)
        return;
    (extra ? *extra : ensure(task)).queueTimeout.store(msec, std::memory_order_relaxed);
}

// The lock orders a report against settle(): either the report comes first and settle() emits
// its values, or it sees the task finished. A report that makes the extra part at the moment the
// task finishes is ordered by the sequentially consistent installation of the part, the load of
// the state below and the task's store of Finished followed by its load of the part.
template<typename Change>
void TaskExtra::report(Task &task, Change change)
{
    TaskExtra &extra = ensure(task);
    bool post = false;
    bool warn = false;
    {
        const std::lock_guard<std::mutex> lock(extra.m_mutex);
        if (task.m_state.load(std::memory_order_seq_cst) == Job::Finished) {
            warn = !std::exchange(extra.m_warnedFinished, true);
        } else if (change(extra.m_processed, extra.m_total, extra.m_text) && !extra.m_posted) {
            // An event nobody would hear costs a wake-up of the task's thread: the news waits for
            // a receiver instead (listenerConnected()), or for the task's finish.
            post = task.isSignalConnected(progressSignal());
            extra.m_posted = post;
            extra.m_unheard = !post;
        }
    }
    if (warn)
        qWarning("[Task]: ignoring progress of a finished task");
    if (post)
        QCoreApplication::postEvent(&task, new QEvent(progressEventType()));
}

void TaskExtra::setAmounts(Task &task, qint64 processed, qint64 total)
{
    report(task, [processed, total](qint64 &p, qint64 &t, QString &) {
        const bool changed = p != processed || t != total;
        p = processed;
        t = total;
        return changed;
    });
}

void TaskExtra::setText(Task &task, const QString &text)
{
    report(task, [&text](qint64 &, qint64 &, QString &current) {
        const bool changed = current != text;
        current = text;
        return changed;
    });
}

double TaskExtra::fraction(const Task &task)
{
    TaskExtra *extra = get(task);
    if (!extra)
        return 0;
    const std::lock_guard<std::mutex> lock(extra->m_mutex);
    return extra->m_total > 0 ? qMin(1.0, double(extra->m_processed) / double(extra->m_total)) : 0.0;
}

const QMetaMethod &TaskExtra::progressSignal()
{
    static const QMetaMethod signal = QMetaMethod::fromSignal(&Task::progressChanged);
    return signal;
}

void TaskExtra::listenerConnected(Task &task)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_unheard || m_posted)
            return;
        m_unheard = false;
        m_posted = true;
    }
    QCoreApplication::postEvent(&task, new QEvent(progressEventType()));
}

qint64 TaskExtra::processed()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_processed;
}

qint64 TaskExtra::total()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_total;
}

QString TaskExtra::text()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_text;
}

void TaskExtra::deliver(Task &task)
{
    qint64 processed;
    qint64 total;
    QString text;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_posted = m_unheard = false;
        processed = m_processed;
        total = m_total;
        text = m_text;
    }
    // Only this thread finishes the task, and settle() has told its last values.
    if (!task.isFinished())
        show(task, processed, total, text);
}

void TaskExtra::settle(Task &task)
{
    stopClock(task);
    qint64 processed;
    qint64 total;
    QString text;
    bool posted;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        posted = std::exchange(m_posted, false);
        m_unheard = false;
        processed = m_processed;
        total = m_total;
        text = m_text;
    }
    // The news goes out now; the event would only find the task finished. Dropping it also
    // spares the task's deletion a search of the posted events.
    if (posted)
        QCoreApplication::removePostedEvents(&task, progressEventType());
    show(task, processed, total, text);
}

void TaskExtra::abortWith(Task &task, const QString &text)
{
    task.m_errorString = text;
    task.Task::abort();
}

void TaskExtra::reset(Task &task)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_processed = 0;
        m_total = 0;
        m_text = QString();
        m_unheard = false;
        m_warnedFinished = false; // a new run warns again
    }
    // A queue sets its timeout again before it starts the task anew; a start by other hands
    // runs under the task's own timeout alone.
    queueTimeout.store(0, std::memory_order_relaxed);
    show(task, 0, 0, QString());
}

void TaskExtra::show(Task &task, qint64 processed, qint64 total, const QString &text)
{
    if (processed == m_shownProcessed && total == m_shownTotal && text == m_shownText)
        return;
    m_shownProcessed = processed;
    m_shownTotal = total;
    m_shownText = text;
    Q_EMIT task.progressChanged(processed, total);
}

void TaskExtra::startClock(Task &task)
{
    stopClock(task);
    const int own = timeout.load(std::memory_order_seq_cst);
    const int msec = own > 0 ? own : queueTimeout.load(std::memory_order_relaxed);
    if (msec > 0) {
        m_timerId = task.startTimer(msec);
        m_clockMsec = msec;
    }
}

void TaskExtra::stopClock(Task &task)
{
    if (m_timerId)
        task.killTimer(std::exchange(m_timerId, 0));
}

} // namespace Errand
