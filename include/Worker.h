#ifndef ERRAND_WORKER_H
#define ERRAND_WORKER_H

#include "errand_export.h"

#include <QtCore/QString>
#include <QtCore/QStringList>

class Job;
class QObject;
class Task;
class TaskCtor;
namespace Errand {
class DeleteGuard;
}

/**
 * Turns jobs into tasks on behalf of one QObject, the one object() returns.
 *
 * Task factories are looked up in the WorkerRegistry under every class name of object()'s class
 * chain, most-derived first up to QObject, so a factory registered for a base class serves all
 * its subclasses. Registering and messages use name(), by default the most-derived class name.
 *
 * object() is asked afresh by every operation and never cached. Without an object, operations
 * write "[Worker]: invalid Object, please implement the object method" and fail; once the
 * registry is gone at exit, createTask(), jobNames(), registerTask() and unregisterTask() write
 * "[Worker]: registry not ready" and fail.
 *
 * A task factory may delete the worker or the job: the call then stops and returns normally,
 * without a task. deleteLater() is still the advice.
 *
 * Application code that throws never unwinds through a worker. A factory (or a createTask()
 * override) that throws made no task: <tt>[Worker]: task "&lt;job&gt;" threw from its factory: &lt;text&gt;</tt>,
 * and no later class of the chain is asked. A start() that run() calls and that throws writes
 * <tt>[Worker]: task "&lt;job&gt;" threw from start(): &lt;text&gt;</tt> and fails the task with the text
 * (what() of a std::exception, "unknown exception" otherwise), unless it had finished already.
 */
class ERRAND_EXPORT Worker
{
public:
    Worker();
    virtual ~Worker();

    /** createTask(job) and, if that gives a task, job.attach(task). The task stays Ready. */
    virtual void prepare(Job &job);
    /** Like prepare(), then starts the task; the job re-emits whatever start() emits. */
    virtual void run(Job &job);
    /** The class name of object(); a null string (and a warning) without an object. */
    virtual QString name() const;
    /** The object this worker stands for. */
    virtual QObject *object() = 0;
    /**
     * The job names registered under each class name of object()'s chain, most-derived class
     * first, in the registry's order within each; a name registered twice in the chain is
     * listed twice.
     */
    virtual QStringList jobNames() const;
    /**
     * A new task (reference count 0) from the first factory of the class chain that makes one,
     * or null. Without any, writes
     * <tt>[Worker]: "<worker>" has no registered tasks for "<job>"</tt>.
     * The caller must attach the task, hold it in a WorkQueue::TaskPtr or otherwise own it.
     */
    virtual Task *createTask(const Job &job);

    /** Registers @p ctor for job name @p task under name(); see WorkerRegistry::registerTask. */
    bool registerTask(const QString &task, TaskCtor *ctor, bool replace = false);
    /** Removes the factory for @p task under name(), whatever factory it is. */
    bool unregisterTask(const QString &task);

private:
    Q_DISABLE_COPY(Worker)
    friend class Errand::DeleteGuard;

    // The createTask() calls running on this worker, told by the destructor that it is gone.
    mutable Errand::DeleteGuard *m_deleteGuards = nullptr;
};

#endif // ERRAND_WORKER_H
