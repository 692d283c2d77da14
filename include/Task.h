#ifndef ERRAND_TASK_H
#define ERRAND_TASK_H

#include "errand_export.h"
#include "Job.h"
#include "TaskSharedObject.h"

#include <QtCore/QObject>
#include <QtCore/QString>

#include <atomic>

namespace Errand {
class DeleteGuard;
}

/**
 * The work behind a Job.
 *
 * The library fixes the state machine, errors and signals; the application implements start().
 * A task starts Ready with NoError. start() moves it to Running with setState(Job::Running);
 * the end of the work is reported with setState(Job::Finished) (success), fail(text) or
 * abort(). Every transition stores the new state before emitting, and stateChanged() always
 * comes before started() or finished().
 *
 * Tasks are shared through WorkQueue::TaskPtr; the last release hands the task to
 * deleteLater() (see TaskSharedObject). A subclass that produces a result declares a readable
 * property named "result" and emits resultChanged() when it changes.
 *
 * Drive a task's state machine from the thread the task lives in. state(), isRunning(),
 * isFinished() and error() may be read from any thread: a queue or a job in another thread
 * does so. The state is stored with release ordering after the error, the error text and
 * whatever the work wrote, so a thread that reads Finished also sees those. Nothing else in a
 * task is synchronized.
 *
 * A handler of the task's signals may delete a task that nothing references (deleting one a
 * job or queue holds is never safe); the transition then stops emitting. deleteLater() is
 * the advice.
 */
class ERRAND_EXPORT Task : public QObject, public TaskSharedObject
{
    Q_OBJECT
    /** The task's state; writing it is setState(), so any caller can drive the task. */
    Q_PROPERTY(Job::State state READ state WRITE setState NOTIFY stateChanged)
    /** The task's error. No change signal: read it when finished() is emitted. */
    Q_PROPERTY(Job::Error error READ error)
    /** The text given to fail(); null otherwise. No change signal. */
    Q_PROPERTY(QString errorString READ errorString)

public:
    /** A task made without a job: its name() is empty. */
    explicit Task(QObject *parent = nullptr);
    /** A task for @p job: name() is job.name(). The task keeps no pointer to the job. */
    explicit Task(const Job &job, QObject *parent = nullptr);
    ~Task() override;

    /** The type name of the job the task was made for. */
    QString name() const;
    /** The current state: Ready when constructed. Safe to read from any thread. */
    Job::State state() const;
    /**
     * NoError when constructed and after every move to Ready; Failed after fail(); Aborted after
     * abort(). Safe to read from any thread.
     */
    Job::Error error() const;
    /**
     * The text given to the last fail(); a null string when constructed and after every move to
     * Ready. Read it from the task's thread, or after seeing Finished.
     */
    QString errorString() const;
    /** True in state Running. Safe to read from any thread. */
    bool isRunning() const;
    /** True in state Finished. Safe to read from any thread. */
    bool isFinished() const;

    /**
     * Begins the work. Called by Worker::run() and by a WorkQueue when the task's turn comes
     * (never while it is running). It may finish the task before returning.
     */
    virtual void start() = 0;

    /**
     * Sets the error to Aborted and, unless the task has finished already, finishes it:
     * stateChanged(Finished), then finished(Aborted). On a finished task only the error
     * changes, silently. Overrides stop their work and call the base implementation.
     */
    virtual void abort();

Q_SIGNALS:
    /** The task moved to Running; emitted right after stateChanged(Job::Running). */
    void started();
    /**
     * The task moved to Finished with @p error; emitted right after stateChanged(Job::Finished).
     * A job or queue watching the task learns that it is done only from this signal.
     */
    void finished(Job::Error error);
    /**
     * The task moved to @p state, which is already stored; always emitted before started() or
     * finished(). Never emitted for a refused or repeated state.
     */
    void stateChanged(Job::State state);
    /**
     * For subclasses: emit it when the value of the "result" property changes. The base class
     * never emits it.
     */
    void resultChanged();

protected Q_SLOTS:
    /**
     * Sets the error to Failed and the error text to @p str, then finishes the task like
     * abort() does (silently if it has finished already).
     */
    void fail(const QString &str);

    /**
     * Moves the task to @p state, storing it before emitting stateChanged(@p state).
     *
     * Repeating the current state does nothing. Running then emits started(); Finished emits
     * finished(error()) with the error unchanged. Ready resets error and text (a running task is
     * first finished as Aborted, without calling abort(): stateChanged(Finished),
     * finished(Aborted), then stateChanged(Ready)). Invalid is refused with
     * "[Task]: Unhandled state <Invalid>"; values outside the enumeration are ignored silently.
     * Also the WRITE function of the "state" property.
     */
    void setState(Job::State state);

private:
    friend class Errand::DeleteGuard;

    void finish();

    QString m_name;
    std::atomic<Job::State> m_state{Job::Ready};
    std::atomic<Job::Error> m_error{Job::NoError};
    QString m_errorString;
    // The state transitions running on this task, told by the destructor that it is gone.
    mutable Errand::DeleteGuard *m_deleteGuards = nullptr;
};

#endif // ERRAND_TASK_H
