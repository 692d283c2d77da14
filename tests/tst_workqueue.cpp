#include "TestSupport.h"

#include <WorkQueue.h>
#include <WorkQueuePrivate.h>
#include <Worker.h>

#include <QtCore/QPointer>
#include <QtCore/QScopeGuard>
#include <QtCore/QSet>
#include <QtCore/QThread>
#include <QtCore/QTimer>
#include <QtTest/QtTest>

#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

using namespace TestSupport;

namespace {

WorkQueuePrivate *privateOf(WorkQueue *queue)
{
    return static_cast<WorkQueuePrivate *>(QObjectPrivate::get(queue));
}

QString names(const QList<WorkQueue::TaskPtr> &tasks)
{
    QStringList out;
    for (const WorkQueue::TaskPtr &task : tasks)
        out << task->objectName();
    return out.join(QLatin1Char(','));
}

// The queue's keys in map order, "(priority,sequence) ...".
QString keys(WorkQueue *queue)
{
    QStringList out;
    const auto &map = privateOf(queue)->queue;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        out << QStringLiteral("(%1,%2)").arg(it.key().priority).arg(it.key().sequence);
    return out.join(QLatin1Char(' '));
}

QStringList list(std::initializer_list<const char *> items)
{
    QStringList out;
    for (const char *item : items)
        out << QString::fromLatin1(item);
    return out;
}

ManualTask *manual(Task *task)
{
    return static_cast<ManualTask *>(task);
}

// Makes tasks without the registry: a ManualTask named after the job ("J3" -> "T3") whose start
// mode is the job's "mode" property, or whatever `make` returns when it is set.
class ScriptedWorker : public Worker
{
public:
    QObject *object() override { return &m_object; }
    Task *createTask(const Job &job) override
    {
        if (!produce)
            return nullptr;
        Task *task = make ? make(job) : new ManualTask(job, ManualTask::StartMode(job.property("mode").toInt()));
        if (task->objectName().isEmpty())
            task->setObjectName(QLatin1Char('T') + job.objectName().mid(1));
        if (log)
            log->watchTask(task, task->objectName());
        return task;
    }

    bool produce = true;
    SignalLog *log = nullptr;
    std::function<Task *(const Job &)> make;

private:
    QObject m_object;
};

// A queue with its worker, its jobs and one log of task, job and queue signals.
struct Bench
{
    explicit Bench(bool autoAbort = false)
        : queue(&worker, autoAbort)
    {
        worker.log = &log;
        log.watchQueue(&queue, QStringLiteral("Q"));
    }

    PlainJob *job(int n, ManualTask::StartMode mode = ManualTask::RunOnStart, bool watch = false)
    {
        jobs.push_back(std::make_unique<PlainJob>());
        PlainJob *job = jobs.back().get();
        job->setObjectName(QStringLiteral("J%1").arg(n));
        job->setProperty("mode", int(mode));
        if (watch)
            log.watchJob(job, job->objectName());
        return job;
    }

    ManualTask *add(int n, uint priority, ManualTask::StartMode mode = ManualTask::RunOnStart)
    {
        PlainJob *j = job(n, mode);
        return queue.enqueue(*j, priority) ? manual(j->task()) : nullptr;
    }

    ScriptedWorker worker;
    WorkQueue queue;
    SignalLog log;
    std::vector<std::unique_ptr<PlainJob>> jobs;
};

// Counts its instances so that a test can prove every task is deleted exactly once, and never
// while the watched queue still holds it.
class TrackedTask : public Task
{
    Q_OBJECT
public:
    enum Mode { Finish, Later, LaterFail, Hold };

    TrackedTask(const Job &job, Mode mode)
        : Task(job)
        , mode(mode)
    {
        live.insert(this);
        ++created;
    }
    ~TrackedTask() override
    {
        if (!live.remove(this))
            ++destroyedTwice;
        if (watchedQueue && privateOf(watchedQueue)->priorities.contains(this))
            ++destroyedWhileHeld;
    }

    void start() override
    {
        setState(Job::Running);
        if (mode == Finish)
            setState(Job::Finished);
        else if (mode == Later || mode == LaterFail)
            QTimer::singleShot(0, this, [this] {
                if (mode == LaterFail)
                    fail(QStringLiteral("failed later"));
                else
                    setState(Job::Finished);
            });
    }

    const Mode mode;

    static QSet<const TrackedTask *> live;
    static int created;
    static int destroyedTwice;
    static int destroyedWhileHeld;
    static WorkQueue *watchedQueue;
};

QSet<const TrackedTask *> TrackedTask::live;
int TrackedTask::created = 0;
int TrackedTask::destroyedTwice = 0;
int TrackedTask::destroyedWhileHeld = 0;
WorkQueue *TrackedTask::watchedQueue = nullptr;

// Lives in a worker thread: start() (called on the queue's thread) only posts the work there,
// so the task's signals reach the queue through queued connections.
class ThreadTask : public Task
{
    Q_OBJECT
public:
    using Task::Task;
    ~ThreadTask() override { alive.deref(); }

    void start() override
    {
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (QThread::currentThread() != thread())
                    offThread.ref();
                setState(Job::Running);
                setState(Job::Finished);
            },
            Qt::QueuedConnection);
    }

    static QAtomicInt alive;
    static QAtomicInt offThread;
};

QAtomicInt ThreadTask::alive;
QAtomicInt ThreadTask::offThread;

// A private part that records the calls the public API makes to it, then delegates; it refuses
// to dequeue the task named in `pinned`.
class RecordingQueuePrivate : public WorkQueuePrivate
{
public:
    using WorkQueuePrivate::WorkQueuePrivate;

    void enqueue(Task *task, uint priority) override
    {
        log->add(QStringLiteral("d.enqueue(%1,%2)").arg(task->objectName()).arg(priority));
        WorkQueuePrivate::enqueue(task, priority);
        log->add(QStringLiteral("d.enqueue done"));
    }
    bool dequeue(Task *task) override
    {
        log->add(QStringLiteral("d.dequeue(%1)").arg(task->objectName()));
        if (task->objectName() == pinned) {
            log->add(QStringLiteral("d.dequeue refused"));
            return false;
        }
        const bool removed = WorkQueuePrivate::dequeue(task);
        log->add(removed ? QStringLiteral("d.dequeue done") : QStringLiteral("d.dequeue failed"));
        return removed;
    }

    SignalLog *log = nullptr;
    QString pinned;
};

class RecordingQueue : public WorkQueue
{
public:
    RecordingQueue(Worker *worker, SignalLog *log)
        : WorkQueue(*new RecordingQueuePrivate(worker), nullptr)
    {
        d()->log = log;
    }
    RecordingQueuePrivate *d() { return static_cast<RecordingQueuePrivate *>(d_ptr.data()); }
};

const QString kNoError = QStringLiteral("NoError");

} // namespace

class tst_WorkQueue : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { failOnUnexpectedWarnings(); }
    void cleanup() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    void runOrder_data();
    void runOrder();
    void autoAbort_data();
    void autoAbort();
    void signalOrder_data();
    void signalOrder();
    void queuedKeepsFinishedTaskAlive();
    void drainsRecursively();
    void longSynchronousChain();
    void abortedTasksLeaveTheQueue();
    void dequeue();
    void setWorker_data();
    void setWorker();
    void enqueueTakesWhatTheWorkerGives();
    void strayFinishes();
    void sequencesKeepCounting();
    void privateOverrides();
    void finishFromEventLoop();
    void finishOnWorkerThreads();
    void everyTaskIsDestroyedOnce();
};

void tst_WorkQueue::runOrder_data()
{
    QTest::addColumn<QString>("priorities");
    QTest::addColumn<bool>("autoAbort");
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("listed"); // queue() while T1 runs
    QTest::addColumn<QString>("order");

    const QString fifo = QStringLiteral("T1,T2,T3");
    const QString t132 = QStringLiteral("T1,T3,T2");
    QTest::newRow("equal") << "5,5,5" << false << "(5,1) (5,2) (5,3)" << fifo << fifo;
    QTest::newRow("equal, autoAbort") << "5,5,5" << true << "(5,1) (5,2) (5,3)" << fifo << fifo;
    QTest::newRow("mixed") << "5,3,5" << false << "(5,1) (5,3) (3,2)" << t132 << t132;
    QTest::newRow("mixed, autoAbort") << "5,3,5" << true << "(5,1) (5,3) (3,2)" << t132 << t132;
    QTest::newRow("rising") << "1,2,3" << false << "(3,3) (2,2) (1,1)"
                            << "T3,T2,T1" << t132;
    QTest::newRow("zero first") << "0,0,7" << false << "(7,3) (0,1) (0,2)"
                                << "T3,T1,T2" << t132;
    QTest::newRow("falling, autoAbort") << "9,4,0" << true << "(9,1) (4,2) (0,3)" << fifo << fifo;
}

void tst_WorkQueue::runOrder()
{
    QFETCH(QString, priorities);
    QFETCH(bool, autoAbort);
    QFETCH(QString, keys);
    QFETCH(QString, listed);
    QFETCH(QString, order);

    Bench b(autoAbort);
    QList<ManualTask *> tasks;
    const QStringList prios = priorities.split(QLatin1Char(','));
    for (int i = 0; i < prios.size(); ++i)
        tasks << b.add(i + 1, prios.at(i).toUInt());

    QCOMPARE(b.queue.current(), tasks.first());
    QCOMPARE(names(b.queue.queue()), listed);
    QCOMPARE(::keys(&b.queue), keys);
    for (int i = 0; i < tasks.size(); ++i)
        QCOMPARE(b.queue.priority(tasks.at(i)), prios.at(i).toUInt());

    QStringList ran;
    while (Task *task = b.queue.current()) {
        QVERIFY(task->isRunning());
        ran << task->objectName();
        manual(task)->doSetState(Job::Finished);
    }
    QCOMPARE(ran.join(QLatin1Char(',')), order);
    QVERIFY(b.queue.queue().isEmpty());
    QVERIFY(!b.log.entries.join(QLatin1Char(' ')).contains(QLatin1String("Aborted")));
    for (ManualTask *task : qAsConst(tasks))
        QCOMPARE(b.queue.priority(task), 0u);
}

void tst_WorkQueue::autoAbort_data()
{
    QTest::addColumn<bool>("autoAbort");
    QTest::addColumn<uint>("priority");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QString>("listed");

    const QStringList aborted = list({ "T1.stateChanged(Finished)", "T1.finished(Aborted)", "Q.finished(Aborted)",
        "T2.stateChanged(Running)", "T2.started", "Q.started", "Q.queued(T2,6)" });
    QTest::newRow("higher, autoAbort") << true << 6u << aborted << "T2";
    QTest::newRow("equal, autoAbort") << true << 5u << list({ "Q.queued(T2,5)" }) << "T1,T2";
    QTest::newRow("lower, autoAbort") << true << 4u << list({ "Q.queued(T2,4)" }) << "T1,T2";
    QTest::newRow("zero, autoAbort") << true << 0u << list({ "Q.queued(T2,0)" }) << "T1,T2";
    QTest::newRow("higher, no autoAbort") << false << 6u << list({ "Q.queued(T2,6)" }) << "T2,T1";
}

void tst_WorkQueue::autoAbort()
{
    QFETCH(bool, autoAbort);
    QFETCH(uint, priority);
    QFETCH(QStringList, expected);
    QFETCH(QString, listed);

    Bench b(autoAbort);
    QCOMPARE(b.queue.autoAbort(), autoAbort);
    ManualTask *t1 = b.add(1, 5);
    b.log.take();
    ManualTask *t2 = b.add(2, priority);
    QVERIFY(t2);
    QCOMPARE(b.log.take(), expected);
    QCOMPARE(names(b.queue.queue()), listed);
    const bool abort = expected.size() > 1;
    QCOMPARE(b.queue.current(), abort ? t2 : t1);
    QCOMPARE(t1->error(), abort ? Job::Aborted : Job::NoError);
    QCOMPARE(t2->isRunning(), abort);
}

void tst_WorkQueue::signalOrder_data()
{
    QTest::addColumn<bool>("autoAbort");
    QTest::addColumn<bool>("behindT0"); // T0 (priority 1) is running when T1 is queued
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("constJob");
    QTest::addColumn<QStringList>("expected");

    const QStringList attached = list({ "J1.resultChanged" });
    const QStringList queued = list({ "Q.queued(T1,2)" });
    const QStringList t1Starts
        = list({ "T1.stateChanged(Running)", "J1.stateChanged(Running)", "T1.started", "J1.started", "Q.started" });
    const auto ends = [](const QString &n, const QString &err) {
        return QStringList { QStringLiteral("T%1.stateChanged(Finished)").arg(n),
            QStringLiteral("J%1.stateChanged(Finished)").arg(n), QStringLiteral("T%1.finished(%2)").arg(n, err),
            QStringLiteral("J%1.finished(%2)").arg(n, err), QStringLiteral("Q.finished(%1)").arg(err) };
    };
    const QString one = QStringLiteral("1");
    const QString zero = QStringLiteral("0");

    QTest::newRow("idle, runs") << false << false << int(ManualTask::RunOnStart) << false
                                << attached + t1Starts + queued + ends(one, kNoError);
    QTest::newRow("idle, finishes in start") << false << false << int(ManualTask::FinishOnStart) << false
                                             << attached + t1Starts + ends(one, kNoError) + queued;
    QTest::newRow("idle, fails in start") << false << false << int(ManualTask::FailOnStart) << false
                                          << attached + t1Starts + ends(one, QStringLiteral("Failed")) + queued;
    QTest::newRow("idle, aborts itself") << false << false << int(ManualTask::AbortOnStart) << false
                                         << attached + t1Starts + ends(one, QStringLiteral("Aborted")) + queued;
    QTest::newRow("idle, const job") << false << false << int(ManualTask::RunOnStart) << true
                                     << list({ "T1.stateChanged(Running)", "T1.started", "Q.started", "Q.queued(T1,2)",
                                            "T1.stateChanged(Finished)", "T1.finished(NoError)",
                                            "Q.finished(NoError)" });
    QTest::newRow("aborts the running task")
        << true << true << int(ManualTask::RunOnStart) << false
        << attached + ends(zero, QStringLiteral("Aborted")) + t1Starts + queued + ends(one, kNoError);
    QTest::newRow("waits, then finishes in start")
        << false << true << int(ManualTask::FinishOnStart) << false
        << attached + queued + ends(zero, kNoError) + t1Starts + ends(one, kNoError);
}

// One list per scenario: queue T1 with priority 2, then finish whatever stays current.
void tst_WorkQueue::signalOrder()
{
    QFETCH(bool, autoAbort);
    QFETCH(bool, behindT0);
    QFETCH(int, mode);
    QFETCH(bool, constJob);
    QFETCH(QStringList, expected);

    Bench b(autoAbort);
    if (behindT0)
        QVERIFY(b.queue.enqueue(*b.job(0, ManualTask::RunOnStart, true), 1));
    b.log.take();

    PlainJob *j1 = b.job(1, ManualTask::StartMode(mode), true);
    QVERIFY(constJob ? b.queue.enqueue(qAsConst(*j1), 2) : b.queue.enqueue(*j1, 2));
    while (Task *task = b.queue.current())
        manual(task)->doSetState(Job::Finished);

    QCOMPARE(b.log.take(), expected);
    QCOMPARE(j1->task() == nullptr, constJob);
}

// A task that finishes inside start() is gone from the queue when queued() arrives, but the
// reference queued() carries is still the only thing keeping it: it is not yet scheduled for
// deletion until the signal has been delivered.
void tst_WorkQueue::queuedKeepsFinishedTaskAlive()
{
    Bench b;
    PlainJob *job = b.job(1, ManualTask::FinishOnStart);
    QPointer<Task> seen;
    bool aliveAfterFlush = false;
    connect(&b.queue, &WorkQueue::queued, this, [&](const WorkQueue::TaskPtr &task, uint) {
        seen = task.data();
        QVERIFY(task->isFinished());
        QVERIFY(b.queue.queue().isEmpty());
        QVERIFY(!b.queue.current());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        aliveAfterFlush = !seen.isNull();
    });

    QVERIFY(b.queue.enqueue(qAsConst(*job), 0));
    QVERIFY(aliveAfterFlush);
    QVERIFY(seen);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!seen);
}

void tst_WorkQueue::drainsRecursively()
{
    Bench b;
    b.worker.log = nullptr;
    ManualTask *t1 = b.add(1, 0);
    QVERIFY(b.add(2, 0, ManualTask::FinishOnStart));
    QVERIFY(b.add(3, 0, ManualTask::FailOnStart));
    QVERIFY(b.add(4, 0, ManualTask::FinishOnStart));
    b.log.take();

    // finished() comes while the task is still held and current.
    QStringList seen;
    connect(&b.queue, &WorkQueue::finished, this,
        [&] { seen << QStringLiteral("%1/%2").arg(b.queue.current()->objectName()).arg(b.queue.queue().size()); });

    t1->doSetState(Job::Finished);
    QCOMPARE(b.log.take(),
        (list({ "Q.finished(NoError)", "Q.started", "Q.finished(NoError)", "Q.started", "Q.finished(Failed)",
            "Q.started", "Q.finished(NoError)" })));
    QCOMPARE(seen, (list({ "T1/4", "T2/3", "T3/2", "T4/1" })));
    QVERIFY(b.queue.queue().isEmpty());
    QVERIFY(!b.queue.current());
}

// Thousands of tasks that finish inside start() behind one running task drain inside the call
// that finishes it, in key order, each started once. The chain is long enough that nesting one
// start() per task would overflow a default 8 MiB stack.
void tst_WorkQueue::longSynchronousChain()
{
    const int count = 20000;
    Bench b;
    b.worker.log = nullptr;
    ManualTask *t0 = b.add(0, 9);
    QList<ManualTask *> tasks;
    for (int i = 1; i <= count; ++i)
        tasks << b.add(i, uint(i % 3), i % 10 ? ManualTask::FinishOnStart : ManualTask::FailOnStart);

    // The expected run: T0's end, then each task's start and end, highest priority first.
    QList<ManualTask *> order = tasks;
    std::stable_sort(order.begin(), order.end(),
        [&](ManualTask *l, ManualTask *r) { return b.queue.priority(l) > b.queue.priority(r); });
    QStringList expected { QStringLiteral("F:T0") };
    for (ManualTask *task : qAsConst(order))
        expected << QLatin1String("S:") + task->objectName() << QLatin1String("F:") + task->objectName();

    QStringList log;
    int failures = 0;
    connect(&b.queue, &WorkQueue::started, this, [&] { log << QLatin1String("S:") + b.queue.current()->objectName(); });
    connect(&b.queue, &WorkQueue::finished, this, [&](Job::Error err) {
        log << QLatin1String("F:") + b.queue.current()->objectName();
        failures += err == Job::Failed;
    });

    t0->doSetState(Job::Finished);

    QCOMPARE(log, expected);
    QCOMPARE(failures, count / 10);
    QVERIFY(b.queue.queue().isEmpty());
    QVERIFY(std::all_of(tasks.cbegin(), tasks.cend(), [](ManualTask *t) { return t->startCalls == 1; }));
}

void tst_WorkQueue::abortedTasksLeaveTheQueue()
{
    Bench b;
    ManualTask *t1 = b.add(1, 0);
    ManualTask *t2 = b.add(2, 0);
    ManualTask *t3 = b.add(3, 0);
    b.log.take();

    // A waiting task that is aborted finishes from Ready and leaves; the current task runs on.
    b.jobs.at(1)->abort();
    QCOMPARE(b.log.take(), (list({ "T2.stateChanged(Finished)", "T2.finished(Aborted)", "Q.finished(Aborted)" })));
    QCOMPARE(b.queue.current(), t1);
    QCOMPARE(names(b.queue.queue()), QStringLiteral("T1,T3"));
    QCOMPARE(t2->startCalls, 0);

    // The running task aborting itself hands over to the next.
    b.jobs.at(0)->abort();
    QCOMPARE(b.log.take(),
        (list({ "T1.stateChanged(Finished)", "T1.finished(Aborted)", "Q.finished(Aborted)", "T3.stateChanged(Running)",
            "T3.started", "Q.started" })));
    QCOMPARE(b.queue.current(), t3);
}

void tst_WorkQueue::dequeue()
{
    Bench b;
    ManualTask *t1 = b.add(1, 0);
    ManualTask *t2 = b.add(2, 0);
    b.log.take();

    // The running job: the next task starts at once, the removed one runs on unwatched.
    QVERIFY(b.queue.dequeue(*b.jobs.at(0)));
    QCOMPARE(b.log.take(), (list({ "T2.stateChanged(Running)", "T2.started", "Q.started" })));
    QCOMPARE(b.queue.current(), t2);
    QCOMPARE(names(b.queue.queue()), QStringLiteral("T2"));
    QVERIFY(t1->isRunning());
    QCOMPARE(b.queue.priority(t1), 0u);
    t1->doSetState(Job::Finished);
    QCOMPARE(b.log.take(), (list({ "T1.stateChanged(Finished)", "T1.finished(NoError)" })));
    QCOMPARE(b.queue.current(), t2);

    // A waiting job: removed silently, never started, its end not reported.
    ManualTask *t3 = b.add(3, 7);
    b.log.take();
    QVERIFY(b.queue.dequeue(*b.jobs.at(2)));
    QVERIFY(b.log.take().isEmpty());
    QCOMPARE(names(b.queue.queue()), QStringLiteral("T2"));
    t3->abort();
    QCOMPARE(b.log.take(), (list({ "T3.stateChanged(Finished)", "T3.finished(Aborted)" })));

    // A job whose task is not held here (any more): warning, false, nothing changes.
    QTest::ignoreMessage(QtWarningMsg, "[WorkQueue]: internal error, can't find task");
    QVERIFY(!b.queue.dequeue(*b.jobs.at(0)));
    PlainJob stranger;
    stranger.attach(new ManualTask(stranger));
    QTest::ignoreMessage(QtWarningMsg, "[WorkQueue]: internal error, can't find task");
    QVERIFY(!b.queue.dequeue(stranger));

    // A job without a task: false, silently.
    PlainJob empty;
    QVERIFY(!b.queue.dequeue(empty));
    QVERIFY(b.log.take().isEmpty());
    QCOMPARE(b.queue.current(), t2);
    QCOMPARE(names(b.queue.queue()), QStringLiteral("T2"));
}

void tst_WorkQueue::setWorker_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("kept");

    QTest::newRow("same worker") << "same" << true;
    QTest::newRow("null to worker") << "fromNull" << true;
    QTest::newRow("to another worker") << "other" << false;
    QTest::newRow("to null") << "toNull" << false;
}

void tst_WorkQueue::setWorker()
{
    QFETCH(QString, change);
    QFETCH(bool, kept);

    ScriptedWorker other;
    Bench b;
    ManualTask *t1 = b.add(1, 0);
    ManualTask *t2 = b.add(2, 0);
    b.log.take();

    Worker *target = &b.worker;
    if (change == QLatin1String("fromNull"))
        privateOf(&b.queue)->worker = nullptr; // the only way to hold tasks without a worker
    else if (change == QLatin1String("other"))
        target = &other;
    else if (change == QLatin1String("toNull"))
        target = nullptr;
    b.queue.setWorker(target);

    QCOMPARE(b.queue.worker(), target);
    QVERIFY(b.log.take().isEmpty());
    QVERIFY(t1->isRunning());
    QCOMPARE(t1->error(), Job::NoError);
    QCOMPARE(names(b.queue.queue()), kept ? QStringLiteral("T1,T2") : QString());
    QCOMPARE(b.queue.current(), kept ? t1 : nullptr);

    t1->doSetState(Job::Finished);
    QStringList expected = list({ "T1.stateChanged(Finished)", "T1.finished(NoError)" });
    if (kept)
        expected += list({ "Q.finished(NoError)", "T2.stateChanged(Running)", "T2.started", "Q.started" });
    QCOMPARE(b.log.take(), expected);

    t2->abort();
    expected = list({ "T2.stateChanged(Finished)", "T2.finished(Aborted)" });
    if (kept)
        expected << QStringLiteral("Q.finished(Aborted)");
    QCOMPARE(b.log.take(), expected);
    QVERIFY(b.queue.queue().isEmpty());
}

void tst_WorkQueue::enqueueTakesWhatTheWorkerGives()
{
    Bench b;
    PlainJob *job = b.job(1, ManualTask::RunOnStart, true);

    // No task from the worker and none on the job: nothing is queued.
    b.worker.produce = false;
    QVERIFY(!b.queue.enqueue(*job, 1));
    QVERIFY(!b.queue.enqueue(qAsConst(*job), 1));

    // No worker: nothing is queued either.
    b.worker.produce = true;
    b.queue.setWorker(nullptr);
    QVERIFY(!b.queue.enqueue(*job, 1));
    QVERIFY(!b.queue.enqueue(qAsConst(*job), 1));
    QVERIFY(!job->task());
    QVERIFY(b.log.take().isEmpty());
    b.queue.setWorker(&b.worker);

    // The worker makes nothing, but the job holds an earlier task: that one is queued.
    auto *earlier = new ManualTask(*job);
    earlier->setObjectName(QStringLiteral("T9"));
    b.log.watchTask(earlier, QStringLiteral("T9"));
    job->attach(earlier);
    b.log.take();
    b.worker.produce = false;
    QVERIFY(b.queue.enqueue(*job, 3));
    QCOMPARE(b.log.take(),
        (list({ "T9.stateChanged(Running)", "J1.stateChanged(Running)", "T9.started", "J1.started", "Q.started",
            "Q.queued(T9,3)" })));
    QCOMPARE(b.queue.current(), earlier);

    // enqueue(const Job&) queues a fresh task and leaves the job alone.
    b.worker.produce = true;
    QVERIFY(b.queue.enqueue(qAsConst(*job), 4));
    QCOMPARE(b.log.take(), list({ "Q.queued(T1,4)" }));
    QCOMPARE(job->task(), earlier);
    QCOMPARE(names(b.queue.queue()), QStringLiteral("T1,T9"));

    // A task that already runs is adopted as current without a second start().
    Bench idle;
    PlainJob *job5 = idle.job(5);
    auto *running = new ManualTask(*job5);
    running->setObjectName(QStringLiteral("T5"));
    job5->attach(running);
    running->start();
    idle.worker.produce = false;
    QVERIFY(idle.queue.enqueue(*job5, 0));
    QCOMPARE(idle.log.take(), list({ "Q.queued(T5,0)" }));
    QCOMPARE(idle.queue.current(), running);
    QCOMPARE(running->startCalls, 1);
    running->doSetState(Job::Finished);
    QCOMPARE(idle.log.take(), list({ "Q.finished(NoError)" }));
}

void tst_WorkQueue::strayFinishes()
{
    Bench b;
    ManualTask *t1 = b.add(1, 0);
    ManualTask *t2 = b.add(2, 0);
    b.log.take();

    // A call without a sender is ignored.
    QVERIFY(
        QMetaObject::invokeMethod(&b.queue, "onTaskFinished", Qt::DirectConnection, Q_ARG(Job::Error, Job::Failed)));
    QVERIFY(b.log.take().isEmpty());
    QCOMPARE(b.queue.current(), t1);
    QCOMPARE(b.queue.queue().size(), 2);

    // clearQueue() keeps the connections; a finish while the queue is empty is ignored.
    privateOf(&b.queue)->clearQueue();
    QVERIFY(!b.queue.current());
    t1->doSetState(Job::Finished);
    QCOMPARE(b.log.take(), (list({ "T1.stateChanged(Finished)", "T1.finished(NoError)" })));

    // While other tasks are held, the stray finish is reported, then found missing.
    ManualTask *t3 = b.add(3, 0);
    b.log.take();
    QTest::ignoreMessage(QtWarningMsg, "[WorkQueue]: internal error, can't find task");
    t2->abort();
    QCOMPARE(b.log.take(), (list({ "T2.stateChanged(Finished)", "T2.finished(Aborted)", "Q.finished(Aborted)" })));
    QCOMPARE(b.queue.current(), t3);
    QCOMPARE(b.queue.priority(t2), 0u);
}

void tst_WorkQueue::sequencesKeepCounting()
{
    ScriptedWorker worker;
    ScriptedWorker other;
    SignalLog log;
    RecordingQueue queue(&worker, &log);
    PlainJob job;
    job.setObjectName(QStringLiteral("J1"));
    QCOMPARE(queue.d()->counter, 0u);

    QVERIFY(queue.enqueue(qAsConst(job), 0));
    QVERIFY(queue.enqueue(qAsConst(job), 0));
    QCOMPARE(keys(&queue), QStringLiteral("(0,1) (0,2)"));

    queue.d()->clearQueue();
    QVERIFY(queue.queue().isEmpty());
    QVERIFY(!queue.current());
    QCOMPARE(queue.d()->counter, 2u);
    QVERIFY(queue.enqueue(qAsConst(job), 4));
    QCOMPARE(keys(&queue), QStringLiteral("(4,3)"));

    queue.setWorker(&other);
    QVERIFY(queue.queue().isEmpty());
    QVERIFY(queue.enqueue(qAsConst(job), 0));
    QCOMPARE(keys(&queue), QStringLiteral("(0,4)"));
    QCOMPARE(queue.d()->counter, 4u);
}

void tst_WorkQueue::privateOverrides()
{
    ScriptedWorker worker;
    SignalLog log;
    RecordingQueue queue(&worker, &log);
    worker.log = &log;
    log.watchQueue(&queue, QStringLiteral("Q"));
    PlainJob j1, j2, j3;
    j1.setObjectName(QStringLiteral("J1"));
    j2.setObjectName(QStringLiteral("J2"));
    j3.setObjectName(QStringLiteral("J3"));

    QVERIFY(queue.enqueue(j1, 1));
    QCOMPARE(log.take(),
        (list({ "d.enqueue(T1,1)", "T1.stateChanged(Running)", "T1.started", "Q.started", "d.enqueue done",
            "Q.queued(T1,1)" })));
    QVERIFY(queue.enqueue(qAsConst(j2), 2));
    QCOMPARE(log.take(), (list({ "d.enqueue(T2,2)", "d.enqueue done", "Q.queued(T2,2)" })));

    manual(j1.task())->doSetState(Job::Finished);
    QCOMPARE(log.take(),
        (list({ "T1.stateChanged(Finished)", "T1.finished(NoError)", "Q.finished(NoError)", "d.dequeue(T1)",
            "T2.stateChanged(Running)", "T2.started", "Q.started", "d.dequeue done" })));

    QVERIFY(queue.enqueue(j3, 0));
    log.take();
    queue.d()->pinned = QStringLiteral("T3");
    QVERIFY(!queue.dequeue(j3));
    QCOMPARE(log.take(), (list({ "d.dequeue(T3)", "d.dequeue refused" })));
    QCOMPARE(names(queue.queue()), QStringLiteral("T2,T3"));
    queue.d()->pinned.clear();
    QVERIFY(queue.dequeue(j3));
    QCOMPARE(log.take(), (list({ "d.dequeue(T3)", "d.dequeue done" })));

    Task *t2 = queue.current();
    t2->abort();
    QCOMPARE(log.take(),
        (list({ "T2.stateChanged(Finished)", "T2.finished(Aborted)", "Q.finished(Aborted)", "d.dequeue(T2)",
            "d.dequeue done" })));
    QVERIFY(queue.queue().isEmpty());
}

void tst_WorkQueue::finishFromEventLoop()
{
    const int count = 40;
    Bench b;
    b.worker.log = nullptr;
    b.worker.make
        = [](const Job &job) { return new TrackedTask(job, TrackedTask::Mode(job.property("tracked").toInt())); };
    QStringList ended;
    connect(&b.queue, &WorkQueue::finished, this, [&](Job::Error err) {
        ended << b.queue.current()->objectName() + (err == Job::Failed ? QStringLiteral("!") : QString());
    });

    QList<int> order;
    for (int i = 0; i < count; ++i) {
        PlainJob *job = b.job(i);
        job->setProperty("tracked", int(i % 7 == 3 ? TrackedTask::LaterFail : TrackedTask::Later));
        QVERIFY(b.queue.enqueue(*job, uint(i % 4)));
        order << i;
    }
    QVERIFY(b.queue.current()->isRunning());
    QVERIFY(ended.isEmpty());

    // T0 started at once; the rest run by priority, first in first out within one.
    std::stable_sort(order.begin() + 1, order.end(), [](int l, int r) { return l % 4 > r % 4; });
    QStringList expected;
    for (int i : qAsConst(order))
        expected << QStringLiteral("T%1").arg(i) + (i % 7 == 3 ? QStringLiteral("!") : QString());

    QTRY_COMPARE(ended.size(), count);
    QCOMPARE(ended, expected);
    QVERIFY(b.queue.queue().isEmpty());
    QVERIFY(!b.queue.current());
}

void tst_WorkQueue::finishOnWorkerThreads()
{
    // finished(Job::Error) crosses threads with no registration by the application: the
    // library's meta-object code registers the type the first time a queued call needs it.

    const int count = 60;
    QThread threads[2];
    const auto stop = [&threads] {
        for (QThread &thread : threads) {
            thread.quit();
            thread.wait();
        }
    };
    const auto stopOnExit = qScopeGuard(stop); // also when a check below gives up early
    for (QThread &thread : threads)
        thread.start();

    {
        Bench b;
        b.worker.log = nullptr;
        int made = 0;
        b.worker.make = [&](const Job &job) {
            auto *task = new ThreadTask(job);
            task->setObjectName(QStringLiteral("T%1").arg(made));
            task->moveToThread(&threads[made++ % 2]);
            ThreadTask::alive.ref();
            return task;
        };
        QStringList ended;
        int starts = 0;
        connect(&b.queue, &WorkQueue::started, this, [&] { ++starts; });
        connect(&b.queue, &WorkQueue::finished, this, [&](Job::Error err) {
            QCOMPARE(err, Job::NoError);
            ended << b.queue.current()->objectName();
        });

        PlainJob *job = b.job(0);
        for (int i = 0; i < count; ++i)
            QVERIFY(b.queue.enqueue(qAsConst(*job), uint(i % 2)));

        QStringList expected { QStringLiteral("T0") };
        for (int i = 1; i < count; i += 2)
            expected << QStringLiteral("T%1").arg(i);
        for (int i = 2; i < count; i += 2)
            expected << QStringLiteral("T%1").arg(i);

        QTRY_COMPARE(ended.size(), count);
        QCOMPARE(ended, expected);
        QTRY_COMPARE(starts, count);
        QVERIFY(b.queue.queue().isEmpty());
    }

    // The last references went on this thread; each task is deleted by its own thread.
    stop();
    QVERIFY(threads[0].isFinished() && threads[1].isFinished());
    QCOMPARE(ThreadTask::offThread.loadRelaxed(), 0);
    QCOMPARE(ThreadTask::alive.loadRelaxed(), 0);
}

// Jobs of every kind, thousands of them: each task is destroyed exactly once after the event
// loop has run, never while the queue holds it, and tasks still held by their jobs stay alive.
void tst_WorkQueue::everyTaskIsDestroyedOnce()
{
    const int count = 4000;
    TrackedTask::created = 0;
    TrackedTask::destroyedTwice = 0;
    TrackedTask::destroyedWhileHeld = 0;

    {
        Bench b(true);
        b.worker.log = nullptr;
        b.worker.make
            = [](const Job &job) { return new TrackedTask(job, TrackedTask::Mode(job.property("tracked").toInt())); };
        TrackedTask::watchedQueue = &b.queue;
        PlainJob *shared = b.job(-1);
        shared->setProperty("tracked", int(TrackedTask::Finish));

        uint rising = 10;
        for (int i = 0; i < count; ++i) {
            switch (i % 6) {
            case 0: // finishes in start, held by nobody but the queue
                QVERIFY(b.queue.enqueue(qAsConst(*shared), 1));
                break;
            case 1: // finishes later from the event loop
            case 2: {
                PlainJob *job = b.job(i);
                job->setProperty("tracked", int(i % 6 == 1 ? TrackedTask::Later : TrackedTask::LaterFail));
                QVERIFY(b.queue.enqueue(*job, 1));
                break;
            }
            case 3: // runs until dequeued (running or waiting), then runs on unwatched
            case 4: {
                PlainJob *job = b.job(i);
                job->setProperty("tracked", int(TrackedTask::Hold));
                QVERIFY(b.queue.enqueue(*job, 1));
                if (i % 6 == 3)
                    QVERIFY(b.queue.dequeue(*job));
                break;
            }
            case 5: { // a const job of rising priority: aborts whatever runs
                PlainJob *job = b.job(i);
                job->setProperty("tracked", int(TrackedTask::Hold));
                QVERIFY(b.queue.enqueue(qAsConst(*job), rising++));
                break;
            }
            }
            if (i % 97 == 0)
                QCoreApplication::processEvents();
        }

        // Drain: abort held tasks as they come up, let the event loop finish the others.
        for (int spins = 0; spins < 100 * count && b.queue.current(); ++spins) {
            Task *current = b.queue.current();
            if (static_cast<TrackedTask *>(current)->mode == TrackedTask::Hold)
                current->abort();
            else
                QCoreApplication::processEvents();
        }
        QVERIFY(b.queue.queue().isEmpty());

        // Only the tasks that jobs still hold stay alive: one per job queued as Job&.
        const int heldByJobs = int(std::count_if(
            b.jobs.cbegin(), b.jobs.cend(), [](const std::unique_ptr<PlainJob> &job) { return job->task(); }));
        QCOMPARE(heldByJobs, count / 6 * 4 + 3);
        for (int i = 0; i < 100 && TrackedTask::live.size() > heldByJobs; ++i) {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            QCoreApplication::processEvents();
        }
        QCOMPARE(TrackedTask::live.size(), heldByJobs);
        for (const std::unique_ptr<PlainJob> &job : b.jobs) {
            if (job->task())
                QVERIFY(TrackedTask::live.contains(static_cast<TrackedTask *>(job->task())));
        }
        TrackedTask::watchedQueue = nullptr;
    }

    for (int i = 0; i < 100 && !TrackedTask::live.isEmpty(); ++i) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    }
    QCOMPARE(TrackedTask::live.size(), 0);
    QVERIFY(TrackedTask::created >= count);
    QCOMPARE(TrackedTask::destroyedTwice, 0);
    QCOMPARE(TrackedTask::destroyedWhileHeld, 0);
}

QTEST_GUILESS_MAIN(tst_WorkQueue)
#include "tst_workqueue.moc"
