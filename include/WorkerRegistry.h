#ifndef ERRAND_WORKERREGISTRY_H
#define ERRAND_WORKERREGISTRY_H

#include "errand_export.h"
#include "JobInfo.h"
#include "TaskCtor.h"

#include <QtCore/QExplicitlySharedDataPointer>
#include <QtCore/QHash>
#include <QtCore/QReadWriteLock>
#include <QtCore/QString>
#include <QtCore/QStringList>
#include <QtCore/QVariantMap>

class Job;
class Task;
class Worker;

/**
 * The process-wide directory of task factories and job descriptions.
 *
 * Two independent tables, each behind its own non-recursive QReadWriteLock: worker name ->
 * (task name -> TaskCtor), and job name -> JobInfo. No operation takes both locks. Queries take
 * the read lock and run side by side; changes take the write lock. Names are compared exactly.
 *
 * Merely missing entries fail silently (false, 0, null, empty). Misuse (an empty worker name, a
 * null factory) writes a one-line warning and changes nothing. Name lists come in the table's
 * own, unsorted order.
 *
 * The registry is created on first use of instance() and destroyed at exit (or when the library
 * is unloaded); afterwards instance() returns null and every caller must cope with that.
 *
 * A separately constructed registry is independent of the process-wide one; the library itself
 * only ever uses instance().
 */
class ERRAND_EXPORT WorkerRegistry
{
public:
    WorkerRegistry();
    /** Drops every factory reference under the worker write lock, then the tables. */
    ~WorkerRegistry();

    /** The single registry, or null once it has been destroyed at exit. */
    static WorkerRegistry *instance();

    /**
     * Adds an empty worker. False if present already; false with
     * "[WorkerRegistry]: can't register unnamed worker" for an empty name.
     */
    bool registerWorker(const QString &worker);
    /**
     * Removes a worker and its tasks, releasing their factories (a factory whose last reference
     * goes is deleted under the write lock). False if absent; false with
     * "[WorkerRegistry]: can't unregister unnamed worker" for an empty name.
     */
    bool unregisterWorker(const QString &worker);
    /** Non-const for historical reasons, but changes nothing. */
    bool containsWorker(const QString &worker);
    /** The number of registered workers, including those without tasks. */
    int workerCount() const;
    /** Every registered worker name, in the table's own (unsorted) order. */
    QStringList workerNames() const;

    /**
     * Stores @p ctor for @p task under @p worker, adding the worker if needed. True if afterwards
     * @p ctor is the factory of that task: it was stored already (count untouched), the entry
     * was new, or @p replace is set (the old factory is released). False, silently, when another
     * factory stays because @p replace is false. A null @p ctor
     * ("[WorkerRegistry]: trying to register a null TaskCtor", checked first) or an empty
     * @p worker ("[WorkerRegistry]: can't registerTask for unknown worker") is refused with that
     * warning; the task name is not checked.
     */
    bool registerTask(const QString &worker, const QString &task, TaskCtor *ctor, bool replace = false);
    /**
     * Removes the entry of @p task under @p worker if @p ctor is null or is the stored factory.
     * The worker stays registered, even without tasks. Silent on every miss.
     */
    bool unregisterTask(const QString &worker, const QString &task, TaskCtor *ctor = nullptr);
    /** Presence of the entry; with a non-null @p ctor also that it stores exactly @p ctor. */
    bool containsTask(const QString &worker, const QString &task, const TaskCtor *ctor = nullptr);
    /** 0 for a worker that is not registered. */
    int taskCount(const QString &worker) const;
    /** Empty for a worker that is not registered. */
    QStringList taskNames(const QString &worker) const;

    /**
     * Asks the factory registered under @p workerName for job.name() to create a task for
     * @p job on behalf of @p worker. Null, silently, when there is no such entry or the factory
     * made no task. The read lock is held while job.name() and the factory run.
     */
    Task *createTask(Worker &worker, const QString &workerName, const Job &job) const;
    /** The same with worker.name() (taken before any lock). */
    Task *createTask(Worker &worker, const Job &job) const;

    /**
     * Enters @p job with @p info. An empty @p info never overwrites an existing description;
     * a new name is then entered with an empty one. Always true.
     */
    bool registerJob(const QString &job, const JobInfo &info);
    /** Removes the entry of @p job; false if there was none. */
    bool unregisterJob(const QString &job);
    /** The stored description, or a value holding no data for a name that is not registered. */
    JobInfo jobInfo(const QString &job) const;
    /** The number of registered job names, including those with an empty description. */
    int jobCount() const;
    /** Every registered job name, in the table's own (unsorted) order. */
    QStringList jobNames() const;

    /**
     * A new job of the class a JobRegistration entered under @p name, made with the class's
     * Q_INVOKABLE constructor that takes no argument (so without a parent: the caller owns the
     * job), with each of @p parameters written to the property of that name.
     *
     * Null and one warning, checked before anything is constructed, for a name that no living
     * JobRegistration entered (<tt>[WorkerRegistry]: no job class registered as "&lt;name&gt;"</tt>), a
     * class without such a constructor (<tt>... job class "&lt;name&gt;" has no invokable
     * constructor</tt>) or a parameter that is not a declared writable property of the class
     * (<tt>... job class "&lt;name&gt;" has no writable property "&lt;parameter&gt;"</tt>). Null and
     * <tt>... job class "&lt;name&gt;" refused the value of "&lt;parameter&gt;"</tt> for a value the property
     * does not take; the job made is deleted again.
     *
     * May be called from any thread; the job lives in the calling thread. The constructor runs
     * outside the registry's locks, so the plug-in that holds the class must stay loaded until
     * the call returns; its JobRegistration withdraws the class when the plug-in unloads.
     */
    Job *createJob(const QString &name, const QVariantMap &parameters = {});

private:
    Q_DISABLE_COPY(WorkerRegistry)
    friend class JobRegistration;

    // The job classes JobRegistration objects enter for createJob(), under the job lock.
    void addJobClass(const QMetaObject &job);
    void removeJobClass(const QMetaObject &job);

    using TaskTable = QHash<QString, QExplicitlySharedDataPointer<TaskCtor>>;

    QHash<QString, TaskTable> m_workers;
    mutable QReadWriteLock m_workerLock;
    QHash<QString, JobInfo> m_jobs;
    QHash<QString, const QMetaObject *> m_jobClasses;
    mutable QReadWriteLock m_jobLock;
};

#endif // ERRAND_WORKERREGISTRY_H
