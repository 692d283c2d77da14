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
 * A handler may delete the job, even while a library call on it or on its queue runs; that
 * call then returns normally. deleteLater() is still the advice.
 */
class ERRAND_EXPORT Job : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString name READ name)
    Q_PROPERTY(State state READ state NOTIFY stateChanged)
    Q_PROPERTY(Job::Error error READ error)
    Q_PROPERTY(QString errorString READ errorString)
    Q_PROPERTY(QVariant result READ result NOTIFY resultChanged)

public:
    // A fixed underlying type: values outside the enumerators are accepted and answered (ignored
    // by Task::setState(), "Undefined" from toString()), so they must be representable.
    enum State : int { Invalid = 0, Ready = 1, Running = 2, Finished = 3 };
    Q_ENUM(State)

    enum Error : int { NoError = 0, NotInit = 1, Failed = 2, Aborted = 3 };
    Q_ENUM(Error)

    explicit Job(QObject *parent = nullptr);
    /** Releases the job's reference on its task; the task is deleted later, never here. */
    ~Job() override;

    /** The job's type name: the most-derived class name unless a subclass overrides it. */
    virtual QString name() const;

    /** Invalid without a task; otherwise Running, Finished or (anything else) Ready. */
    State state() const;
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

    /** Calls the task's virtual abort(); does nothing without a task. */
    void abort();

    /**
     * Makes @p task the job's task, replacing (and releasing) any previous one.
     *
     * The previous task's connections to the job are cut, including ones the application made.
     * The job then catches up with the new task: started() if it runs, finished(error) if it
     * has finished; it still reports the previous task while these are emitted. Finally
     * resultChanged() is emitted. Attaching the task already attached does nothing; attaching
     * null is the same as detach().
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

    static QMetaEnum StateMetaEnum();
    static QMetaEnum ErrorMetaEnum();
    /** The enumerator's key, for example "Running"; "Undefined" for values out of range. */
    static QString toString(State state);
    /** The enumerator's key, for example "Aborted"; "Undefined" for values out of range. */
    static QString toString(Error error);

Q_SIGNALS:
    void started();
    void finished(Job::Error error);
    void stateChanged(Job::State state);
    void resultChanged();

private:
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
