#include "ErrandFuture.h"

#include <QtCore/QThread>

#include <atomic>
#include <mutex>

namespace Errand::Detail {

struct TaskEndWatch::State
{
    // Set by whoever sees the end first: the task's signals, or watch() finding it finished.
    std::atomic<bool> ended { false };
    bool deleted = false; // written with the outcome
    Outcome outcome; // written once by whoever set ended, read on the watching thread after that

    std::mutex mutex;
    // Guarded by the mutex. The callback is null once it has been taken or the watch stopped.
    Callback callback = nullptr;
    void *context = nullptr;
    QThread *thread = nullptr; // the watching thread
    // Whether the task lives in the watching thread, which may then disconnect it.
    bool taskHere = true;
    // Lives in the watching thread: an end seen in another thread is posted to it.
    QObject *receiver = nullptr;
    QMetaObject::Connection finished;
    QMetaObject::Connection destroyed;

    static void end(const std::shared_ptr<State> &state, Outcome outcome, bool deleted);
    void deliver();
    // With the mutex held: no further call and nothing left posted; the task's connections go
    // too when it lives in this thread, and otherwise at its next end() in its own thread.
    void stop();
};

// Runs on the task's thread, inside its finished() or destroyed().
void TaskEndWatch::State::end(const std::shared_ptr<State> &state, Outcome outcome, bool deleted)
{
    std::unique_lock<std::mutex> lock(state->mutex);
    // A task in another thread is disconnected only from its own thread: Qt may free a functor
    // in the thread that emits, and then only this lock orders its creation before that. A task
    // in the watching thread is disconnected when the watch stops.
    if (!state->taskHere) {
        QObject::disconnect(state->finished);
        QObject::disconnect(state->destroyed);
    }
    if (state->ended.exchange(true, std::memory_order_acq_rel))
        return;
    state->outcome = std::move(outcome);
    state->deleted = deleted;
    if (!state->callback)
        return;
    if (QThread::currentThread() == state->thread) {
        const Callback callback = std::exchange(state->callback, nullptr);
        lock.unlock(); // the callback may destroy the watch
        callback(state->context);
        return;
    }
    // Made here rather than by watch(), so that a task moved to another thread meanwhile is
    // followed too; moved at once to the watching thread, which delivers and deletes it.
    state->taskHere = false;
    state->receiver = new QObject;
    state->receiver->moveToThread(state->thread);
    QMetaObject::invokeMethod(
        state->receiver, [state] { state->deliver(); }, Qt::QueuedConnection);
}

void TaskEndWatch::State::deliver()
{
    std::unique_lock<std::mutex> lock(mutex);
    const Callback taken = std::exchange(callback, nullptr);
    lock.unlock();
    if (taken)
        taken(context);
}

void TaskEndWatch::State::stop()
{
    callback = nullptr;
    if (taskHere) {
        QObject::disconnect(finished);
        QObject::disconnect(destroyed);
    }
    if (!receiver)
        return;
    // Deleting it removes a delivery still pending; from another thread, its own loop must.
    if (receiver->thread() == QThread::currentThread())
        delete receiver;
    else
        receiver->deleteLater();
    receiver = nullptr;
}

TaskEndWatch::TaskEndWatch() = default;

TaskEndWatch::~TaskEndWatch()
{
    if (!m_state)
        return;
    const std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->stop();
}

bool TaskEndWatch::watch(Task *task, Callback callback, void *context)
{
    m_state = std::make_shared<State>();
    const std::shared_ptr<State> &state = m_state;
    {
        const std::lock_guard<std::mutex> lock(state->mutex);
        state->callback = callback;
        state->context = context;
        state->thread = QThread::currentThread();
        state->taskHere = task->thread() == state->thread;
        // Direct connections: the outcome is read on the task's thread while the task lives.
        state->finished
            = QObject::connect(task, &Task::finished, [state, task] { State::end(state, outcomeOf(*task), false); });
        state->destroyed
            = QObject::connect(task, &QObject::destroyed, [state] { State::end(state, deletedOutcome(), true); });
    }
    // Connected first, looked at second: an end in between is seen by one of the two only.
    if (!task->isFinished() || state->ended.exchange(true, std::memory_order_acq_rel))
        return true;
    state->outcome = outcomeOf(*task);
    const std::lock_guard<std::mutex> lock(state->mutex);
    state->stop();
    return false;
}

const Outcome &TaskEndWatch::outcome() const
{
    return m_state->outcome;
}

bool TaskEndWatch::taskDeleted() const
{
    return m_state && m_state->deleted;
}

Outcome TaskEndWatch::outcomeOf(const Task &task)
{
    return { task.error(), task.errorString(), task.property("result") };
}

Outcome TaskEndWatch::deletedOutcome()
{
    return { Job::Aborted, QStringLiteral("task deleted"), QVariant() };
}

} // namespace Errand::Detail
