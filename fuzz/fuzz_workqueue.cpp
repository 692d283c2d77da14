// libFuzzer target: reads its input as a sequence of operations on the process-wide registry,
// two ObjectWorkers (each a queue and a worker), a plain WorkQueue and a WorkQueueListModel, and
// checks after every operation the invariants that must hold whatever the application does:
//
//  - every queue lists each task it holds once, in priority order; its running() tasks are held
//    ones, in that order, current() first, and as many as it may run (all it holds if fewer),
//    whatever its maxRunning() has been set to meanwhile;
//  - the model's unfinished rows follow the queue's order however many tasks run; its
//    finished block (the trailing rows it counts as finished) holds at most
//    maxFinishedTasks() rows, only finished tasks, most recently finished first;
//  - no job, queue or model row refers to a task that no longer exists, and once the event loop
//    has run, every task that is still alive is held by a job, a queue or a model row;
//  - a task is deleted only through its last reference, and after everything is torn down at
//    the end of the input no task is left;
//  - a queue's progress() lies in [0, 1] and is 1 while it is empty; so does the task model's
//    ProgressRole, but for -1 while a task runs with its total unknown, and it is 1 for a task
//    that finished without an error; a task emits no progress once it has announced that it
//    finished, and has no timer while it does not run;
//  - abortAll() starts nothing and leaves every task it held finished, but for the tasks whose
//    abort() finishes them only later;
//  - a group (two slots of TaskGroups, sequential or parallel, with any policy, limit and
//    retries, holding new tasks, jobs and each other) finishes at most once, counts no more
//    finished children than it has, reports progress within its total, and a group that ran
//    to its end without stopping early saw every child finish.
//
// Every task is a PoolTask; some modes run its function on a pool whose one thread runs only
// while the input drains it, so that both runs of an input see the same order of ends. Inputs
// also clear that pool and cancel a job's future.
//
// The only warnings accepted are those the operation itself asks for (a worker without an
// object or without a factory, dequeuing a job the queue does not hold, a model
// following a queue that dropped tasks behind its back); any other warning aborts.
//
// Each input runs twice: once with the list model on its fast path and once with the model
// forced onto its reference algorithms. Every signal of the model, every accepted warning and
// the rows after every operation are written to a trace, and the two traces must be the same.
// Operations include edits of the model's rows by the application, resets and layout changes of
// the model, and handlers on the model's and the queue's signals (destroyed() included) that call
// back into the library, where the fast path has to notice that it can no longer prove its mirror
// of the queue. Handlers on the model's row signals that only queue, dequeue or end tasks must
// leave the model's invariants intact. The view on the model is connected after those handlers,
// so that they change the model before the view hears of it.

#include <ErrandFuture.h>
#include <ObjectWorker.h>
#include <PoolTask.h>
#include <TaskFactory.h>
#include <TaskGroup.h>
#include <WorkQueueListModel.h>
#include <WorkQueuePrivate.h>
#include <WorkQueueTaskModel.h>
#include <WorkerRegistry.h>

#include "models/WorkQueueListModel_p.h"

#include <QtCore/QAbstractEventDispatcher>
#include <QtCore/QCoreApplication>
#include <QtCore/QFile>
#include <QtCore/QScopedValueRollback>
#include <QtCore/QSemaphore>
#include <QtCore/QThreadPool>
#include <QtCore/QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

// What the model did on its fast path: its signals, the warnings accepted, its rows after each
// step. The run on the reference algorithms must do the same, line by line.
std::vector<std::string> g_trace;
size_t g_traced = 0; // lines of the trace that the current run has produced so far
bool g_reference = false; // this run forces the model onto its reference algorithms

[[noreturn]] void violated(const char *what, int line)
{
    // The end of the trace so far, to read a reproducer by.
    for (size_t i = g_traced > 40 ? g_traced - 40 : 0; i < g_traced; ++i)
        std::fprintf(stderr, "   %s\n", g_trace.at(i).c_str());
    std::fprintf(stderr, "fuzz_workqueue: invariant violated at line %d: %s\n", line, what);
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(cond) ((cond) ? void() : violated(#cond, __LINE__))

class FuzzTask;

// Every task alive, in creation order (so that operations pick tasks reproducibly).
std::vector<FuzzTask *> g_tasks;
// Counts transitions into Finished, so the model's finished block can be checked for order.
quint64 g_finishClock = 0;

// Task identities that are the same in both runs of an input (addresses are not).
int g_taskIds = 0;

// Inside abortAll(): tasks started meanwhile (there must be none unless a handler ran).
int g_abortAllDepth = 0;
int g_startsInAbortAll = 0;
int g_hooksFired = 0;
void fireTaskProgress();

void trace(const std::string &line)
{
    if (!g_reference)
        g_trace.push_back(line);
    else if (g_traced == g_trace.size() || g_trace[g_traced] != line) {
        std::fprintf(stderr, "fast path: %s\nreference: %s\n",
            g_traced < g_trace.size() ? g_trace[g_traced].c_str() : "(end)", line.c_str());
        violated("the fast path and the reference differ", __LINE__);
    }
    ++g_traced;
}

bool isLive(const Task *task)
{
    return std::find(g_tasks.cbegin(), g_tasks.cend(), task) != g_tasks.cend();
}

class FuzzJobA : public Job
{
    Q_OBJECT
};

class FuzzJobB : public Job
{
    Q_OBJECT
};

// Served by factories registered for "FuzzJobC"; a typed factory for FuzzJobA accepts it too.
class FuzzJobC : public FuzzJobA
{
    Q_OBJECT
};

// Claims FuzzJobA's name without being one: a factory typed on FuzzJobA makes no task for it.
class FuzzJobImpostor : public Job
{
    Q_OBJECT
    QString name() const override { return QStringLiteral("FuzzJobA"); }
};

// An application's queue that brings its own private part, through the protected constructor.
class FuzzQueue : public WorkQueue
{
public:
    FuzzQueue(Worker *worker, bool autoAbort)
        : WorkQueue(*new WorkQueuePrivate(worker, autoAbort), nullptr)
    { }
};

// An application's list model that resets itself or changes its layout, as Qt allows a model.
struct FuzzRows : WorkQueueListModel
{
    void reset() { beginResetModel(), endResetModel(); }
    void relayout() { Q_EMIT layoutAboutToBeChanged(), Q_EMIT layoutChanged(); }
};

// The pool of the tasks' functions. A gate holds its only thread until the input drains it:
// then every function queued so far runs, in order, and their ends reach the event loop.
struct FuzzPool : QThreadPool
{
    void block()
    {
        start(QRunnable::create([this] { gate.acquire(); }));
    }
    void drain()
    {
        gate.release();
        waitForDone();
        block();
    }
    QSemaphore gate;
};
FuzzPool *g_pool = nullptr;

QVariant returnOne(PoolTask::Context &)
{
    return 1;
}

QVariant failOnPool(PoolTask::Context &context)
{
    context.fail(QStringLiteral("failed on the pool"));
    return QVariant();
}

class FuzzTask : public PoolTask
{
    Q_OBJECT
public:
    // AbortLater: its abort() finishes it only from the event loop, as work in another thread does.
    // OnPool, FailOnPool: start() runs the PoolTask's function, which returns 1 or fails.
    enum Mode {
        Run, FinishInStart, FailInStart, AbortInStart, StayReady, FinishLater, AbortLater, OnPool, FailOnPool, ModeCount
    };

    FuzzTask(const Job &job, Mode mode)
        : PoolTask(job, mode == FailOnPool ? failOnPool : returnOne, g_pool)
        , mode(mode)
    {
        g_tasks.push_back(this);
        // Connected first, so the stamp is set before the queue and the model hear of the finish.
        connect(this, &Task::stateChanged, this, [this](Job::State state) {
            if (state == Job::Finished)
                finishStamp = ++g_finishClock;
            finishAnnounced = state == Job::Finished;
        });
        connect(this, &Task::progressChanged, this, [this] {
            FUZZ_CHECK(!(finishAnnounced && isFinished()));
            fireTaskProgress();
        });
    }
    explicit FuzzTask(const FuzzJobA &job)
        : FuzzTask(job, Run)
    { }
    FuzzTask(Worker &, const FuzzJobB &job)
        : FuzzTask(job, FinishInStart)
    { }

    ~FuzzTask() override
    {
        // The last release hands the task to deleteLater() and puts the count back to 1: any
        // other count means it is deleted while something still holds it, or was never held.
        FUZZ_CHECK(ref.loadRelaxed() == 1);
        g_tasks.erase(std::find(g_tasks.begin(), g_tasks.end(), this));
    }

    void start() override
    {
        g_startsInAbortAll += g_abortAllDepth > 0;
        if (mode == OnPool || mode == FailOnPool)
            return PoolTask::start();
        if (mode != StayReady)
            setState(Job::Running);
        if (mode == FinishInStart)
            setState(Job::Finished);
        else if (mode == FailInStart)
            fail(QStringLiteral("failed in start"));
        else if (mode == AbortInStart)
            abort();
        else if (mode == FinishLater)
            finishLater();
    }

    void abort() override
    {
        if (mode != AbortLater)
            return PoolTask::abort();
        QMetaObject::invokeMethod(
            this, [this] { PoolTask::abort(); }, Qt::QueuedConnection);
    }

    void finishNow() { setState(Job::Finished); }
    void report(qint64 processed, qint64 total) { setProgress(processed, total); }
    void describe(const QString &text) { setProgressText(text); }
    void failNow() { fail(QStringLiteral("failed")); }
    void finishLater()
    {
        QMetaObject::invokeMethod(
            this, [this] { setState(Job::Finished); }, Qt::QueuedConnection);
    }

    const Mode mode;
    const int id = ++g_taskIds;
    bool finishAnnounced = false;
    quint64 finishStamp = 0;
};

// --- warnings --------------------------------------------------------------------------------

bool g_expectCantFind = false; // the current dequeue names a task the queue does not hold
// A handler dequeued a task during this step: if it was the task whose finish the queue is
// reporting, the queue no longer finds it once its finished() has been emitted.
bool g_dequeuedInHandler = false;
int g_cantFindCount = 0;
bool g_modelMayMisorder = false; // the model's queue dropped tasks without finishing them
bool g_progressWarnings = false; // the current operation sets progress or a timeout
bool g_groupWarnings = false; // the current operation adds to a group or starts one
bool g_lanesWarning = false; // the current operation sets a maxRunning() below 1
// Since the model attached, the application edited its rows, re-entered it from a handler or
// queued a finished task again: its invariants no longer hold, only the differential applies.
bool g_modelUnchecked = false;

void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtWarningMsg && type != QtCriticalMsg && type != QtFatalMsg)
        return;
    const auto starts = [&message](const char *prefix) { return message.startsWith(QLatin1String(prefix)); };
    if (starts("[Worker]: invalid Object, please implement the object method"))
        return; // a worker whose object is unset or destroyed
    if (starts("[Worker]: \"") && message.contains(QLatin1String("\" has no registered tasks for \"")))
        return; // no factory (or only factories that made no task) for the job
    trace("warning " + message.toStdString());
    if (g_progressWarnings && (starts("[Task]: ignoring") || starts("[WorkQueue]: ignoring negative task timeout")))
        return; // a finished task, a negative amount or timeout
    // A group's job child whose job an operation deleted, whenever its turn comes; children
    // refused by a group, and a group started twice, as the operation asks.
    if (starts("[TaskGroup]: the job of child") || (g_groupWarnings && starts("[TaskGroup]: ")))
        return;
    if (g_lanesWarning && starts("[WorkQueue]: ignoring maxRunning below 1"))
        return;
    if (message == QLatin1String("[WorkQueue]: internal error, can't find task")
        && (g_expectCantFind || g_dequeuedInHandler)) {
        g_cantFindCount += g_expectCantFind;
        return;
    }
    // A row whose task the queue dropped without a finish reads priority 0, so a later task can
    // be placed above rows it should follow; the model then finds its rows out of order.
    if (message == QLatin1String("[WorkQueueListModel] failed to reorder tasks (internal error)")
        && (g_modelMayMisorder || g_modelUnchecked))
        return;
    trace("unexpected warning " + message.toStdString());
    violated("a warning the operation did not ask for", __LINE__);
}

// --- input -----------------------------------------------------------------------------------

// The input's bytes, then zeros.
struct Input
{
    const uint8_t *data;
    size_t size;
    bool atEnd() const { return size == 0; }
    uint8_t byte() { return size ? (--size, *data++) : 0; }
    int pick(int n) { return byte() % n; }
};

// Workers stand for the class chains QTimer, QObject and QFile, QFileDevice, QIODevice, QObject.
const char *const workerNames[] = { "QTimer", "QIODevice", "QObject", "Unrelated" };
const char *const taskNames[] = { "FuzzJobA", "FuzzJobB", "FuzzJobC", "Unknown" };
constexpr int JobSlots = 6;
constexpr int ObjectSlots = 3;
constexpr int MaxOps = 2048;

// --- the world an input acts on --------------------------------------------------------------

// Destroyed in reverse order: the model, the queues, the jobs, the objects.
struct World
{
    std::unique_ptr<QObject> objects[ObjectSlots];
    std::unique_ptr<Job> jobs[JobSlots];
    std::unique_ptr<ObjectWorker> workers[2];
    std::unique_ptr<WorkQueue> plainQueue;
    std::unique_ptr<WorkQueueListModel> model;
    // Shows the model while it lives (and goes before it).
    std::unique_ptr<WorkQueueTaskModel> view = std::make_unique<WorkQueueTaskModel>(nullptr, true);
    // Jobs only groups use, and two groups; neither is ever queued.
    std::unique_ptr<Job> groupJobs[2];
    WorkQueue::TaskPtr groups[2];

    // 0 and 1: the ObjectWorkers' own queues; 2: the plain queue.
    WorkQueue *queueAt(int i) const { return i < 2 ? workers[i].get() : plainQueue.get(); }
    Worker *workerAt(int i) const { return i < 2 && workers[i] ? static_cast<Worker *>(workers[i].get()) : nullptr; }
    bool modelFollows(const WorkQueue *queue) const { return model && queue && model->workQueue() == queue; }
};

bool holds(const WorkQueue *queue, const Task *task)
{
    const QList<WorkQueue::TaskPtr> tasks = queue->queue();
    return std::any_of(tasks.cbegin(), tasks.cend(), [task](const WorkQueue::TaskPtr &p) { return p.data() == task; });
}

QObject *makeObject(int kind)
{
    return kind % 3 == 0 ? new QTimer : kind % 3 == 1 ? static_cast<QObject *>(new QFile) : new QObject;
}

Job *makeJob(int kind)
{
    const int k = kind % 4;
    return k == 0 ? static_cast<Job *>(new FuzzJobA)
        : k == 1  ? static_cast<Job *>(new FuzzJobB)
        : k == 2  ? static_cast<Job *>(new FuzzJobC)
                  : new FuzzJobImpostor;
}

// A new factory with a reference count of 0; the caller hands it on or drops it.
TaskCtor *makeFactory(Input &in)
{
    const int kind = in.pick(4);
    if (kind == 0)
        return new TaskFactory<FuzzTask, FuzzJobA>;
    if (kind == 1)
        return new TaskFactory<FuzzTask, FuzzJobB>;
    if (kind == 2)
        return makeTaskFactory([](const Job &) -> Task * { return nullptr; });
    const auto mode = FuzzTask::Mode(in.pick(FuzzTask::ModeCount));
    return makeTaskFactory([mode](Worker &, const Job &job) -> Task * { return new FuzzTask(job, mode); });
}

int g_groupsAlive = 0;

// A last round that deletes a group is followed by one more, in which its children go.
void runEventLoop(int rounds)
{
    for (int i = 0; i < rounds; ++i) {
        const int groups = g_groupsAlive;
        QCoreApplication::sendPostedEvents(nullptr, 0);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        rounds += i + 1 == rounds && g_groupsAlive < groups;
    }
}

// --- invariants ------------------------------------------------------------------------------

void checkQueue(const WorkQueue *queue)
{
    const QList<WorkQueue::TaskPtr> tasks = queue->queue();
    std::unordered_set<const Task *> seen;
    for (int i = 0; i < tasks.size(); ++i) {
        FUZZ_CHECK(tasks.at(i) && isLive(tasks.at(i).data()));
        FUZZ_CHECK(seen.insert(tasks.at(i).data()).second); // each held task once
        if (i > 0)
            FUZZ_CHECK(queue->priority(tasks.at(i - 1).data()) >= queue->priority(tasks.at(i).data()));
    }
    // Between operations a queue with tasks always has a current one, and it is one of them.
    FUZZ_CHECK(queue->current() ? seen.count(queue->current()) == 1 : tasks.isEmpty());
    // Its lanes are full, or nothing waits; the running tasks come in the queue's order.
    const QList<WorkQueue::TaskPtr> running = queue->running();
    FUZZ_CHECK(running.size() >= std::min(queue->maxRunning(), int(tasks.size())));
    FUZZ_CHECK(running.isEmpty() || running.first() == queue->current());
    for (int i = 0, at = 0; i < running.size(); ++i, ++at) {
        while (at < tasks.size() && tasks.at(at) != running.at(i))
            ++at;
        FUZZ_CHECK(at < tasks.size());
    }
    const double progress = queue->progress();
    FUZZ_CHECK(progress >= 0 && progress <= 1 && (!tasks.isEmpty() || progress >= 1));
}

void checkModel(WorkQueueListModel *model)
{
    const int rows = model->rowCount();
    const int finished = WorkQueueListModelPrivate::get(model)->finishedCount;
    std::string line = "rows";
    for (int r = 0; r < rows; ++r) {
        const WorkQueue::TaskPtr task = model->task(r);
        FUZZ_CHECK(!task || isLive(task.data()));
        line += ' ' + (task ? std::to_string(static_cast<const FuzzTask *>(task.data())->id) : std::string("-"));
    }
    trace(line + " finished " + std::to_string(finished));
    FUZZ_CHECK(finished >= 0 && finished <= rows);
    FUZZ_CHECK(qint64(finished) <= qint64(model->maxFinishedTasks()));
    if (g_modelUnchecked)
        return; // the application may have put any task into any row
    // Left alone, the model follows its queue on its fast path between operations.
    const WorkQueueListModelPrivate *d = WorkQueueListModelPrivate::get(model);
    FUZZ_CHECK(d->tracking || g_reference || g_modelMayMisorder || !model->workQueue());
    if (const WorkQueue *queue = g_modelMayMisorder ? nullptr : model->workQueue()) {
        // The unfinished rows show every task the queue holds, in its order; the others are
        // rows of tasks it let go without a finish.
        const QList<WorkQueue::TaskPtr> tasks = queue->queue();
        int next = 0;
        for (int r = 0; r < rows - finished; ++r) {
            const Task *task = model->task(r).data();
            if (next < tasks.size() && tasks.at(next).data() == task)
                ++next;
            else
                FUZZ_CHECK(!holds(queue, task));
        }
        FUZZ_CHECK(next == tasks.size());
    }
    quint64 newer = ~quint64(0);
    for (int r = rows - finished; r < rows; ++r) {
        const WorkQueue::TaskPtr ptr = model->task(r);
        FUZZ_CHECK(ptr && ptr->isFinished()); // the finished block holds only finished tasks
        const auto *task = static_cast<const FuzzTask *>(ptr.data());
        FUZZ_CHECK(task->finishStamp < newer); // most recently finished first
        newer = task->finishStamp;
    }
}

// The task model mirrors its source row for row, finds each task's row and shows every row.
void checkView(const WorkQueueTaskModel &view, const WorkQueueListModel &model)
{
    FUZZ_CHECK(view.rowCount() == model.rowCount());
    for (int r = 0; r < view.rowCount(); ++r) {
        Task *task = view.task(r);
        FUZZ_CHECK(task == model.task(r).data() && (!task || view.task(view.rowOf(task)) == task));
        for (int c = 0; c < view.columnCount(); ++c)
            view.data(view.index(r, c));
        for (int role = WorkQueueTaskModel::NameRole; role <= WorkQueueTaskModel::ProgressTextRole; ++role)
            view.data(view.index(r, 0), role);
        // A share from 0 to 1; -1 only while a task runs with its total unknown; 1 once done.
        const double progress = view.data(view.index(r, 0), WorkQueueTaskModel::ProgressRole).toDouble();
        FUZZ_CHECK(
            !task || (progress >= 0 && progress <= 1) || (progress == -1 && task->isRunning() && task->total() <= 0));
        FUZZ_CHECK(!task || !task->isFinished() || task->error() != Job::NoError || progress == 1);
    }
}

// Inserts the tasks @p group holds, at any depth, into @p held.
void checkGroup(const Task *task, std::unordered_set<const Task *> &held)
{
    const auto *group = qobject_cast<const TaskGroup *>(task);
    if (!group)
        return;
    const QList<WorkQueue::TaskPtr> children = group->children();
    FUZZ_CHECK(children.size() == group->childCount() && group->finishedCount() <= group->childCount());
    FUZZ_CHECK(group->processed() >= 0 && group->processed() <= group->total());
    const bool ranToEnd = (group->policy() == TaskGroup::StopOnError && group->error() == Job::NoError)
        || (group->policy() == TaskGroup::ContinueOnError && group->error() == Job::Failed);
    FUZZ_CHECK(!group->isFinished() || !ranToEnd || group->finishedCount() == group->childCount());
    for (const WorkQueue::TaskPtr &child : children) {
        held.insert(child.data());
        checkGroup(child.data(), held);
    }
}

void checkInvariants(World &w, bool afterEventLoop)
{
    std::unordered_set<const Task *> held;
    for (int i = 0; i < 3; ++i) {
        if (const WorkQueue *queue = w.queueAt(i)) {
            checkQueue(queue);
            for (const WorkQueue::TaskPtr &task : queue->queue())
                held.insert(task.data());
        }
    }
    for (const auto &job : w.jobs) {
        FUZZ_CHECK(!job || !job->task() || isLive(job->task()));
        held.insert(job ? job->task() : nullptr);
    }
    for (const WorkQueue::TaskPtr &group : w.groups)
        checkGroup(group.data(), held);
    for (const auto &job : w.groupJobs)
        held.insert(job ? job->task() : nullptr);
    if (w.model)
        checkModel(w.model.get());
    if (w.model && w.view->sourceModel() == w.model.get())
        checkView(*w.view, *w.model);
    for (int r = 0; w.model && r < w.model->rowCount(); ++r)
        held.insert(w.model->task(r).data());
    // Once deferred deletion has run, whatever is still alive must be held by someone. A timer
    // is the clock of a running task's timeout.
    for (FuzzTask *task : g_tasks) {
        FUZZ_CHECK(!afterEventLoop || held.count(task));
        FUZZ_CHECK(task->isRunning() || QAbstractEventDispatcher::instance()->registeredTimers(task).isEmpty());
    }
}

// --- handlers that call back into the library --------------------------------------------

// A handler armed on one of the model's signals, on a queue's finished() (before or after the
// model's slot) or started(), or on the finished() of the job of a task a queue runs (before
// the queue hears of the finish): when the signal comes, it runs one more operation, read from
// the input then, in the middle of the library's own work.
// Also on the model's resets and layout changes (which the application's model makes), on the
// destroyed() of the model and the queues, on progress signals, and on the view's dataChanged()
// (a task's progress among its causes).
// clang-format off
enum HookSite { Inserted, Removed, Moved, Changed, Finished, Started, LateFinished, JobFinished, Reset, Layout,
                Destroyed, TaskProgress, QueueProgress, GroupChild, ViewChanged, HookSites };
// clang-format on
int g_hook = -1;
// The armed handler only queues, dequeues or ends a task, from one of the model's row signals:
// the model must keep its invariants through that.
bool g_queueOnly = false;
bool g_nested = false; // a handler ran during this step
World *g_world = nullptr;
Input *g_input = nullptr;
void apply(World &w, Input &in, int op);
void nestedStep(World &w, Input &in);

void fire(HookSite site)
{
    if (g_hook != site || !g_world)
        return;
    g_hook = -2; // running
    g_nested = true;
    ++g_hooksFired;
    // Otherwise, what the model does when its own work is interrupted is checked against its
    // reference algorithms only, not against the invariants, which assume the model was left alone.
    const bool queueOnly = std::exchange(g_queueOnly, false);
    g_modelUnchecked |= !queueOnly;
    trace("hook " + std::to_string(site));
    if (queueOnly) // operations 2 to 8: enqueue, dequeue, abort a job, end a task
        apply(*g_world, *g_input, 2 + g_input->pick(7));
    else
        nestedStep(*g_world, *g_input);
    g_modelUnchecked |= !queueOnly; // also for a model the handler made
    g_hook = -1;
}

void fireTaskProgress()
{
    fire(TaskProgress);
}

template<class Queue, class... Args>
std::unique_ptr<Queue> makeQueue(Args &&...args)
{
    auto queue = std::make_unique<Queue>(std::forward<Args>(args)...);
    QObject::connect(queue.get(), &QObject::destroyed, [] { fire(Destroyed); });
    QObject::connect(queue.get(), &WorkQueue::finished, [] { fire(Finished); });
    QObject::connect(queue.get(), &WorkQueue::started, [] { fire(Started); });
    QObject::connect(queue.get(), &WorkQueue::progressChanged, [](double progress) {
        FUZZ_CHECK(progress >= 0 && progress <= 1);
        fire(QueueProgress);
    });
    return queue;
}

// The model follows @p queue; a handler on the queue's finished() comes after the model's.
void follow(WorkQueueListModel *model, WorkQueue *queue)
{
    const QPointer<WorkQueueListModel> alive(model); // a handler may delete it (or the queue)
    const QPointer<WorkQueue> followed(queue);
    model->setWorkQueue(queue);
    if (alive && followed) {
        QObject::connect(queue, &WorkQueue::finished, model, [] { fire(LateFinished); });
        // A finished task queued again (the application's mistake) runs again under a row that
        // the model may already show finished.
        for (const WorkQueue::TaskPtr &task : queue->queue())
            g_modelUnchecked |= task->isFinished();
    }
}

std::unique_ptr<WorkQueueListModel> makeModel(WorkQueue *queue)
{
    std::unique_ptr<WorkQueueListModel> model = std::make_unique<FuzzRows>();
    if (g_reference)
        WorkQueueListModelPrivate::get(model.get())->forceReference();
    const auto range = [](const char *what, int first, int last) {
        trace(what + std::to_string(first) + ',' + std::to_string(last));
    };
    WorkQueueListModel *m = model.get();
    QObject::connect(m, &QAbstractItemModel::rowsInserted,
        [range](const QModelIndex &, int first, int last) { range("inserted ", first, last), fire(Inserted); });
    QObject::connect(m, &QAbstractItemModel::rowsRemoved,
        [range](const QModelIndex &, int first, int last) { range("removed ", first, last), fire(Removed); });
    QObject::connect(m, &QAbstractItemModel::rowsMoved,
        [range](const QModelIndex &, int first, int last, const QModelIndex &, int to) {
            range("moved ", first, last), range("  to ", to, to), fire(Moved);
        });
    QObject::connect(m, &QAbstractItemModel::dataChanged, [range](const QModelIndex &from, const QModelIndex &to) {
        range("changed ", from.row(), to.row()), fire(Changed);
    });
    // Connected before the view: these handlers change the model before the view hears of it.
    QObject::connect(m, &QAbstractItemModel::modelReset, [] { fire(Reset); });
    QObject::connect(m, &QAbstractItemModel::layoutChanged, [] { fire(Layout); });
    QObject::connect(m, &QObject::destroyed, [] { fire(Destroyed); });
    if (g_world)
        g_world->view->setSourceModel(m);
    follow(model.get(), queue);
    return model;
}

// --- operations ------------------------------------------------------------------------------

FuzzTask *pickTask(Input &in)
{
    const size_t i = in.byte();
    return g_tasks.empty() ? nullptr : g_tasks.at(i % g_tasks.size());
}

// Removes every name the fuzzer registers, so each input starts from an empty registry.
void resetRegistry()
{
    WorkerRegistry *registry = WorkerRegistry::instance();
    for (const QString &worker : registry->workerNames())
        registry->unregisterWorker(worker);
    for (const QString &job : registry->jobNames())
        registry->unregisterJob(job);
}

void destroyWorker(World &w, int i)
{
    // The plain queue does not own its worker: an application clears it first.
    if (w.plainQueue && w.plainQueue->worker() == w.workerAt(i)) {
        if (w.modelFollows(w.plainQueue.get()) && !w.plainQueue->queue().isEmpty())
            g_modelMayMisorder = true;
        w.plainQueue->setWorker(nullptr);
    }
    w.workers[i].reset();
}

// The input's byte Attach picks one of the operations from Attach on.
// clang-format off
enum { Attach = 26, RemoveRows, SetRowTask, InsertRow, ArmHook, ResetRows, RelayoutRows, ArmRowQueue, SetProgress,
       SetProgressText, SetTimeout, SetTaskTimeout, RunOutClocks, AbortAll, DrainPool, ClearPool, CancelFuture,
       MakeGroup, AddToGroup, StartGroup, AbortGroup, DropGroup, SetMaxRunning, Operations };
// clang-format on

// Makes a group's job children; a job named "none" gets no task. It outlives every group.
struct GroupWorker : Worker
{
    QObject *object() override { return nullptr; }
    Task *createTask(const Job &job) override
    {
        const int mode = job.objectName().toInt();
        return mode < FuzzTask::ModeCount ? new FuzzTask(job, FuzzTask::Mode(mode)) : nullptr;
    }
} g_groupWorker;

TaskGroup *makeGroup(Input &in)
{
    auto *group = new TaskGroup(FuzzJobA(), TaskGroup::Mode(in.pick(2)));
    group->setPolicy(TaskGroup::Policy(in.pick(3)));
    group->setMaxParallel(in.pick(4));
    group->setRetries(in.pick(3));
    ++g_groupsAlive;
    QObject::connect(group, &QObject::destroyed, [] { --g_groupsAlive; });
    auto ends = std::make_shared<int>(0);
    QObject::connect(group, &Task::finished, [ends] { FUZZ_CHECK(++*ends == 1); });
    QObject::connect(group, &TaskGroup::childFinished, [] { fire(GroupChild); });
    return group;
}

// A new task, a job, the other group or the group itself, as a child of a group.
void addToGroup(World &w, Input &in, TaskGroup *group)
{
    const int kind = in.pick(4), slot = in.pick(2), mode = in.pick(FuzzTask::ModeCount + 1);
    if (kind == 0)
        group->add(WorkQueue::TaskPtr(new FuzzTask(FuzzJobA(), FuzzTask::Mode(mode % FuzzTask::ModeCount))));
    else if (kind == 1 || kind == 3)
        group->add(kind == 3 ? WorkQueue::TaskPtr(group) : w.groups[slot]);
    else {
        if (!w.groupJobs[slot]) {
            w.groupJobs[slot] = std::make_unique<FuzzJobA>();
            w.groupJobs[slot]->setObjectName(QString::number(mode));
        }
        group->add(*w.groupJobs[slot], g_groupWorker);
    }
}

void apply(World &w, Input &in, int op)
{
    WorkerRegistry *registry = WorkerRegistry::instance();
    trace("op " + std::to_string(op));
    switch (op) {
    case 0: { // create (or replace) a job
        auto &slot = w.jobs[in.pick(JobSlots)];
        Job *job = makeJob(in.byte());
        QObject::connect(job, &Job::finished, [job] {
            for (int i = 0; g_world && job->task() && i < 3; ++i) {
                if (g_world->queueAt(i) && g_world->queueAt(i)->running().contains(WorkQueue::TaskPtr(job->task())))
                    return fire(JobFinished); // which may delete the job
            }
        });
        QObject::connect(job, &Job::progressChanged, [] {}); // a listener: the job forwards progress
        slot.reset(job);
        break;
    }
    case 1:
        w.jobs[in.pick(JobSlots)].reset();
        break;
    case 2: { // enqueue(Job&): the job's task, new or (if the worker makes none) the one it holds
        WorkQueue *queue = w.queueAt(in.pick(3));
        Job *job = w.jobs[in.pick(JobSlots)].get();
        const uint priority = in.pick(8);
        if (!queue || !job)
            break;
        // The queue does not guard against a task queued twice: the application's mistake. A
        // finished task queued again runs a second time under a row the model shows finished.
        const Task *held = job->task();
        if (held && holds(queue, held))
            break;
        g_modelUnchecked |= held && held->isFinished();
        queue->enqueue(*job, priority);
        break;
    }
    case 3: { // enqueue(const Job&): always a new task, the job untouched
        WorkQueue *queue = w.queueAt(in.pick(3));
        const Job *job = w.jobs[in.pick(JobSlots)].get();
        const uint priority = in.pick(8);
        if (queue && job)
            queue->enqueue(*job, priority);
        break;
    }
    case 4: { // dequeue
        WorkQueue *queue = w.queueAt(in.pick(3));
        const Job *job = w.jobs[in.pick(JobSlots)].get();
        if (!queue || !job)
            break;
        const Task *task = job->task();
        const bool expect = task && !holds(queue, task);
        const bool outerExpect = std::exchange(g_expectCantFind, expect); // a handler may dequeue too
        const int outerCount = std::exchange(g_cantFindCount, 0);
        const bool removed = queue->dequeue(*job);
        FUZZ_CHECK(removed == (task && !expect));
        FUZZ_CHECK(g_cantFindCount == (expect ? 1 : 0));
        g_expectCantFind = outerExpect;
        g_cantFindCount = outerCount;
        g_dequeuedInHandler |= removed && g_hook == -2;
        if (removed && w.modelFollows(queue) && !task->isFinished())
            g_modelMayMisorder = true;
        break;
    }
    case 5:
        if (Job *job = w.jobs[in.pick(JobSlots)].get())
            job->abort();
        break;
    case 6: // a task ends: now, failing, aborted or from the event loop
    case 7:
    case 8:
    case 9:
        if (FuzzTask *task = pickTask(in))
            op == 6 ? task->finishNow() : op == 7 ? task->failNow() : op == 8 ? task->abort() : task->finishLater();
        break;
    case 10:
        if (WorkQueue *queue = w.queueAt(in.pick(3)))
            queue->setAutoAbort(in.byte() & 1);
        break;
    case 11: { // the plain queue's worker
        Worker *worker = w.workerAt(in.pick(3));
        if (!w.plainQueue)
            break;
        if (w.plainQueue->worker() && worker != w.plainQueue->worker() && w.modelFollows(w.plainQueue.get())
            && !w.plainQueue->queue().isEmpty())
            g_modelMayMisorder = true;
        w.plainQueue->setWorker(worker);
        break;
    }
    case 12: { // bind an ObjectWorker to an object (or to nothing)
        ObjectWorker *worker = w.workers[in.pick(2)].get();
        const int slot = in.pick(ObjectSlots + 1);
        if (worker)
            worker->setObject(slot < ObjectSlots ? w.objects[slot].get() : nullptr);
        break;
    }
    case 13: {
        const uint8_t b = in.byte();
        if (w.model)
            w.model->setMaxFinishedTasks(b == 255 ? 0x80000000u : uint(b % 8));
        break;
    }
    case 14: { // the model follows another queue (or none)
        const int i = in.pick(4);
        if (!w.model)
            break;
        WorkQueue *queue = i < 3 ? w.queueAt(i) : nullptr;
        if (queue != w.model->workQueue()) {
            g_modelMayMisorder = g_modelUnchecked = false;
            follow(w.model.get(), queue);
        }
        break;
    }
    case 15: // clear the model, and show it afresh
        g_modelMayMisorder = g_modelUnchecked = false;
        w.view->setSourceModel(nullptr);
        if (w.model)
            w.model->clear();
        w.view->setSourceModel(w.model.get());
        break;
    case 16: { // create or destroy a queue
        const int i = in.pick(3);
        if (w.modelFollows(w.queueAt(i)))
            g_modelMayMisorder = false; // the model is left detached
        if (i < 2) {
            if (w.workers[i])
                destroyWorker(w, i);
            else
                w.workers[i] = makeQueue<ObjectWorker>(w.objects[in.pick(ObjectSlots)].get());
        } else if (w.plainQueue) {
            w.plainQueue.reset();
        } else {
            w.plainQueue = makeQueue<FuzzQueue>(w.workerAt(in.pick(3)), in.byte() & 1);
        }
        break;
    }
    case 17: // create or destroy the model
        g_modelMayMisorder = g_modelUnchecked = false;
        if (w.model) {
            w.model.reset();
        } else {
            const int i = in.pick(4);
            w.model = makeModel(i < 3 ? w.queueAt(i) : nullptr);
        }
        break;
    case 18: { // create or destroy an object; ObjectWorkers bound to it see null afterwards
        auto &object = w.objects[in.pick(ObjectSlots)];
        if (object)
            object.reset();
        else
            object.reset(makeObject(in.byte()));
        break;
    }
    case 19: { // registry: register a factory; a refused one is released here
        const QString worker = QLatin1String(workerNames[in.pick(4)]);
        const QString task = QLatin1String(taskNames[in.pick(4)]);
        const QExplicitlySharedDataPointer<TaskCtor> ctor(makeFactory(in));
        registry->registerTask(worker, task, ctor.data(), in.byte() & 1);
        break;
    }
    case 20: {
        const QString worker = QLatin1String(workerNames[in.pick(4)]);
        const QString task = QLatin1String(taskNames[in.pick(4)]);
        registry->unregisterTask(worker, task);
        break;
    }
    case 21:
        registry->unregisterWorker(QLatin1String(workerNames[in.pick(4)]));
        break;
    case 22:
        runEventLoop(1 + in.pick(3));
        checkInvariants(w, true);
        break;
    case 23:
        if (WorkQueue *queue = w.queueAt(in.pick(3)))
            queue->startQueue();
        break;
    case 24: { // a worker prepares or runs a job outside any queue
        ObjectWorker *worker = w.workers[in.pick(2)].get();
        Job *job = w.jobs[in.pick(JobSlots)].get();
        const bool run = in.byte() & 1;
        if (worker && job)
            run ? worker->run(*job) : worker->prepare(*job);
        break;
    }
    case 25:
        if (Job *job = w.jobs[in.pick(JobSlots)].get())
            job->detach();
        break;
    case Attach: { // a job attaches the task another job holds: a task may serve several jobs
        Job *to = w.jobs[in.pick(JobSlots)].get();
        const Job *from = w.jobs[in.pick(JobSlots)].get();
        // Only a task someone holds: one whose deletion is already scheduled must not be revived.
        if (to && from)
            to->attach(from->task());
        break;
    }
    case RemoveRows: // the application edits the rows
    case InsertRow:
    case SetRowTask: {
        if (!w.model)
            break;
        const int rows = w.model->rowCount();
        const int row = in.pick(rows + 1);
        const Job *job = w.jobs[in.pick(JobSlots)].get();
        // Unchecked from the start of the edit: a handler on its own signals already runs after it.
        const bool unchecked = std::exchange(g_modelUnchecked, true);
        bool edited = false;
        if (op == RemoveRows)
            edited = w.model->removeRows(row, 1 + in.pick(2));
        else if (op == InsertRow)
            edited = w.model->insertRows(row, 1);
        else if (job && job->task()) // a job's task: its reference keeps the task from deletion
            edited = w.model->setData(w.model->index(row, 0), QVariant::fromValue<QObject *>(job->task()));
        g_modelUnchecked = unchecked || edited;
        break;
    }
    case ArmHook:
        g_hook = in.pick(HookSites);
        g_queueOnly = false;
        break;
    case ArmRowQueue: // a handler on a row signal of the model queues, dequeues or ends a task
        g_hook = in.pick(Changed + 1);
        g_queueOnly = true;
        break;
    case ResetRows: // the application's model resets or relayouts; the view follows whole
    case RelayoutRows:
        if (auto *rows = static_cast<FuzzRows *>(w.model.get()))
            op == ResetRows ? rows->reset() : rows->relayout();
        break;
    case SetProgress: // amounts from -8 (refused), totals from -2 (unknown); often unchanged
    case SetProgressText:
    case SetTimeout:
    case SetTaskTimeout: {
        FuzzTask *task = pickTask(in);
        WorkQueue *queue = w.queueAt(in.pick(3));
        const int a = in.byte(), b = in.byte();
        const QScopedValueRollback<bool> warns(g_progressWarnings, true);
        if (op == SetTaskTimeout)
            queue ? queue->setTaskTimeout(a % 4 - 1) : void();
        else if (task)
            op == SetProgress      ? task->report(a % 24 - 8, b % 12 - 2)
                : op == SetTimeout ? task->setTimeout(a % 4 - 1)
                                   : task->describe(a % 3 ? QString(QLatin1Char('a' + a % 3)) : QString());
        break;
    }
    case RunOutClocks: // the time of every running clock passes (tasks may finish meanwhile)
        for (FuzzTask *task : std::vector<FuzzTask *>(g_tasks)) {
            for (const auto &timer : QAbstractEventDispatcher::instance()->registeredTimers(task)) {
                QTimerEvent event(timer.timerId);
                isLive(task) ? void(QCoreApplication::sendEvent(task, &event)) : void();
            }
        }
        break;
    case AbortAll:
        if (WorkQueue *queue = w.queueAt(in.pick(3))) {
            const QList<WorkQueue::TaskPtr> held = queue->queue();
            const int hooks = g_hooksFired; // a nested call runs in a hook, which its outer call ignores
            g_startsInAbortAll = 0;
            ++g_abortAllDepth;
            queue->abortAll();
            --g_abortAllDepth;
            for (const WorkQueue::TaskPtr &task : held) // unless a handler did more meanwhile
                FUZZ_CHECK(g_hooksFired != hooks
                    || (!g_startsInAbortAll
                        && (task->isFinished() || static_cast<FuzzTask *>(task.data())->mode == FuzzTask::AbortLater)));
        }
        break;
    case DrainPool:
        g_pool->drain();
        break;
    case ClearPool: // the functions that have not started: their tasks end as Aborted
        g_pool->clear();
        break;
    case CancelFuture: // aborts the task through the event loop, unless it finishes first
        if (Job *job = w.jobs[in.pick(JobSlots)].get(); job && job->task())
            Errand::toFuture(*job).cancel();
        break;
    case MakeGroup: // replaces the group of a slot; the one it held goes on, held by its parents
        w.groups[in.pick(2)] = WorkQueue::TaskPtr(makeGroup(in));
        break;
    case AddToGroup:
    case StartGroup:
    case AbortGroup:
        if (auto *group = static_cast<TaskGroup *>(w.groups[in.pick(2)].data())) {
            const QScopedValueRollback<bool> warns(g_groupWarnings, true);
            op == AddToGroup ? addToGroup(w, in, group) : op == StartGroup ? group->start() : group->abort();
        }
        break;
    case DropGroup: // a group or a group's job goes
        in.byte() & 1 ? w.groups[in.pick(2)].reset() : w.groupJobs[in.pick(2)].reset();
        break;
    case SetMaxRunning: // 0 is refused
        if (WorkQueue *queue = w.queueAt(in.pick(3))) {
            const int count = in.pick(5);
            const QScopedValueRollback<bool> warns(g_lanesWarning, count == 0);
            queue->setMaxRunning(count);
        }
        break;
    default:
        break;
    }
}

void nestedStep(World &w, Input &in)
{
    // Handlers may also destroy (or create) a job, a queue or the model in the middle of the
    // library's work; the one thing they may not do is take the world away from the fuzzer.
    static const int safe[] = { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 13, 16, 17, 23, RemoveRows, SetRowTask, InsertRow,
        ResetRows, RelayoutRows, SetProgress, SetTimeout, RunOutClocks, AbortAll, DrainPool, ClearPool, CancelFuture,
        MakeGroup, AddToGroup, StartGroup, AbortGroup, DropGroup,
        SetMaxRunning };
    apply(w, in, safe[in.pick(int(std::size(safe)))]);
}

void step(World &w, Input &in)
{
    g_dequeuedInHandler = g_nested = false;
    // An operation that leaves the model alone, on a model that follows its queue on the fast
    // path, must be handled by the fast path whole, without falling back and re-proving it.
    const WorkQueueListModel *model = w.model.get();
    const WorkQueue *followed = model ? model->workQueue() : nullptr;
    const WorkQueueListModelPrivate *d = model ? WorkQueueListModelPrivate::get(w.model.get()) : nullptr;
    const bool fast = followed && d->tracking && !g_modelUnchecked && !g_modelMayMisorder;
    const quint64 resyncs = d ? d->resyncs : 0;
    const int op = in.pick(Attach + 1);
    apply(w, in, op == Attach ? Attach + in.pick(Operations - Attach) : op);
    if (fast && w.model.get() == model && model->workQueue() == followed && !g_modelUnchecked && !g_modelMayMisorder
        && !g_nested)
        FUZZ_CHECK(d->resyncs == resyncs);
    checkInvariants(w, false);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    qInstallMessageHandler(messageHandler);
    g_pool = new FuzzPool; // never deleted: its thread waits at the gate until the process ends
    g_pool->setMaxThreadCount(1);
    g_pool->block();
    return 0;
}

namespace {

void runInput(const uint8_t *data, size_t size, bool reference)
{
    g_reference = reference;
    g_traced = 0;
    g_taskIds = 0;
    g_finishClock = 0;
    g_hook = -1;
    g_queueOnly = false;
    g_modelMayMisorder = g_modelUnchecked = false;
    Input in { data, size };
    resetRegistry();
    {
        World w;
        QObject::connect(w.view.get(), &QAbstractItemModel::dataChanged, [] { fire(ViewChanged); });
        g_world = &w;
        g_input = &in;
        for (int ops = 0; ops < MaxOps && !in.atEnd(); ++ops)
            step(w, in);
        runEventLoop(2);
        checkInvariants(w, true);
        g_world = nullptr;
    }
    // Everything is gone: every task must go with the next turn of the event loop, and no
    // function may be left for the next input.
    resetRegistry();
    g_pool->drain();
    runEventLoop(2);
    FUZZ_CHECK(g_tasks.empty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    g_trace.clear();
    runInput(data, size, false);
    runInput(data, size, true);
    FUZZ_CHECK(g_traced == g_trace.size()); // the reference run did no less than the fast path
    return 0;
}

#ifndef ERRAND_LIBFUZZER
// Without libFuzzer: replays every input file in the directories or files given, so that the
// committed corpus runs as an ordinary test.
#include <QtCore/QDir>

int main(int argc, char **argv)
{
    LLVMFuzzerInitialize(&argc, &argv);
    QFileInfoList inputs;
    for (int i = 1; i < argc; ++i) {
        const QFileInfo arg(QFile::decodeName(argv[i]));
        inputs += arg.isDir() ? QDir(arg.filePath()).entryInfoList(QDir::Files) : QFileInfoList { arg };
    }
    for (const QFileInfo &input : std::as_const(inputs)) {
        QFile file(input.filePath());
        if (!file.open(QIODevice::ReadOnly))
            return 2;
        const QByteArray data = file.readAll();
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(data.constData()), size_t(data.size()));
    }
    std::printf("replayed %d inputs\n", int(inputs.size()));
    return inputs.isEmpty() ? 1 : 0;
}
#endif

#include "fuzz_workqueue.moc"
