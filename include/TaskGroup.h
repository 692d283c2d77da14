#ifndef ERRAND_TASKGROUP_H
#define ERRAND_TASKGROUP_H

#include "Job.h"
#include "Task.h"
#include "WorkQueue.h"
#include "errand_export.h"

#include <QtCore/QList>
#include <QtCore/QVariant>

#include <memory>

class TaskGroupPrivate;
class Worker;

/**
 * A Task made of child tasks, run one after the other (Sequential) or several at once
 * (Parallel), so that a batch of work can be returned by a factory, queued, run by
 * Worker::run(), nested in another group and shown in the models as one row.
 *
 * <b>Children.</b> add(const WorkQueue::TaskPtr &) adds a task; add(Job &, Worker &) adds a job
 * whose task the worker makes when the child's turn comes, and which the group attaches to the
 * job (so the job mirrors it). The group holds every child through a TaskPtr until it is
 * destroyed and starts them in the order they were added, from its own thread; a child that
 * lives in another thread is started and aborted through that thread's event loop. A child
 * that is already running when its turn comes is watched without being started again, and one
 * that has finished counts at once by its error. Children run under the group's own limit
 * (maxParallel()), not under the lanes of a queue that runs the group.
 *
 * Children may be added until the group finishes: before it starts, while it runs, and from a
 * handler of childFinished(). The group decides whether it is done only after the handlers of
 * childFinished() have returned, so a step that finds more work adds it there, and in a
 * Sequential group what a handler adds runs next.
 *
 * <b>The end.</b> A child counts as failed when it finishes with any error, Aborted included.
 * The group finishes exactly once:
 * - StopOnError (the default): at the first child that fails, in the order the failures arrive,
 *   with that child's error and error text (an Aborted child usually has none; one that timed
 *   out has its timeout's). The children still running are aborted, the others never start.
 *   Without a failure, once every child has finished, without error.
 * - ContinueOnError: once every child has run; Failed with the error text of the first child
 *   that failed if any did (a child aborted with no text gives "child "&lt;name&gt;" was aborted"),
 *   else without error.
 * - StopOnSuccess: at the first child that succeeds; the running ones are aborted, the others
 *   never start. If none does, once every child has run, with the error and text of the child
 *   that finished last.
 * A group started with no children finishes at once without error, whatever its policy.
 * Children that the group aborts itself, when it stops early or is aborted, are not reported
 * by childFinished() and do not count in finishedCount(); the group stops watching them.
 *
 * <b>Retries.</b> With setRetries(n), a child added as a job whose task finishes Failed (or for
 * which the worker makes no task) is made again from its job, up to n times, before it counts
 * as failed; it keeps its place (in a Sequential group it runs again before the next child).
 * An Aborted child is never retried; nor is a child added as a task, which cannot be remade.
 * A retried child counts by its last attempt only: childFinished() reports that one.
 *
 * <b>Result and progress.</b> The @c result property is the list of the children's own
 * @c result properties, in the order the children were added (an invalid QVariant for a child
 * that has not finished or has no such property); resultChanged() follows each child's end.
 * Progress is the share of children done: total() is 1000 per child, processed() 1000 per
 * finished child plus, for each running child, its own Task::processed() / Task::total() in
 * thousandths (0 while its total is unknown). It never goes backwards except when a child is
 * added or retried.
 *
 * <b>Bad input.</b> Each refusal writes one warning and returns false: a null child
 * ("[TaskGroup]: ignoring a null child"), a task or job already in the group
 * ("[TaskGroup]: "&lt;name&gt;" is already in the group"), the group itself or a group that holds
 * it, at any depth ("[TaskGroup]: refusing "&lt;name&gt;", which would contain itself"), any child
 * once the group has finished ("[TaskGroup]: "&lt;name&gt;" not added, the group has finished"). A
 * worker that makes a task for a job child which would contain the group fails that child
 * with the same warning. A child deleted while the group holds it (the application's error:
 * deleteLater() and the group's reference are the way) writes
 * "[TaskGroup]: child &lt;index&gt; was deleted while the group held it" and, if it had not finished,
 * counts as failed with the text "deleted". A job deleted before its child's turn makes the
 * child fail with "[TaskGroup]: the job of child &lt;index&gt; was deleted before its turn".
 * Application code that throws never unwinds through the group: a child's start() or abort()
 * that throws writes <tt>[TaskGroup]: task "&lt;name&gt;" threw from start(): &lt;text&gt;</tt> and fails
 * the child with the text; a factory that throws made no task.
 *
 * A handler of any signal the group or a child emits may delete the group, its job or a queue
 * that runs it: the running call then returns normally. deleteLater() is still the advice.
 * Destroying a group releases its children without aborting them; the last release of a task
 * hands it to deleteLater(), and a PoolTask deleted that way cancels its function.
 */
class ERRAND_EXPORT TaskGroup : public Task
{
    Q_OBJECT
    /** Sequential or Parallel, fixed at construction. */
    Q_PROPERTY(Mode mode READ mode CONSTANT)
    /** When the group stops; see setPolicy(). */
    Q_PROPERTY(Policy policy READ policy WRITE setPolicy)
    /** How many children of a Parallel group run at once; 0 for no limit. */
    Q_PROPERTY(int maxParallel READ maxParallel WRITE setMaxParallel)
    /** How many times a failed child added as a job is made again; 0 by default. */
    Q_PROPERTY(int retries READ retries WRITE setRetries)
    /** The children's results in the order they were added. */
    Q_PROPERTY(QVariantList result READ result NOTIFY resultChanged)

public:
    /** How the children run. */
    enum Mode { Sequential, Parallel };
    Q_ENUM(Mode)
    /** \var TaskGroup::Sequential
     * One child at a time, in the order added. */
    /** \var TaskGroup::Parallel
     * Up to maxParallel() children at once, started in the order added. */

    /** When the group stops; see the class comment. */
    enum Policy { StopOnError, ContinueOnError, StopOnSuccess };
    Q_ENUM(Policy)
    /** \var TaskGroup::StopOnError
     * Stop at the first child that fails (the default). */
    /** \var TaskGroup::ContinueOnError
     * Run every child; fail at the end if any failed. */
    /** \var TaskGroup::StopOnSuccess
     * Stop at the first child that succeeds. */

    /** An empty group for @p job (its name() is the job's), with policy StopOnError. */
    TaskGroup(const Job &job, Mode mode, QObject *parent = nullptr);
    /** Releases the children, without aborting them; see the class comment. */
    ~TaskGroup() override;

    /** The mode given at construction. */
    Mode mode() const;

    /** The policy; StopOnError by default. */
    Policy policy() const;
    /**
     * Sets the policy; on a running group it applies from the next child's end on. Values
     * outside the enumeration are ignored with "[TaskGroup]: ignoring unknown policy &lt;value&gt;".
     */
    void setPolicy(Policy policy);

    /** The most children of a Parallel group that run at once; 0 (the default) for no limit. */
    int maxParallel() const;
    /**
     * Sets the limit of a Parallel group (a Sequential group always runs one child at a time
     * and ignores it). Raising it on a running group starts more children at once; lowering it
     * aborts none, it only starts no more until fewer run. A negative @p count is ignored with
     * "[TaskGroup]: ignoring negative maxParallel (&lt;count&gt;)".
     */
    void setMaxParallel(int count);

    /** How many times a failed child added as a job is made again; 0 by default. */
    int retries() const;
    /**
     * Sets the number of retries of each child added as a job (see the class comment); on a
     * running group it applies to the failures that come from then on. A negative @p count is
     * ignored with "[TaskGroup]: ignoring negative retries (&lt;count&gt;)".
     */
    void setRetries(int count);

    /**
     * Adds @p task as the last child; see the class comment for the refusals, each a warning
     * and false. Added to a running group, it starts as soon as its turn and the limit allow,
     * which may be within this call.
     */
    bool add(const WorkQueue::TaskPtr &task);
    /**
     * Adds @p job as the last child: when its turn comes, @p worker's createTask() makes the
     * child's task and the group attaches it to @p job. The group keeps no reference to the
     * job (one deleted before its turn fails the child), but it does call @p worker, which
     * must outlive the group. A worker that makes no task makes that attempt fail with the
     * text "no task for "&lt;name&gt;"". Refusals as for add(const WorkQueue::TaskPtr &).
     */
    bool add(Job &job, Worker &worker);

    /** How many children were added, whatever their state. */
    int childCount() const;
    /** How many children have finished for good, as reported by childFinished(). */
    int finishedCount() const;
    /**
     * The children's tasks in the order added; a child added as a job has a null entry until
     * its task is made, and the latest attempt's task after that.
     */
    QList<WorkQueue::TaskPtr> children() const;

    /**
     * The children's @c result properties in the order added; an invalid QVariant for a
     * child that has not finished, has no task or no such property.
     */
    QVariantList result() const;

    /**
     * Moves the group to Running and starts its first children; a group without children
     * finishes at once without error. Only a Ready group that never ran starts: a group runs
     * once (a second start() writes "[TaskGroup]: a group runs only once").
     */
    void start() override;
    /**
     * Aborts the running children (from the last added to the first), starts no more and
     * finishes the group as Aborted at once, whatever the children's abort() does; on a
     * group that has not started, no child ever starts. See Task::abort().
     */
    void abort() override;

Q_SIGNALS:
    /**
     * The child @p child finished for good with @p error (its last attempt, for a retried
     * child); @p child is null for a job child that got no task and for a child deleted while
     * it ran (see the class comment). Emitted once per child,
     * after resultChanged(), and never for a child the group aborted itself. A handler may add
     * children, abort the group or delete it, its job or its queue; the group decides whether
     * it is done once the handlers have returned. Direct connections only.
     */
    void childFinished(const WorkQueue::TaskPtr &child, Job::Error error);

private:
    Q_DISABLE_COPY(TaskGroup)
    friend class TaskGroupPrivate;

    const std::unique_ptr<TaskGroupPrivate> d;
};

#endif // ERRAND_TASKGROUP_H
