#ifndef ERRAND_WORKQUEUE_H
#define ERRAND_WORKQUEUE_H

#include "errand_export.h"
#include "Job.h"
#include "Task.h"

#include <QtCore/QExplicitlySharedDataPointer>
#include <QtCore/QList>
#include <QtCore/QObject>

class Worker;
class WorkQueuePrivate;

/**
 * Runs tasks highest priority first, first in first out within a priority: one at a time, or up
 * to maxRunning() at once.
 *
 * Jobs enter through the queue's Worker: enqueue(Job&) has it prepare (attach) the job's task,
 * enqueue(const Job&) only creates one. Whenever fewer tasks run than maxRunning() allows (one,
 * by default), the queue starts the first waiting task in its order. It forwards each task's
 * started() (and names the task with taskStarted()), emits finished(error) for each held task that
 * finishes (while it is still held, so handlers see it in queue() and running()), drops it and
 * starts the next. With autoAbort, a task queued with a strictly higher priority while every lane
 * is busy aborts the running task that comes last in the queue's order (one task per arrival:
 * after setMaxRunning() lowered the lanes below the number running, the newcomer still waits
 * until fewer run than maxRunning()).
 *
 * Everything happens synchronously on the queue's thread. A task may finish inside its own
 * start() or abort(); the queue finishes its bookkeeping before each such call, so the queue
 * drains re-entrantly inside the call that started the first task. The queue does not own its
 * worker and holds tasks only through TaskPtr references.
 *
 * The queue reports the progress of its whole batch (progress()), can give every task it starts
 * a timeout (setTaskTimeout()) and can abort everything it holds without starting any of it
 * (abortAll()). Unused, none of them posts an event or sets a timer.
 *
 * A handler, start(), abort() or a task factory may delete the queue, its worker or the job:
 * the running call returns normally (enqueue() true once the task was queued). deleteLater()
 * is still the advice.
 *
 * Application code that throws never unwinds through the queue. A start() or abort() the queue
 * calls that throws writes <tt>[WorkQueue]: task "&lt;job&gt;" threw from start(): &lt;text&gt;</tt> (or
 * abort()) and fails the task with the text (what() of a std::exception, "unknown exception"
 * otherwise) unless it had finished already; the queue then goes on with the next task as after
 * any finish. A worker's prepare() or createTask() that throws made no task: enqueue() writes
 * <tt>[WorkQueue]: task "&lt;job&gt;" threw from its factory: &lt;text&gt;</tt> and returns false.
 */
class ERRAND_EXPORT WorkQueue : public QObject
{
    Q_OBJECT
    /** Whether a newly queued task of strictly higher priority aborts a running one; see autoAbort(). */
    Q_PROPERTY(bool autoAbort READ autoAbort WRITE setAutoAbort)
    /** The share of the current batch that is done, from 0 to 1; see progress(). */
    Q_PROPERTY(double progress READ progress NOTIFY progressChanged)
    /** The timeout of every task the queue starts whose own is 0; see setTaskTimeout(). */
    Q_PROPERTY(int taskTimeout READ taskTimeout WRITE setTaskTimeout)
    /** How many tasks the queue keeps running at once; see setMaxRunning(). */
    Q_PROPERTY(int maxRunning READ maxRunning WRITE setMaxRunning)
    Q_DECLARE_PRIVATE(WorkQueue)

public:
    /**
     * The one way the library holds a task: a counted reference; releasing the last one hands
     * the task to deleteLater(). Not registered as a metatype.
     */
    typedef QExplicitlySharedDataPointer<Task> TaskPtr;

    /** Stores @p worker (not owned, not called here) and @p autoAbort. */
    explicit WorkQueue(Worker *worker = nullptr, bool autoAbort = false, QObject *parent = nullptr);
    ~WorkQueue() override;

    /**
     * Has the worker prepare @p job and queues the task the job then holds (possibly an earlier
     * one). False, silently, without a worker or a task. Signals caused by starting the task or
     * by an automatic abort come before queued().
     */
    bool enqueue(Job &job, uint priority = 0);
    /** Queues a new task from the worker's createTask(); the job is not touched. */
    bool enqueue(const Job &job, uint priority = 0);
    /**
     * Removes the job's task without aborting it; a removed running task goes on running,
     * unwatched, and the next one starts; then taskRemoved() is emitted. False for a job without
     * a task; false with "[WorkQueue]: internal error, can't find task" for a task this queue
     * does not hold.
     */
    bool dequeue(const Job &job);
    /** Starts the first waiting tasks in the queue's order while fewer than maxRunning() run. */
    void startQueue();

    /** Every held task in run order, the running ones at their own positions. */
    QList<TaskPtr> queue() const;
    /**
     * The task the queue started (or adopted) and waits on, or null; while several run, the one
     * that comes first in the queue's order.
     */
    Task *current() const;
    /**
     * The tasks the queue started (or adopted) and waits on, in the queue's order: current()
     * first. Empty while none runs.
     */
    QList<TaskPtr> running() const;

    /** How many tasks the queue keeps running at once; 1 by default. */
    int maxRunning() const;
    /**
     * Lets up to @p count tasks run at once: while fewer run, the queue starts the first waiting
     * task in its order, so the running tasks are always the highest-priority ones it had when
     * each started. Raising it starts waiting tasks at once, in that order; lowering it below
     * the number running aborts none: they finish, and no task starts until fewer run than
     * @p count. A @p count below 1 is ignored with the warning
     * "[WorkQueue]: ignoring maxRunning below 1 (<count>)".
     */
    void setMaxRunning(int count);
    /** The worker that turns jobs into tasks for this queue; null if none. */
    Worker *worker() const;
    /**
     * Replacing a non-null worker drops every held task, without aborting it or emitting
     * anything; their later finishes no longer reach the queue. From null, tasks stay.
     */
    void setWorker(Worker *worker);
    /** The priority @p task was queued with, 0 for a task that is not held. */
    uint priority(const Task *task) const;

    /**
     * Whether queuing a task of strictly higher priority, while every lane is busy, aborts the
     * running task that comes last in the queue's order (with one lane: the current task). A
     * task queued while a lane is free starts in it and aborts nothing.
     */
    bool autoAbort() const;
    /**
     * Stores @p autoAbort; no signal. It applies from the next enqueue() on: no running task is
     * aborted by this call.
     */
    void setAutoAbort(bool autoAbort);

    /**
     * The share of the current batch that is done, from 0 to 1: (F + f) / (F + N), where F
     * counts the tasks that finished here (with any error) since the queue was last empty, N
     * the tasks it holds and f the sum of the fractions of the running tasks: each one's
     * Task::processed() / Task::total(), capped at 1, and 0 while its total is unknown (1 once it
     * has finished).
     * Every task weighs the same; dequeued and dropped tasks leave every count. 1 while the
     * queue is empty.
     */
    double progress() const;

    /** The timeout, in milliseconds, given to the tasks this queue starts; 0 (default): none. */
    int taskTimeout() const;
    /**
     * Gives every task the queue starts from now on whose own Task::timeout() is 0 a timeout of
     * @p msec milliseconds (0: none), counted from its move to Running; see Task. The tasks
     * running now keep the timeout they started with. A negative @p msec is ignored with the
     * warning "[WorkQueue]: ignoring negative task timeout (<msec>)".
     */
    void setTaskTimeout(int msec);

public Q_SLOTS:
    /**
     * Aborts every task the queue holds without starting any: the virtual Task::abort() of
     * each waiting task, from the last in queue order to the first, then of each running task,
     * in the same order, so that current() is the last.
     *
     * A waiting task is never started (no start(), no started()); each task that finishes is
     * reported once, by its finished() and the queue's finished() and taskFinished(), so jobs
     * and models see every task finish. No task starts during the call or because of it: a
     * task whose abort() finishes it only later stays in the queue, unstarted, until it does.
     * A task that a handler queues during the call is queued, and started normally once the
     * call is over. A finished task that the queue still holds (its finish not yet delivered)
     * is not aborted again. A handler may delete the queue; the call then stops.
     */
    void abortAll();

Q_SIGNALS:
    /**
     * A held task finished with @p err; once per task.
     *
     * Emitted from the queue's handling of the task's finished() (for a task queued through
     * enqueue(Job&), after the job has re-emitted it), while the task is still held: handlers see
     * it in queue() and, if it ran, in running() (with one lane: as current()); taskFinished(),
     * emitted next, names it. The queue then drops it and starts the next task, whose signals
     * follow this one.
     */
    void finished(Job::Error err);
    /**
     * A held task started: forwarded from the task's started(), after its stateChanged();
     * taskStarted(), emitted next, names it.
     */
    void started();
    /** After a task was placed; carries a new reference to it. Direct connections only. */
    void queued(const WorkQueue::TaskPtr &task, uint priority);
    /**
     * Names the task behind each finished(): emitted right after finished(@p error), while the
     * task is still held (in queue(), and running() if it ran), and before it is dropped and the
     * next task is started, so before that task's started(). Not emitted if a handler of
     * finished() deleted the queue; a handler of this signal may delete it too. Direct
     * connections only.
     */
    void taskFinished(const WorkQueue::TaskPtr &task, Job::Error error);
    /**
     * A task that dequeue(const Job &) removed, emitted once it has left queue(): after the
     * removal and, when it was running, after the next one was started (its started(),
     * and everything that task emits inside its start(), comes first). Not emitted when dequeue()
     * returns false, nor for tasks dropped by finishing (see taskFinished()) or by setWorker(),
     * nor if the queue was deleted meanwhile. Direct connections only.
     */
    void taskRemoved(const WorkQueue::TaskPtr &task);
    /**
     * progress() changed to @p progress. Coalesced like Task::progressChanged(): emitted from
     * the queue's event loop at most once per pass, with the latest value, never twice in a row
     * with the same value. The queue watches progress (and posts its events) only while
     * something is connected to this signal. A handler may delete the queue or a model.
     */
    void progressChanged(double progress);
    /**
     * Names the task behind each started(): emitted right after started(), with one lane too,
     * for each held task that starts, whether the queue started it or not. Not emitted if a
     * handler of started() deleted the queue. Direct connections only.
     */
    void taskStarted(const WorkQueue::TaskPtr &task);

protected Q_SLOTS:
    /**
     * Connected to each held task's finished(); the sender is the task. Disconnects the task,
     * emits finished(@p err), then removes it and starts the next. Ignored without a sender or
     * while the queue is empty; a sender that is not held writes
     * "[WorkQueue]: internal error, can't find task" after finished() has been emitted.
     */
    void onTaskFinished(Job::Error err);
    /**
     * Connected to each held task's started(); the sender is the task. Emits started(), then
     * taskStarted() with the task. Without a sender that is still connected, emits started()
     * only.
     */
    void onTaskStarted();

protected:
    /** For subclasses that bring a private part derived from WorkQueuePrivate. */
    WorkQueue(WorkQueuePrivate &dd, QObject *parent);

    /**
     * Delivers the queue's coalesced progress; a subclass that overrides event() passes the
     * events it does not handle on to this implementation.
     */
    bool event(QEvent *event) override;
    /**
     * Starts watching progress when the first receiver connects to progressChanged(). A subclass
     * that overrides it calls this implementation.
     */
    void connectNotify(const QMetaMethod &signal) override;

private:
    Q_DISABLE_COPY(WorkQueue)
};

#endif // ERRAND_WORKQUEUE_H
