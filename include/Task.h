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
class TaskExtra;
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
 *
 * <b>Progress.</b> A task may report how far it has got with setProgress() and
 * setProgressText(), from any thread: work running in a pool thread reports from there. Each
 * change marks the task as having news and posts one event to the task's thread unless one is
 * on its way already (also when the change is made in that thread); the event emits
 * progressChanged() once with the latest values. However often progress is set, the signal
 * comes at most once per pass of the task's event loop, and never with the values it last
 * carried. Progress still pending when the task finishes is emitted inside the move to
 * Finished, after the state is stored and before stateChanged(Job::Finished), so the last
 * value always comes before finished(); a finished task never emits progressChanged() again.
 * A move to Ready resets progress to 0 of 0 with no text, and emits progressChanged(0, 0)
 * just before stateChanged(Job::Ready) if observers had been told other values.
 *
 * <b>Timeout.</b> With a timeout (setTimeout(), or WorkQueue::setTaskTimeout() for the tasks a
 * queue starts), a clock starts when the task moves to Running. A task still running when it
 * runs out gets the error text "timed out after <msec> ms" and then a call to its virtual
 * abort(), so that an override stops the work; the task finishes as Aborted when that
 * override finishes it, at once or later. This is the one case where an aborted task has an
 * error text. The clock is a timer of the task's own thread; without a timeout no timer
 * exists, and leaving Running stops it.
 *
 * Neither progress nor a timeout costs anything until used: a task that uses neither posts no
 * event and sets no timer. Progress that nothing listens to posts no event either; the first
 * receiver to connect to progressChanged() schedules the news it missed.
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
    /** The amount of work done so far, in the task's own unit; 0 until reported. */
    Q_PROPERTY(qint64 processed READ processed NOTIFY progressChanged)
    /** The amount of work in all; 0 or less while unknown. */
    Q_PROPERTY(qint64 total READ total NOTIFY progressChanged)
    /** A short description of the current step; null until reported. */
    Q_PROPERTY(QString progressText READ progressText NOTIFY progressChanged)
    /** The task's own timeout in milliseconds; 0 for none. */
    Q_PROPERTY(int timeout READ timeout WRITE setTimeout)

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
     * The text given to the last fail(), or "timed out after <msec> ms" once the task's timeout
     * ran out (the only error text an aborted task has); a null string when constructed and
     * after every move to Ready. Read it from the task's thread, or after seeing Finished.
     */
    QString errorString() const;
    /** True in state Running. Safe to read from any thread. */
    bool isRunning() const;
    /** True in state Finished. Safe to read from any thread. */
    bool isFinished() const;

    /**
     * The amount of work done, as last given to setProgress(); 0 when constructed and after a
     * move to Ready. It may exceed a known total() (an estimate that was too low). Safe to read
     * from any thread; it may be newer than the values progressChanged() last carried.
     */
    qint64 processed() const;
    /**
     * The amount of work in all, as last given to setProgress(); 0 or less means unknown (the
     * default). Safe to read from any thread.
     */
    qint64 total() const;
    /** The text last given to setProgressText(); null by default. Safe to read from any thread. */
    QString progressText() const;

    /** The task's own timeout in milliseconds, 0 (the default) for none. Any thread. */
    int timeout() const;
    /**
     * Sets the task's own timeout to @p msec milliseconds; 0 removes it, so that the timeout of
     * a queue that starts the task applies instead.
     *
     * The clock starts when the task moves to Running. On a running task the clock starts
     * again from this call with the timeout that then applies (so a factory, or a handler of
     * started(), can set it); from a thread other than the task's, that happens when the
     * task's thread next runs its event loop. A negative @p msec is ignored with the warning
     * "[Task]: ignoring negative timeout (<msec>)".
     */
    void setTimeout(int msec);

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
    /**
     * Progress changed to @p processed of @p total (see processed(), total()), or the
     * progressText() changed. Coalesced: emitted in the task's thread at most once per pass of
     * its event loop, with the latest values, never twice in a row with the same values, and
     * never by a finished task (pending news is emitted inside the move to Finished, before
     * stateChanged()). A handler may delete the job, the queue or a model.
     */
    void progressChanged(qint64 processed, qint64 total);

protected:
    /**
     * Reports @p processed of @p total done; a @p total of 0 or less means unknown. Safe from
     * any thread, but the task must outlive the call.
     *
     * Stores the values and, if they changed, schedules progressChanged() (see the class
     * comment). A @p processed above a known @p total is stored as it is. A negative
     * @p processed is ignored with the warning "[Task]: ignoring setProgress() with a negative
     * amount processed (<processed>)". A finished task ignores progress: the first such call
     * writes "[Task]: ignoring progress of a finished task"; later ones are silent until the task
     * moves to Ready.
     */
    void setProgress(qint64 processed, qint64 total);
    /**
     * Describes the current step; announced through progressChanged() like a change of
     * amounts, with the same rules (any thread; ignored, with the same warning, once finished).
     */
    void setProgressText(const QString &text);

    /**
     * Delivers the library's own events to the task: coalesced progress and the timeout's
     * clock. A subclass that overrides event() passes the events it does not handle on to this
     * implementation, as Qt requires of every override.
     */
    bool event(QEvent *event) override;
    /**
     * Schedules progressChanged() for news that came while nothing listened: progress posts no
     * event while no receiver is connected. A subclass that overrides it calls this
     * implementation.
     */
    void connectNotify(const QMetaMethod &signal) override;

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
    friend class Errand::TaskExtra;

    void finish();
    void timeOut();

    QString m_name;
    std::atomic<Job::State> m_state { Job::Ready };
    std::atomic<Job::Error> m_error { Job::NoError };
    QString m_errorString;
    // The state transitions running on this task, told by the destructor that it is gone.
    mutable Errand::DeleteGuard *m_deleteGuards = nullptr;
    // Progress and timeout, allocated by whichever thread uses either first.
    std::atomic<Errand::TaskExtra *> m_extra { nullptr };
};

#endif // ERRAND_TASK_H
