// PoolTask: a function on a thread pool, its task finishing on the task's own thread. CI runs
// this suite again under ThreadSanitizer: abort, deletion and the function's end race here.

#include "Latch.h"
#include "TestSupport.h"

#include <ErrandFuture.h>
#include <ObjectWorker.h>
#include <PoolTask.h>
#include <WorkerRegistry.h>

#include <QtTest/QtTest>

#include <atomic>
#include <stdexcept>
#include <thread>

using namespace TestSupport;

namespace {

class ImageJob : public Job
{
    Q_OBJECT
    Q_PROPERTY(int size MEMBER size)
public:
    int size = 0;
};

// How the function ends.
enum Ending { Returns, Fails, FailsThenThrows, FailsTwice, Throws, ThrowsOther };

// Lets a pool thread run the function; finishes whatever is still queued when it goes.
struct Pool : QThreadPool
{
    explicit Pool(int threads = 2) { setMaxThreadCount(threads); }
    ~Pool() override { waitForDone(); }
    // Keeps the pool's only thread until open().
    Latch *block()
    {
        auto *latch = new Latch;
        start(QRunnable::create([latch] {
            latch->wait();
            delete latch;
        }));
        return latch;
    }
};

// Everything a function saw, written from the pool thread.
struct Seen
{
    std::atomic<int> calls { 0 };
    std::atomic<bool> cancelled { false };
    std::atomic<bool> onPoolThread { true };
    Latch entered;
    Latch proceed;
};

// A function that tells @p seen it runs, waits until told to go on (when @p wait), notes whether
// it was cancelled, and returns @p value.
PoolTask::Work waitingWork(Seen &seen, int value, bool wait = true)
{
    QThread *test = QThread::currentThread();
    return [&seen, value, wait, test](PoolTask::Context &context) -> QVariant {
        ++seen.calls;
        seen.onPoolThread = QThread::currentThread() != test;
        seen.entered.open();
        if (wait)
            seen.proceed.wait();
        seen.cancelled = context.isCancelled();
        return value;
    };
}

// Makes whatever task the test wants next.
struct FactoryWorker : Worker
{
    QObject *object() override { return nullptr; }
    Task *createTask(const Job &job) override { return make(job); }
    std::function<Task *(const Job &)> make;
};

} // namespace

class tst_PoolTask : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void cleanup() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    void endings_data();
    void endings();
    void stopped_data();
    void stopped();
    void deletedWhileRunning();
    void resetThenRestarted();
    void hostileHandlers_data();
    void hostileHandlers();
    void badInput();
    void factory();
    void racingEnds();
};

void tst_PoolTask::endings_data()
{
    QTest::addColumn<int>("ending");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("text");
    QTest::newRow("returns") << int(Returns) << int(Job::NoError) << QString();
    QTest::newRow("fails") << int(Fails) << int(Job::Failed) << QStringLiteral("disk full");
    QTest::newRow("fails, then throws") << int(FailsThenThrows) << int(Job::Failed) << QStringLiteral("disk full");
    QTest::newRow("fails twice") << int(FailsTwice) << int(Job::Failed) << QStringLiteral("disk full");
    QTest::newRow("throws std::exception") << int(Throws) << int(Job::Failed) << QStringLiteral("bad size");
    QTest::newRow("throws another type") << int(ThrowsOther) << int(Job::Failed)
                                         << QStringLiteral("unknown exception");
}

// What the function returns is the result; a failure or an exception is the error; the task
// finishes on its own thread, with the job's signals in the usual order.
void tst_PoolTask::endings()
{
    QFETCH(int, ending);
    QFETCH(int, error);
    QFETCH(QString, text);
    Pool pool;
    ImageJob job;
    job.size = 7;
    QThread *test = QThread::currentThread();
    std::atomic<bool> onPoolThread { false };
    job.attach(new PoolTask(job, [=, &onPoolThread, size = job.size](PoolTask::Context &context) -> QVariant {
        onPoolThread = QThread::currentThread() != test;
        if (ending == Fails || ending == FailsThenThrows || ending == FailsTwice)
            context.fail(QStringLiteral("disk full"));
        if (ending == FailsTwice)
            context.fail(QStringLiteral("and more"));
        if (ending == Throws || ending == FailsThenThrows)
            throw std::invalid_argument("bad size");
        if (ending == ThrowsOther)
            throw 42;
        return size * 6;
    }, &pool));
    SignalLog log;
    log.watchJob(&job, QStringLiteral("job"));
    QThread *finishedOn = nullptr;
    connect(&job, &Job::finished, this, [&] { finishedOn = QThread::currentThread(); });
    job.task()->start();
    QVERIFY(Errand::waitForFinished(job));
    QVERIFY(onPoolThread);
    QCOMPARE(finishedOn, test);
    QCOMPARE(int(job.error()), error);
    QCOMPARE(job.errorString(), text);
    QCOMPARE(job.result(), error == Job::NoError ? QVariant(42) : QVariant());
    QStringList expected { QStringLiteral("job.stateChanged(Running)"), QStringLiteral("job.started") };
    if (error == Job::NoError)
        expected << QStringLiteral("job.resultChanged");
    expected << QStringLiteral("job.stateChanged(Finished)")
             << QStringLiteral("job.finished(%1)").arg(Job::toString(Job::Error(error)));
    QCOMPARE(log.take(), expected);
}

void tst_PoolTask::stopped_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("running"); // the function has started, or waits behind another
    for (const char *how : { "abort", "job abort", "higher priority", "pool cleared" }) {
        for (bool running : { false, true }) {
            if (running && qstrcmp(how, "pool cleared") == 0)
                continue; // clear() only takes what has not started
            QTest::addRow("%s, %s", how, running ? "running" : "waiting") << QString::fromLatin1(how) << running;
        }
    }
}

// Stopping a run finishes the task as Aborted at once (a cleared pool through the event loop),
// cancels the function or keeps it from ever starting, and drops what it returns.
void tst_PoolTask::stopped()
{
    QFETCH(QString, how);
    QFETCH(bool, running);
    Pool pool(1);
    Latch *blocker = running ? nullptr : pool.block();
    Seen seen;
    FactoryWorker worker;
    worker.make = [&](const Job &job) -> Task * { return new PoolTask(job, waitingWork(seen, 1), &pool); };
    WorkQueue queue(&worker, true);
    ImageJob job;
    QVERIFY(queue.enqueue(job, 1));
    if (running)
        seen.entered.wait();
    SignalLog log;
    log.watchJob(&job, QStringLiteral("job"));

    PlainJob urgent;
    if (how == QLatin1String("abort")) {
        job.task()->abort();
    } else if (how == QLatin1String("job abort")) {
        job.abort();
    } else if (how == QLatin1String("higher priority")) {
        worker.make = [](const Job &job) -> Task * { return new ManualTask(job, ManualTask::FinishOnStart); };
        QVERIFY(queue.enqueue(urgent, 9));
    } else {
        pool.clear();
        QVERIFY(job.isRunning()); // reported through the task's event loop
        QVERIFY(Errand::waitForFinished(job));
    }
    QCOMPARE(job.error(), Job::Aborted);
    QCOMPARE(log.take(), QStringList({ QStringLiteral("job.stateChanged(Finished)"), QStringLiteral("job.finished(Aborted)") }));

    seen.proceed.open();
    if (blocker)
        blocker->open();
    pool.waitForDone();
    QCoreApplication::sendPostedEvents();
    QCOMPARE(seen.calls.load(), running ? 1 : 0);
    QCOMPARE(seen.cancelled.load(), running);
    QCOMPARE(job.result(), QVariant()); // what the function returned was dropped
    QCOMPARE(log.take(), QStringList());
}

// The task may go while its function runs: the function sees the cancel flag, and its end
// reaches nothing (AddressSanitizer watches).
void tst_PoolTask::deletedWhileRunning()
{
    Pool pool;
    Seen seen;
    PlainJob job;
    QPointer<PoolTask> task = new PoolTask(job, waitingWork(seen, 1), &pool);
    task->start();
    seen.entered.wait();
    delete task;
    seen.proceed.open();
    pool.waitForDone();
    QCoreApplication::sendPostedEvents();
    QVERIFY(seen.cancelled);
}

// A running task reset to Ready and started again runs a new function; the first one's end is
// dropped, and starting again cancelled it.
void tst_PoolTask::resetThenRestarted()
{
    Pool pool;
    Seen first;
    std::atomic<int> runs { 0 };
    PlainJob job;
    auto *task = new PoolTask(job, [&](PoolTask::Context &context) -> QVariant {
        if (++runs > 1)
            return 2;
        return waitingWork(first, 1)(context);
    }, &pool);
    job.attach(task);
    task->start();
    first.entered.wait();
    QVERIFY(task->setProperty("state", QVariant::fromValue(Job::Ready)));
    task->start();
    QVERIFY(Errand::waitForFinished(job));
    QCOMPARE(job.result(), QVariant(2));
    first.proceed.open();
    pool.waitForDone();
    QCoreApplication::sendPostedEvents();
    QVERIFY(first.cancelled);
    QCOMPARE(job.result(), QVariant(2));
    QCOMPARE(job.error(), Job::NoError);
    QCOMPARE(runs.load(), 2);
}

void tst_PoolTask::hostileHandlers_data()
{
    QTest::addColumn<QString>("signal");
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("calls"); // how often the function runs
    QTest::addColumn<int>("error");
    QTest::newRow("started: abort") << "started" << "abort" << 0 << int(Job::Aborted);
    QTest::newRow("started: delete the job") << "started" << "delete" << 1 << int(Job::NoError);
    QTest::newRow("result: abort") << "resultChanged" << "abort" << 1 << int(Job::Aborted);
    QTest::newRow("result: delete the job") << "resultChanged" << "delete" << 1 << int(Job::NoError);
    QTest::newRow("finished: start again") << "finished" << "start" << 2 << int(Job::NoError);
}

// Handlers of the task's signals that abort it, drop its last reference or start it again.
void tst_PoolTask::hostileHandlers()
{
    QFETCH(QString, signal);
    QFETCH(QString, action);
    QFETCH(int, calls);
    QFETCH(int, error);
    Pool pool;
    Seen seen;
    auto *job = new PlainJob;
    auto *task = new PoolTask(*job, waitingWork(seen, 5, false), &pool);
    const WorkQueue::TaskPtr keep(task);
    job->attach(task);
    bool acted = false;
    const auto act = [&] {
        if (std::exchange(acted, true))
            return;
        if (action == QLatin1String("abort"))
            task->abort();
        else if (action == QLatin1String("delete"))
            delete job;
        else
            task->start();
    };
    const QMetaObject::Connection hook = signal == QLatin1String("started") ? connect(task, &Task::started, this, act)
        : signal == QLatin1String("finished") ? connect(task, &Task::finished, this, act)
                                              : connect(task, &Task::resultChanged, this, act);
    task->start();
    QVERIFY(Errand::waitForFinished(keep));
    if (action == QLatin1String("start"))
        QVERIFY(Errand::waitForFinished(keep));
    pool.waitForDone();
    QCoreApplication::sendPostedEvents();
    disconnect(hook);
    QCOMPARE(seen.calls.load(), calls);
    QCOMPARE(int(task->error()), error);
    if (action != QLatin1String("delete"))
        delete job;
}

void tst_PoolTask::badInput()
{
    PlainJob job;
    // No function: the task fails when started, without running.
    job.attach(new PoolTask(job, PoolTask::Work()));
    SignalLog log;
    log.watchJob(&job, QStringLiteral("job"));
    QTest::ignoreMessage(QtWarningMsg, "[PoolTask]: no work to run");
    job.task()->start();
    QCOMPARE(job.errorString(), QStringLiteral("no work to run"));
    QCOMPARE(log.take(), QStringList({ QStringLiteral("job.stateChanged(Finished)"), QStringLiteral("job.finished(Failed)") }));

    // A pool deleted before the task starts.
    Seen seen;
    auto *pool = new Pool;
    job.attach(new PoolTask(job, waitingWork(seen, 1, false), pool));
    delete pool;
    QTest::ignoreMessage(QtWarningMsg, "[PoolTask]: no thread pool");
    job.task()->start();
    QCOMPARE(job.error(), Job::Failed);
    QCOMPARE(job.errorString(), QStringLiteral("no thread pool"));
    QCOMPARE(seen.calls.load(), 0);

    // Without a pool given, the global one runs the function.
    job.attach(new PoolTask(job, waitingWork(seen, 3, false)));
    job.task()->start();
    QVERIFY(Errand::waitForFinished(job));
    QCOMPARE(job.result(), QVariant(3));
    QVERIFY(seen.onPoolThread);
}

// The factory's callable runs where the registry calls factories, and what it captures from
// the job is all the function sees; a job of another class gets no task.
void tst_PoolTask::factory()
{
    Pool pool;
    std::atomic<QThread *> calledOn { nullptr };
    const QString worker = QStringLiteral("QTimer");
    QVERIFY(WorkerRegistry::instance()->registerTask(worker, ImageJob().name(),
        Errand::makePoolTaskFactory<ImageJob>([&calledOn](const ImageJob &job) {
            calledOn = QThread::currentThread();
            return [size = job.size](PoolTask::Context &) -> QVariant { return size * size; };
        }, &pool)));
    PlainJob other;
    QVERIFY(WorkerRegistry::instance()->registerTask(worker, other.name(),
        Errand::makePoolTaskFactory<ImageJob>([](const ImageJob &) { return PoolTask::Work(); })));
    QTimer object;
    ObjectWorker queue(&object);
    ImageJob job;
    job.size = 12;
    QVERIFY(queue.enqueue(job));
    job.size = 0; // captured already
    QVERIFY(Errand::waitForFinished(job));
    QCOMPARE(job.result(), QVariant(144));
    QCOMPARE(calledOn.load(), QThread::currentThread());

    std::thread([&] { delete queue.createTask(job); }).join();
    QVERIFY(calledOn.load() != QThread::currentThread());

    QTest::ignoreMessage(QtWarningMsg, "[Worker]: \"QTimer\" has no registered tasks for \"TestSupport::PlainJob\"");
    QVERIFY(!queue.enqueue(other));
    QVERIFY(WorkerRegistry::instance()->unregisterWorker(worker));
}

// Hundreds of runs whose ends race their abort or their task's deletion, on a pool of several
// threads, with the results checked once everything has settled.
void tst_PoolTask::racingEnds()
{
    Pool pool(4);
    constexpr int Count = 300;
    std::vector<std::unique_ptr<PlainJob>> jobs;
    std::vector<QPointer<PoolTask>> loose; // not attached: deleted while running
    for (int i = 0; i < Count; ++i) {
        auto *job = new PlainJob;
        jobs.emplace_back(job);
        auto *task = new PoolTask(*job, [i](PoolTask::Context &context) -> QVariant {
            for (int spin = 0; spin < (i % 7) * 50 && !context.isCancelled(); ++spin)
                QThread::yieldCurrentThread();
            if (i % 5 == 1)
                context.fail(QStringLiteral("failed"));
            return i;
        }, &pool);
        if (i % 5 == 4)
            loose.emplace_back(task);
        else
            job->attach(task);
        task->start();
        if (i % 5 == 2)
            QCoreApplication::processEvents(); // let some of the earlier ones finish first
        if (i % 5 == 3)
            task->abort();
        if (i % 5 == 4 && i % 2)
            delete task;
    }
    for (const QPointer<PoolTask> &task : loose)
        delete task;
    pool.waitForDone();
    QCoreApplication::sendPostedEvents();
    for (int i = 0; i < Count; ++i) {
        if (i % 5 == 4)
            continue;
        const Job &job = *jobs[i];
        QVERIFY(job.state() == Job::Finished);
        QCOMPARE(job.error(), i % 5 == 3 ? Job::Aborted : i % 5 == 1 ? Job::Failed : Job::NoError);
        QCOMPARE(job.result(), i % 5 == 0 || i % 5 == 2 ? QVariant(i) : QVariant());
    }
}

QTEST_GUILESS_MAIN(tst_PoolTask)
#include "tst_pooltask.moc"
