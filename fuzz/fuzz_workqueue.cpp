// libFuzzer target: reads its input as a sequence of operations on the process-wide registry,
// two ObjectWorkers (each a queue and a worker), a plain WorkQueue and a WorkQueueListModel, and
// checks after every operation the invariants that must hold whatever the application does:
//
//  - every queue lists each task it holds once, in priority order, and current() is one of
//    them (or null when it holds none);
//  - the model's finished block (the trailing rows it counts as finished) holds at most
//    maxFinishedTasks() rows, only finished tasks, most recently finished first;
//  - no job, queue or model row refers to a task that no longer exists, and once the event loop
//    has run, every task that is still alive is held by a job, a queue or a model row;
//  - a task is deleted only through its last reference, and after everything is torn down at
//    the end of the input no task is left.
//
// The only warnings accepted are those the operation itself asks for (a worker without an
// object or without a factory, registry misuse, dequeuing a job the queue does not hold, a model
// following a queue that dropped tasks behind its back); any other warning aborts.

#include <Job.h>
#include <ObjectWorker.h>
#include <Task.h>
#include <TaskFactory.h>
#include <WorkQueue.h>
#include <WorkQueueListModel.h>
#include <Worker.h>
#include <WorkerRegistry.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QPointer>
#include <QtCore/QString>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unordered_set>
#include <vector>

namespace {

[[noreturn]] void violated(const char *what, int line)
{
    std::fprintf(stderr, "fuzz_workqueue: invariant violated at line %d: %s\n", line, what);
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(cond)                                                                                               \
    do {                                                                                                               \
        if (!(cond))                                                                                                   \
            violated(#cond, __LINE__);                                                                                 \
    } while (false)

class FuzzTask;

// Every task alive, in creation order (so that operations pick tasks reproducibly), and the
// same as a set for look-ups.
std::vector<FuzzTask *> g_tasks;
std::unordered_set<const Task *> g_liveSet;
// Counts transitions into Finished, so the model's finished block can be checked for order.
quint64 g_finishClock = 0;

// ERRAND_FUZZ_TRACE=1 prints each operation and the model's rows, to read a reproducer.
const bool g_trace = qEnvironmentVariableIsSet("ERRAND_FUZZ_TRACE");

bool isLive(const Task *task)
{
    return g_liveSet.count(task) != 0;
}

class FuzzJobA : public Job
{
    Q_OBJECT
public:
    using Job::Job;
};

class FuzzJobB : public Job
{
    Q_OBJECT
public:
    using Job::Job;
};

// Served by factories registered for "FuzzJobC"; a typed factory for FuzzJobA accepts it too.
class FuzzJobC : public FuzzJobA
{
    Q_OBJECT
public:
    using FuzzJobA::FuzzJobA;
};

// Claims FuzzJobA's name without being one: a factory typed on FuzzJobA makes no task for it.
class FuzzJobImpostor : public Job
{
    Q_OBJECT
public:
    using Job::Job;
    QString name() const override { return QStringLiteral("FuzzJobA"); }
};

class FuzzObject : public QObject
{
    Q_OBJECT
};

class FuzzObjectDerived : public FuzzObject
{
    Q_OBJECT
};

class FuzzTask : public Task
{
    Q_OBJECT
public:
    enum Mode { Run, FinishInStart, FailInStart, AbortInStart, StayReady, FinishLater, ModeCount };

    FuzzTask(const Job &job, Mode mode) : Task(job), mode(mode)
    {
        g_tasks.push_back(this);
        g_liveSet.insert(this);
        // Connected first, so the stamp is set before the queue and the model hear of the finish.
        connect(this, &Task::stateChanged, this, [this](Job::State state) {
            if (state == Job::Finished)
                finishStamp = ++g_finishClock;
        });
    }
    explicit FuzzTask(const FuzzJobA &job) : FuzzTask(job, Run) {}
    FuzzTask(Worker &, const FuzzJobB &job) : FuzzTask(job, FinishInStart) {}

    ~FuzzTask() override
    {
        // The last release hands the task to deleteLater() and puts the count back to 1: any
        // other count means it is deleted while something still holds it, or was never held.
        FUZZ_CHECK(ref.loadRelaxed() == 1);
        g_tasks.erase(std::find(g_tasks.begin(), g_tasks.end(), this));
        g_liveSet.erase(this);
    }

    void start() override
    {
        switch (mode) {
        case Run:
            setState(Job::Running);
            break;
        case FinishInStart:
            setState(Job::Running);
            setState(Job::Finished);
            break;
        case FailInStart:
            setState(Job::Running);
            fail(QStringLiteral("failed in start"));
            break;
        case AbortInStart:
            setState(Job::Running);
            abort();
            break;
        case StayReady:
            break;
        case FinishLater:
            setState(Job::Running);
            finishLater();
            break;
        case ModeCount:
            break;
        }
    }

    void finishNow() { setState(Job::Finished); }
    void failNow() { fail(QStringLiteral("failed")); }
    void finishLater()
    {
        QMetaObject::invokeMethod(this, [this] { setState(Job::Finished); }, Qt::QueuedConnection);
    }

    const Mode mode;
    quint64 finishStamp = 0;
};

// Reads the model's finished count without changing the model: while probing, the pruning that
// setMaxFinishedTasks() asks for through the virtual removeRows() is recorded and refused.
class FuzzModel : public WorkQueueListModel
{
public:
    using WorkQueueListModel::WorkQueueListModel;

    bool removeRows(int row, int count, const QModelIndex &parent) override
    {
        if (!probing)
            return WorkQueueListModel::removeRows(row, count, parent);
        FUZZ_CHECK(!parent.isValid() && count > 0 && row + count == rowCount()); // prunes the bottom rows
        probed = std::max(probed, count);
        return false;
    }

    int finishedCount()
    {
        const uint max = maxFinishedTasks();
        const int rows = rowCount();
        probing = true;
        probed = 0;
        if (max == 0)
            setMaxFinishedTasks(1);
        setMaxFinishedTasks(0);
        setMaxFinishedTasks(max);
        probing = false;
        FUZZ_CHECK(rowCount() == rows); // pruning goes through the virtual removeRows()
        FUZZ_CHECK(maxFinishedTasks() == max);
        return probed;
    }

private:
    bool probing = false;
    int probed = 0;
};

// --- warnings --------------------------------------------------------------------------------

bool g_expectCantFind = false; // the current dequeue names a task the queue does not hold
int g_cantFindCount = 0;
bool g_modelMayMisorder = false; // the model's queue dropped tasks without finishing them
QtMessageHandler g_previousHandler = nullptr;

void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtWarningMsg && type != QtCriticalMsg && type != QtFatalMsg) {
        return;
    }
    const auto starts = [&message](const char *prefix) { return message.startsWith(QLatin1String(prefix)); };
    if (starts("[Worker]: invalid Object, please implement the object method"))
        return; // a worker whose object is unset or destroyed
    if (starts("[Worker]: \"") && message.contains(QLatin1String("\" has no registered tasks for \"")))
        return; // no factory (or only factories that made no task) for the job
    if (starts("[WorkerRegistry]: "))
        return; // misuse operations: null factory, empty worker name
    if (message == QLatin1String("[WorkQueue]: internal error, can't find task") && g_expectCantFind) {
        ++g_cantFindCount;
        return;
    }
    // A row whose task the queue dropped without a finish reads priority 0, so a later task can
    // be placed above rows it should follow; the model then finds its rows out of order.
    if (message == QLatin1String("[WorkQueueListModel] failed to reorder tasks (internal error)") && g_modelMayMisorder)
        return;
    if (g_previousHandler)
        g_previousHandler(type, context, message);
    std::fprintf(stderr, "fuzz_workqueue: unexpected warning: %s\n", qPrintable(message));
    std::fflush(stderr);
    std::abort();
}

// --- input -----------------------------------------------------------------------------------

class Input
{
public:
    Input(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}
    bool atEnd() const { return m_size == 0; }
    uint8_t byte()
    {
        if (!m_size)
            return 0;
        --m_size;
        return *m_data++;
    }
    int pick(int n) { return byte() % n; }

private:
    const uint8_t *m_data;
    size_t m_size;
};

const char *const workerNames[] = {"FuzzObjectDerived", "FuzzObject", "QObject", "Unrelated"};
const char *const taskNames[] = {"FuzzJobA", "FuzzJobB", "FuzzJobC", "Unknown"};
constexpr int JobSlots = 6;
constexpr int ObjectSlots = 3;
constexpr int MaxOps = 2048;

// --- the world an input acts on --------------------------------------------------------------

struct World
{
    std::unique_ptr<QObject> objects[ObjectSlots];
    std::unique_ptr<ObjectWorker> workers[2];
    std::unique_ptr<WorkQueue> plainQueue;
    std::unique_ptr<FuzzModel> model;
    std::unique_ptr<Job> jobs[JobSlots];

    // 0 and 1: the ObjectWorkers' own queues; 2: the plain queue.
    WorkQueue *queueAt(int i) const { return i < 2 ? workers[i].get() : plainQueue.get(); }
    Worker *workerAt(int i) const { return i < 2 && workers[i] ? static_cast<Worker *>(workers[i].get()) : nullptr; }
    bool modelFollows(const WorkQueue *queue) const { return model && queue && model->workQueue() == queue; }

    ~World()
    {
        model.reset();
        plainQueue.reset();
        for (auto &w : workers)
            w.reset();
        for (auto &j : jobs)
            j.reset();
        for (auto &o : objects)
            o.reset();
    }
};

bool holds(const WorkQueue *queue, const Task *task)
{
    const QList<WorkQueue::TaskPtr> tasks = queue->queue();
    return std::any_of(tasks.cbegin(), tasks.cend(), [task](const WorkQueue::TaskPtr &p) { return p.data() == task; });
}

QObject *makeObject(int kind)
{
    switch (kind % 3) {
    case 0:
        return new FuzzObject;
    case 1:
        return new FuzzObjectDerived;
    default:
        return new QObject;
    }
}

Job *makeJob(int kind)
{
    switch (kind % 4) {
    case 0:
        return new FuzzJobA;
    case 1:
        return new FuzzJobB;
    case 2:
        return new FuzzJobC;
    default:
        return new FuzzJobImpostor;
    }
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

void runEventLoop(int rounds)
{
    for (int i = 0; i < rounds; ++i) {
        QCoreApplication::sendPostedEvents(nullptr, 0);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
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
    const Task *current = queue->current();
    if (current)
        FUZZ_CHECK(seen.count(current));
    else
        FUZZ_CHECK(tasks.isEmpty()); // between operations a queue with tasks always has a current one
}

void checkModel(FuzzModel *model)
{
    const int rows = model->rowCount();
    for (int r = 0; r < rows; ++r) {
        const WorkQueue::TaskPtr task = model->task(r);
        FUZZ_CHECK(!task || isLive(task.data()));
    }
    const int finished = model->finishedCount();
    if (g_trace) {
        std::fprintf(stderr, "  model: %d rows, %d finished:", rows, finished);
        for (int r = 0; r < rows; ++r) {
            const WorkQueue::TaskPtr task = model->task(r);
            std::fprintf(stderr, " %p/%s", static_cast<void *>(task.data()),
                         task ? qPrintable(Job::toString(task->state())) : "null");
        }
        std::fprintf(stderr, "\n");
    }
    FUZZ_CHECK(finished >= 0 && finished <= rows);
    FUZZ_CHECK(qint64(finished) <= qint64(model->maxFinishedTasks()));
    quint64 newer = ~quint64(0);
    for (int r = rows - finished; r < rows; ++r) {
        const WorkQueue::TaskPtr ptr = model->task(r);
        FUZZ_CHECK(ptr && ptr->isFinished()); // the finished block holds only finished tasks
        const auto *task = static_cast<const FuzzTask *>(ptr.data());
        FUZZ_CHECK(task->finishStamp < newer); // most recently finished first
        newer = task->finishStamp;
    }
}

void checkInvariants(World &w, bool afterEventLoop)
{
    for (int i = 0; i < 3; ++i) {
        if (const WorkQueue *queue = w.queueAt(i))
            checkQueue(queue);
    }
    for (const auto &job : w.jobs) {
        if (job && job->task())
            FUZZ_CHECK(isLive(job->task()));
    }
    if (w.model)
        checkModel(w.model.get());
    if (!afterEventLoop)
        return;
    // Deferred deletion has run: whatever is still alive must be held by someone.
    std::unordered_set<const Task *> held;
    for (const auto &job : w.jobs) {
        if (job)
            held.insert(job->task());
    }
    for (int i = 0; i < 3; ++i) {
        if (const WorkQueue *queue = w.queueAt(i)) {
            for (const WorkQueue::TaskPtr &task : queue->queue())
                held.insert(task.data());
        }
    }
    for (int r = 0; w.model && r < w.model->rowCount(); ++r)
        held.insert(w.model->task(r).data());
    for (const FuzzTask *task : g_tasks)
        FUZZ_CHECK(held.count(task));
}

// --- operations ------------------------------------------------------------------------------

FuzzTask *pickTask(Input &in)
{
    const int n = int(g_tasks.size());
    const int i = in.byte();
    return n ? g_tasks.at(size_t(i % n)) : nullptr;
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

void step(World &w, Input &in)
{
    WorkerRegistry *registry = WorkerRegistry::instance();
    const int op = in.pick(30);
    if (g_trace)
        std::fprintf(stderr, "op %d (%zu tasks alive)\n", op, g_tasks.size());
    switch (op) {
    case 0: { // create (or replace) a job
        const int slot = in.pick(JobSlots);
        w.jobs[slot].reset(makeJob(in.byte()));
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
        // The queue does not guard against a task queued twice, and a finished task queued
        // again would run a second time under a row the model shows as finished: both are
        // the application's mistakes, not the library's.
        const Task *held = job->task();
        if (held && (held->isFinished() || holds(queue, held)))
            break;
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
        g_expectCantFind = task && !holds(queue, task);
        g_cantFindCount = 0;
        const bool removed = queue->dequeue(*job);
        FUZZ_CHECK(removed == (task && !g_expectCantFind));
        FUZZ_CHECK(g_cantFindCount == (g_expectCantFind ? 1 : 0));
        g_expectCantFind = false;
        if (removed && w.modelFollows(queue) && !task->isFinished())
            g_modelMayMisorder = true;
        break;
    }
    case 5:
        if (Job *job = w.jobs[in.pick(JobSlots)].get())
            job->abort();
        break;
    case 6:
        if (FuzzTask *task = pickTask(in))
            task->finishNow();
        break;
    case 7:
        if (FuzzTask *task = pickTask(in))
            task->failNow();
        break;
    case 8:
        if (FuzzTask *task = pickTask(in))
            task->abort();
        break;
    case 9:
        if (FuzzTask *task = pickTask(in))
            task->finishLater();
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
        if (queue != w.model->workQueue())
            g_modelMayMisorder = false;
        w.model->setWorkQueue(queue);
        break;
    }
    case 15:
        if (w.model) {
            w.model->clear();
            g_modelMayMisorder = false;
        }
        break;
    case 16: { // create or destroy a queue
        const int i = in.pick(3);
        if (w.modelFollows(w.queueAt(i)))
            g_modelMayMisorder = false; // the model is left detached
        if (i < 2) {
            if (w.workers[i])
                destroyWorker(w, i);
            else
                w.workers[i] = std::make_unique<ObjectWorker>(w.objects[in.pick(ObjectSlots)].get());
        } else if (w.plainQueue) {
            w.plainQueue.reset();
        } else {
            w.plainQueue = std::make_unique<WorkQueue>(w.workerAt(in.pick(3)), in.byte() & 1);
        }
        break;
    }
    case 17: // create or destroy the model
        if (w.model) {
            w.model.reset();
        } else {
            const int i = in.pick(4);
            w.model = std::make_unique<FuzzModel>(i < 3 ? w.queueAt(i) : nullptr);
        }
        g_modelMayMisorder = false;
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
    case 22: { // through a worker: registers under the class name of its object
        ObjectWorker *worker = w.workers[in.pick(2)].get();
        const QString task = QLatin1String(taskNames[in.pick(4)]);
        const QExplicitlySharedDataPointer<TaskCtor> ctor(makeFactory(in));
        const bool replace = in.byte() & 1;
        if (worker)
            worker->registerTask(task, ctor.data(), replace);
        break;
    }
    case 23: {
        ObjectWorker *worker = w.workers[in.pick(2)].get();
        const QString task = QLatin1String(taskNames[in.pick(4)]);
        if (worker)
            worker->unregisterTask(task);
        break;
    }
    case 24:
        runEventLoop(1 + in.pick(3));
        checkInvariants(w, true);
        break;
    case 25:
        if (WorkQueue *queue = w.queueAt(in.pick(3)))
            queue->startQueue();
        break;
    case 26: { // a worker prepares or runs a job outside any queue
        ObjectWorker *worker = w.workers[in.pick(2)].get();
        Job *job = w.jobs[in.pick(JobSlots)].get();
        const bool run = in.byte() & 1;
        if (!worker || !job)
            break;
        if (run)
            worker->run(*job);
        else
            worker->prepare(*job);
        break;
    }
    case 27:
        if (Job *job = w.jobs[in.pick(JobSlots)].get())
            job->detach();
        break;
    case 28: { // registry misuse: each writes its warning and changes nothing
        const int before = registry->workerCount();
        switch (in.pick(3)) {
        case 0:
            FUZZ_CHECK(!registry->registerWorker(QString()));
            break;
        case 1:
            FUZZ_CHECK(!registry->unregisterWorker(QString()));
            break;
        default:
            FUZZ_CHECK(!registry->registerTask(QLatin1String(workerNames[in.pick(4)]), QStringLiteral("FuzzJobA"), nullptr));
            break;
        }
        FUZZ_CHECK(registry->workerCount() == before);
        break;
    }
    default: { // a job attaches the task another job holds: a task may serve several jobs
        Job *to = w.jobs[in.pick(JobSlots)].get();
        const Job *from = w.jobs[in.pick(JobSlots)].get();
        // Only a task someone holds: one whose deletion is already scheduled must not be revived.
        if (to && from)
            to->attach(from->task());
        break;
    }
    }
    checkInvariants(w, false);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    g_previousHandler = qInstallMessageHandler(messageHandler);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in(data, size);
    resetRegistry();
    g_modelMayMisorder = false;
    {
        World w;
        for (int ops = 0; ops < MaxOps && !in.atEnd(); ++ops)
            step(w, in);
        runEventLoop(2);
        checkInvariants(w, true);
    }
    // Everything is gone: every task must go with the next turn of the event loop.
    resetRegistry();
    runEventLoop(2);
    FUZZ_CHECK(g_tasks.empty());
    return 0;
}

#include "fuzz_workqueue.moc"
