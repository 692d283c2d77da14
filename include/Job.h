#ifndef ERRAND_JOB_H
#define ERRAND_JOB_H

#include "errand_export.h"

#include <QtCore/QExplicitlySharedDataPointer>
#include <QtCore/QMetaEnum>
#include <QtCore/QObject>
#include <QtCore/QString>
#include <QtCore/QVariant>

class Task;
namespace Errand {
class DeleteGuard;
}

/**
 * A request for work, as the application sees it.
 *
 * Subclasses carry the work's parameters as Qt properties. A job holds no work state of its
 * own: it is attached to at most one Task and reports that task's state, error, error text and
 * result, and re-emits the task's four signals as its own. A job without a task is "not
 * initialized" (state Invalid, error NotInit).
 *
 * The job's name() is the key under which workers look up the factory that serves it; by
 * default it is the class name of the most-derived class.
 *
 * The job also mirrors its task's progress (processed(), total(), progressText() and
 * progressChanged()). The task's progressChanged() is forwarded only while something listens
 * to the job's, so that jobs whose progress nobody watches cost no connection for it.
 *
 * A handler may delete the job, even while a library call on it or on its queue runs; that
 * call then returns normally. deleteLater() is still the advice.
 */
class ERRAND_EXPORT Job : public QObject
{
    Q_OBJECT
    /** The job's type name, read through the virtual name(). */
    Q_PROPERTY(QString name READ name)
    /** The state of the attached task as the job sees it; Invalid without a task. */
    Q_PROPERTY(State state READ state NOTIFY stateChanged)
    /** The attached task's error; NotInit without a task. No change signal. */
    Q_PROPERTY(Job::Error error READ error)
    /** The attached task's error text; "Job not initialized" without a task. No change signal. */
    Q_PROPERTY(QString errorString READ errorString)
    /** The attached task's "result" property; invalid without a task or such a property. */
    Q_PROPERTY(QVariant result READ result NOTIFY resultChanged)
    /** The attached task's processed(); 0 without a task. */
    Q_PROPERTY(qint64 processed READ processed NOTIFY progressChanged)
    /** The attached task's total(); 0 (unknown) without a task. */
    Q_PROPERTY(qint64 total READ total NOTIFY progressChanged)
    /** The attached task's progressText(); null without a task. */
    Q_PROPERTY(QString progressText READ progressText NOTIFY progressChanged)

public:
    /**
     * The state of a task, and of a job as read from its task.
     *
     * A fixed underlying type: values outside the enumerators are accepted and answered (ignored
     * by Task::setState(), "Undefined" from toString()), so they must be representable. Registered
     * as the metatype "Job::State".
     */
    enum State : int { Invalid = 0, Ready = 1, Running = 2, Finished = 3 };
    Q_ENUM(State)

    /** \var Job::Invalid
     * No task attached: a job's state only, a task never reaches it through its interface. */
    /** \var Job::Ready
     * Neither running nor finished; where every task starts. */
    /** \var Job::Running
     * Started and not yet finished. */
    /** \var Job::Finished
     * Done, successfully, failed or aborted: error() tells which. */

    /** How a task ended, or why a job cannot tell. Registered as the metatype "Job::Error". */
    enum Error : int { NoError = 0, NotInit = 1, Failed = 2, Aborted = 3 };
    Q_ENUM(Error)

    /** \var Job::NoError
     * No error; also the error of a task that has not finished. */
    /** \var Job::NotInit
     * The job has no task attached. */
    /** \var Job::Failed
     * The task failed (Task::fail()); its error text says why. */
    /** \var Job::Aborted
     * The task was aborted, or reset to Ready while it was running. */

    /** A job without a task: state Invalid, error NotInit. */
    explicit Job(QObject *parent = nullptr);
    /** Releases the job's reference on its task; the task is deleted later, never here. */
    ~Job() override;

    /** The job's type name: the most-derived class name unless a subclass overrides it. */
    virtual QString name() const;

    /** Invalid without a task; otherwise Running, Finished or (anything else) Ready. */
    State state() const;
    /** True while the attached task runs; false without a task. */
    bool isRunning() const;
    /** True while a task is attached. */
    bool isValid() const;
    /** The task's error, or NotInit without a task. */
    Error error() const;
    /** The task's error text, or "Job not initialized" without a task. */
    QString errorString() const;
    /** The task's "result" property; an invalid QVariant without a task or such a property. */
    QVariant result() const;
    /** The attached task, or null. No reference is taken: do not keep the pointer. */
    Task *task() const;
    /** The task's processed(), or 0 without a task. */
    qint64 processed() const;
    /** The task's total() (0 or less: unknown), or 0 without a task. */
    qint64 total() const;
    /** The task's progressText(), or a null string without a task. */
    QString progressText() const;

    /**
     * Calls the task's virtual abort(); does nothing without a task. An abort() that throws
     * writes <tt>[Job]: task "&lt;name&gt;" threw from abort(): &lt;text&gt;</tt> and fails the task with the
     * text, unless it had finished already.
     */
    void abort();

    /**
     * Makes @p task the job's task, replacing (and releasing) any previous one.
     *
     * The previous task's connections to the job are cut, including ones the application made.
     * The job then catches up with the new task: started() if it runs, finished(error) if it
     * has finished; it still reports the previous task while these are emitted. Then, if
     * something listens to progressChanged() and the new task's progress differs from what the
     * job reported before, progressChanged() is emitted. Finally resultChanged() is emitted.
     * Attaching the task already attached does nothing; attaching null is the same as
     * detach().
     */
    void attach(Task *task);
    /** Drops the task without emitting anything; the job becomes Invalid. */
    void detach();

    /**
     * Enters this job's description (JobInfo built from this instance, dynamic properties
     * included) in the worker registry under name(). Writes "[Job]: registry not ready" once
     * the registry has been destroyed at exit.
     */
    void registerJob() const;
    /** Enters the description of the job class @p job under its class name. */
    static void registerJob(const QMetaObject &job);

    /** The meta-enum of State, from Job's static meta-object. */
    static QMetaEnum StateMetaEnum();
    /** The meta-enum of Error, from Job's static meta-object. */
    static QMetaEnum ErrorMetaEnum();
    /** The enumerator's key, for example "Running"; "Undefined" for values out of range. */
    static QString toString(State state);
    /** The enumerator's key, for example "Aborted"; "Undefined" for values out of range. */
    static QString toString(Error error);

Q_SIGNALS:
    /**
     * The attached task started (forwarded, after its stateChanged(Running)), or attach() caught
     * up with a task that was already running.
     */
    void started();
    /**
     * The attached task finished with @p error (forwarded, after its stateChanged(Finished)), or
     * attach() caught up with a task that had already finished.
     */
    void finished(Job::Error error);
    /** The attached task changed state; forwarded from the task only, never emitted by attach(). */
    void stateChanged(Job::State state);
    /**
     * The result may have changed: forwarded from the task, and emitted last by every attach()
     * of a new, non-null task.
     */
    void resultChanged();
    /**
     * The attached task's progressChanged(), forwarded (coalesced by the task), or attach()
     * moved to a task whose progress differs. Not emitted by detach().
     */
    void progressChanged(qint64 processed, qint64 total);

protected:
    /**
     * Starts forwarding the task's progressChanged() when the first receiver connects to the
     * job's. A subclass that overrides it calls this implementation.
     */
    void connectNotify(const QMetaMethod &signal) override;

private:
    void forwardProgress(Task *task);

    friend class Errand::DeleteGuard;

    QExplicitlySharedDataPointer<Task> m_task;
    // The library calls running on this job, told by the destructor that it is gone.
    mutable Errand::DeleteGuard *m_deleteGuards = nullptr;
};

// Both enumerations are metatypes under these names, registered by the first Job, Task or
// WorkQueue (or by moc's code when a meta-object is asked for an argument or property type), so
// queued connections and QVariant carry them without any registration by the application.
Q_DECLARE_METATYPE(Job::State)
Q_DECLARE_METATYPE(Job::Error)

#endif // ERRAND_JOB_H
