#ifndef ERRAND_TASK_P_H
#define ERRAND_TASK_P_H

#include "Task.h"

#include <QtCore/QEvent>
#include <QtCore/QMetaMethod>
#include <QtCore/QString>

#include <atomic>
#include <mutex>

namespace Errand {

// The event that brings coalesced progress news to a task or a queue, in its own thread.
QEvent::Type progressEventType();

// A task's progress and timeout. Made by whichever thread first uses either, so that a task
// that uses neither costs one pointer, posts no event and sets no timer.
class TaskExtra
{
public:
    // Null until progress or a timeout was first used.
    static TaskExtra *get(const Task &task) { return task.m_extra.load(std::memory_order_seq_cst); }
    static TaskExtra &ensure(Task &task);

    // The queue's timeout for a task it is about to start; costs nothing while both are 0.
    static void setQueueTimeout(Task &task, int msec);

    // Any thread: store a change and post the update event if none is on its way.
    static void setAmounts(Task &task, qint64 processed, qint64 total);
    static void setText(Task &task, const QString &text);
    // Task::abort() with an error text, as a timeout gives one.
    static void abortWith(Task &task, const QString &text);

    // The share of @p task that is done: processed of a known total, capped at 1; 0 while the
    // total is unknown. Any thread.
    static double fraction(const Task &task);

    // Any thread.
    qint64 processed();
    qint64 total();
    QString text();

    // Task::progressChanged(), which is worth an event only while something listens.
    static const QMetaMethod &progressSignal();
    // A receiver connected to progressChanged(): news nobody was told of gets its event now.
    void listenerConnected(Task &task);

    // The task's thread: the update event arrived.
    void deliver(Task &task);
    // The task's thread, inside the move to Finished (the state stored): stops the clock and
    // emits pending news. A handler may delete the task: the caller checks before going on.
    void settle(Task &task);
    // The task's thread, inside the move to Ready: back to 0 of 0, emitted if observers were
    // told other values. The caller checks for deletion as after settle().
    void reset(Task &task);

    // The task's thread: (re)starts the clock with the timeout that applies, if any.
    void startClock(Task &task);
    void stopClock(Task &task);
    bool isClock(int timerId) const { return timerId && timerId == m_timerId; }
    int clockMsec() const { return m_clockMsec; }

    // Timeouts in milliseconds: the task's own, and the one of the queue that starts it.
    std::atomic<int> timeout { 0 };
    std::atomic<int> queueTimeout { 0 };

private:
    template<typename Change>
    static void report(Task &task, Change change);
    // Emits progressChanged() unless observers were told these values last. Touches nothing
    // after emitting: a handler may delete the task, and this with it.
    void show(Task &task, qint64 processed, qint64 total, const QString &text);

    // Written from any thread, under the mutex.
    std::mutex m_mutex;
    qint64 m_processed = 0;
    qint64 m_total = 0;
    QString m_text;
    bool m_posted = false; // an update event is on its way
    bool m_unheard = false; // changed while nothing listened, so no event was posted
    bool m_warnedFinished = false;

    // The task's thread only.
    qint64 m_shownProcessed = 0;
    qint64 m_shownTotal = 0;
    QString m_shownText;
    int m_timerId = 0;
    int m_clockMsec = 0;

    friend class ::Task;
};

} // namespace Errand

#endif // ERRAND_TASK_P_H
