// Work on thread pools (PoolTask) and the ways to wait for a task's end: Errand::toFuture(),
// Errand::waitForFinished() and, when this suite is built as C++20, co_await (also inside QCoro's
// coroutines when QCoro is installed). CI runs it again under ThreadSanitizer: aborts, deletions
// and the ends of functions race here.

#include "TestSupport.h"

#include <ErrandFuture.h>
#include <PoolTask.h>
#include <WorkerRegistry.h>
#ifdef __cpp_impl_coroutine
#include <ErrandCoro.h>
#endif
#ifdef ERRAND_WITH_QCORO
#include <QCoro/QCoroTask>
#endif

#include <QtTest/QtTest>

#include <future>
#include <stdexcept>
#include <thread>

using namespace TestSupport;

namespace {

class ImageJob : public Job
{
    Q_OBJECT
public:
    int size = 0;
};

struct Pool : QThreadPool
{
    explicit Pool(int threads = 2) { setMaxThreadCount(threads); }
    ~Pool() override { waitForDone(); }
};

// A function that says when it runs, waits until told to go on, notes whether it was cancelled
// and returns @p value. Standard futures, which ThreadSanitizer sees, hand over between threads.
struct Gate
{
    std::promise<void> entered, proceed;
    std::shared_future<void> go = proceed.get_future().share();
    std::atomic<int> calls { 0 };
    std::atomic<bool> cancelled { false };
    PoolTask::Work work(int value)
    {
        return [this, value](PoolTask::Context &context) -> QVariant {
            if (calls++ == 0)
                entered.set_value();
            go.wait();
            cancelled = context.isCancelled();
            return value;
        };
    }
};

// Makes whatever task the test wants next.
struct FactoryWorker : Worker
{
    QObject *object() override { return nullptr; }
    Task *createTask(const Job &job) override { return make(job); }
    std::function<Task *(const Job &)> make;
};

const QStringList finishedAs(Job::Error error)
{
    return { QStringLiteral("job.stateChanged(Finished)"), QStringLiteral("job.finished(%1)").arg(Job::toString(error)) };
}

enum End { Succeeds, Fails, Aborts, Deleted, EndedBefore };

#ifdef __cpp_impl_coroutine
// The smallest coroutine type, no library needed: it starts at once and stays after its end
// until its owner goes, which may also be while it is suspended.
struct Coroutine
{
    struct promise_type
    {
        Coroutine get_return_object() { return { std::coroutine_handle<promise_type>::from_promise(*this) }; }
        std::suspend_never initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_void() { }
        void unhandled_exception() { std::terminate(); }
    };
    std::coroutine_handle<promise_type> handle;
    ~Coroutine() { handle.destroy(); }
};

struct Awaited
{
    Errand::Outcome outcome;
    int resumes = 0;
    QThread *resumedOn = nullptr;
};

template<class Awaitable>
Coroutine await(const Awaitable &awaitable, Awaited &awaited)
{
    awaited.outcome = co_await awaitable;
    ++awaited.resumes;
    awaited.resumedOn = QThread::currentThread();
}
#endif

} // namespace

class tst_Async : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { m_thread.start(); }
    void cleanupTestCase()
    {
        m_thread.quit();
        m_thread.wait();
    }
    void cleanup() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    void poolEndings_data();
    void poolEndings();
    void poolStopped_data();
    void poolStopped();
    void poolHostileHandlers_data();
    void poolHostileHandlers();
    void poolBadInput();
    void poolFactory();
    void poolRacingEnds();
    void ends_data();
    void ends();
    void futureCancel_data();
    void futureCancel();
    void noTaskAndTimeouts();
    void awaitRacesEnd();
    void qcoroAndContinuations();

private:
    QThread m_thread;
};

void tst_Async::poolEndings_data()
{
    QTest::addColumn<QString>("ending");
    QTest::addColumn<QString>("text"); // the error text; none when it succeeds
    QTest::newRow("returns") << "return" << QString();
    QTest::newRow("fails") << "fail" << "disk full";
    QTest::newRow("fails twice: the first counts") << "fail, fail" << "disk full";
    QTest::newRow("fails, then throws: the failure counts") << "fail, throw" << "disk full";
    QTest::newRow("throws std::exception") << "throw" << "bad size";
    QTest::newRow("throws something else") << "throw 42" << "unknown exception";
}

// The function runs on a pool thread; what it returns is the result, a failure or an exception
// the error; the task finishes on its own thread, the job's signals in the usual order.
void tst_Async::poolEndings()
{
    QFETCH(QString, ending);
    QFETCH(QString, text);
    Pool pool;
    ImageJob job;
    job.size = 7;
    QThread *test = QThread::currentThread();
    std::atomic<bool> onPool { false };
    job.attach(new PoolTask(job, [=, &onPool, size = job.size](PoolTask::Context &context) -> QVariant {
        onPool = QThread::currentThread() != test;
        if (ending.startsWith(QLatin1String("fail")))
            context.fail(QStringLiteral("disk full"));
        if (ending.endsWith(QLatin1String("fail")))
            context.fail(QStringLiteral("and more"));
        if (ending.endsWith(QLatin1String("throw")))
            throw std::invalid_argument("bad size");
        if (ending == QLatin1String("throw 42"))
            throw 42;
        return size * 6;
    }, &pool));
    SignalLog log;
    log.watchJob(&job, QStringLiteral("job"));
    QThread *finishedOn = nullptr;
    connect(&job, &Job::finished, this, [&] { finishedOn = QThread::currentThread(); });
    job.task()->start();
    QVERIFY(Errand::waitForFinished(job));
    QVERIFY(onPool);
    QCOMPARE(finishedOn, test);
    QCOMPARE(job.errorString(), text);
    QCOMPARE(job.result(), text.isNull() ? QVariant(42) : QVariant());
    QStringList expected { QStringLiteral("job.stateChanged(Running)"), QStringLiteral("job.started") };
    if (text.isNull())
        expected << QStringLiteral("job.resultChanged");
    QCOMPARE(log.take(), expected + finishedAs(text.isNull() ? Job::NoError : Job::Failed));
}

void tst_Async::poolStopped_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("running"); // the function has started, or waits for a pool thread
    for (const char *how : { "abort", "job abort", "higher priority", "pool cleared" }) {
        for (bool running : { false, true }) {
            if (!running || qstrcmp(how, "pool cleared") != 0) // clear() takes only what waits
                QTest::addRow("%s, %s", how, running ? "running" : "waiting") << QString::fromLatin1(how) << running;
        }
    }
}

// Stopping a run finishes the task as Aborted at once (a cleared pool through the event loop),
// cancels the function or keeps it from ever starting, and drops what it returns.
void tst_Async::poolStopped()
{
    QFETCH(QString, how);
    QFETCH(bool, running);
    Pool pool(1);
    std::promise<void> unblock;
    if (!running)
        pool.start(QRunnable::create([free = unblock.get_future().share()] { free.wait(); }));
    Gate gate;
    FactoryWorker worker;
    worker.make = [&](const Job &job) -> Task * { return new PoolTask(job, gate.work(1), &pool); };
    WorkQueue queue(&worker, true);
    ImageJob job;
    PlainJob urgent;
    QVERIFY(queue.enqueue(job, 1));
    if (running)
        gate.entered.get_future().wait();
    SignalLog log;
    log.watchJob(&job, QStringLiteral("job"));
    if (how == QLatin1String("abort")) {
        job.task()->abort();
    } else if (how == QLatin1String("job abort")) {
        job.abort();
    } else if (how == QLatin1String("higher priority")) {
        worker.make = [](const Job &job) -> Task * { return new ManualTask(job, ManualTask::FinishOnStart); };
        QVERIFY(queue.enqueue(urgent, 9));
    } else {
        pool.clear();
        QVERIFY(job.isRunning());
        QVERIFY(Errand::waitForFinished(job));
    }
    QCOMPARE(log.take(), finishedAs(Job::Aborted));
    gate.proceed.set_value();
    unblock.set_value();
    pool.waitForDone();
    QCoreApplication::sendPostedEvents();
    QCOMPARE(gate.calls.load(), running ? 1 : 0);
    QCOMPARE(gate.cancelled.load(), running);
    QCOMPARE(job.result(), QVariant()); // what the function returned was dropped
    QCOMPARE(log.take(), QStringList());
}

void tst_Async::poolHostileHandlers_data()
{
    QTest::addColumn<QString>("signal");
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("calls"); // how often the function runs
    QTest::addColumn<int>("error");
    QTest::newRow("started: abort") << "started" << "abort" << 0 << int(Job::Aborted);
    QTest::newRow("started: reset") << "started" << "reset" << 0 << int(Job::NoError);
    QTest::newRow("started: delete the job") << "started" << "delete" << 1 << int(Job::NoError);
    QTest::newRow("result: abort") << "resultChanged" << "abort" << 1 << int(Job::Aborted);
    QTest::newRow("finished: start again") << "finished" << "start" << 2 << int(Job::NoError);
}

// Handlers of the task's signals that abort it, reset it, drop the job or start it again.
void tst_Async::poolHostileHandlers()
{
    QFETCH(QString, signal);
    QFETCH(QString, action);
    QFETCH(int, calls);
    QFETCH(int, error);
    Pool pool;
    std::atomic<int> ran { 0 };
    auto *job = new PlainJob;
    auto *task = new PoolTask(*job, [&ran](PoolTask::Context &) -> QVariant { return ++ran; }, &pool);
    const WorkQueue::TaskPtr keep(task);
    job->attach(task);
    bool acted = false;
    const auto act = [&] {
        if (std::exchange(acted, true))
            return;
        if (action == QLatin1String("abort"))
            task->abort();
        else if (action == QLatin1String("reset"))
            task->setProperty("state", QVariant::fromValue(Job::Ready));
        else if (action == QLatin1String("delete"))
            delete std::exchange(job, nullptr);
        else
            task->start();
    };
    if (signal == QLatin1String("started"))
        connect(task, &Task::started, this, act);
    else if (signal == QLatin1String("finished"))
        connect(task, &Task::finished, this, act);
    else
        connect(task, &Task::resultChanged, this, act);
    task->start();
    for (int round = 0; round < 2; ++round) { // a second for the run started again
        pool.waitForDone();
        QCoreApplication::sendPostedEvents();
    }
    QCOMPARE(ran.load(), calls);
    QCOMPARE(int(task->error()), error);
    delete job;
}

void tst_Async::poolBadInput()
{
    PlainJob job;
    job.attach(new PoolTask(job, PoolTask::Work()));
    SignalLog log;
    log.watchJob(&job, QStringLiteral("job"));
    QTest::ignoreMessage(QtWarningMsg, "[PoolTask]: no work to run");
    job.task()->start(); // fails without going through Running
    QCOMPARE(job.errorString(), QStringLiteral("no work to run"));
    QCOMPARE(log.take(), finishedAs(Job::Failed));

    Gate gate;
    gate.proceed.set_value();
    auto *pool = new Pool;
    job.attach(new PoolTask(job, gate.work(1), pool));
    delete pool;
    QTest::ignoreMessage(QtWarningMsg, "[PoolTask]: no thread pool");
    job.task()->start();
    QCOMPARE(job.errorString(), QStringLiteral("no thread pool"));

    job.attach(new PoolTask(job, gate.work(3))); // the global pool
    job.task()->start();
    QVERIFY(Errand::waitForFinished(job));
    QCOMPARE(job.result(), QVariant(3));
    QCOMPARE(gate.calls.load(), 1);
}

// The factory's callable runs where the registry calls factories, and the function sees only
// what it captured from the job; a job of another class gets no task.
void tst_Async::poolFactory()
{
    Pool pool;
    std::atomic<QThread *> calledOn { nullptr };
    const QString worker = QStringLiteral("QTimer");
    PlainJob other;
    ImageJob job;
    job.size = 12;
    QVERIFY(WorkerRegistry::instance()->registerTask(worker, job.name(),
        Errand::makePoolTaskFactory<ImageJob>([&calledOn](const ImageJob &job) {
            calledOn = QThread::currentThread();
            return [size = job.size](PoolTask::Context &) -> QVariant { return size * size; };
        }, &pool)));
    QVERIFY(WorkerRegistry::instance()->registerTask(worker, other.name(),
        Errand::makePoolTaskFactory<ImageJob>([](const ImageJob &) { return PoolTask::Work(); })));
    QTimer object;
    TestWorker indexer(&object);
    indexer.prepare(job);
    job.size = 0; // captured already
    job.task()->start();
    QVERIFY(Errand::waitForFinished(job));
    QCOMPARE(job.result(), QVariant(144));
    QCOMPARE(calledOn.load(), QThread::currentThread());
    std::thread([&] { delete indexer.createTask(job); }).join();
    QVERIFY(calledOn.load() != QThread::currentThread());
    QTest::ignoreMessage(QtWarningMsg, "[Worker]: \"QTimer\" has no registered tasks for \"TestSupport::PlainJob\"");
    QVERIFY(!indexer.createTask(other));
    QVERIFY(WorkerRegistry::instance()->unregisterWorker(worker));
}

// Hundreds of runs on several pool threads whose ends race their failure, their abort, their
// task's deletion or other runs' ends; checked once everything has settled.
void tst_Async::poolRacingEnds()
{
    Pool pool(4);
    std::vector<std::unique_ptr<PlainJob>> jobs;
    std::vector<QPointer<PoolTask>> loose; // not attached: deleted while they run
    for (int i = 0; i < 300; ++i) {
        jobs.push_back(std::make_unique<PlainJob>());
        auto *task = new PoolTask(*jobs.back(), [i](PoolTask::Context &context) -> QVariant {
            for (int spin = 0; spin < (i % 7) * 50 && !context.isCancelled(); ++spin)
                QThread::yieldCurrentThread();
            if (i % 5 == 1)
                context.fail(QStringLiteral("failed"));
            return i;
        }, &pool);
        if (i % 5 == 4)
            loose.emplace_back(task);
        else
            jobs.back()->attach(task);
        task->start();
        if (i % 5 == 2)
            QCoreApplication::processEvents(); // some earlier ones finish meanwhile
        if (i % 5 == 3)
            task->abort();
        if (i % 10 == 9)
            delete task;
    }
    qDeleteAll(loose);
    pool.waitForDone();
    QCoreApplication::sendPostedEvents();
    for (int i = 0; i < 300; ++i) {
        const Job &job = *jobs[i];
        QCOMPARE(job.error(), i % 5 == 4 ? Job::NotInit : i % 5 == 3 ? Job::Aborted : i % 5 == 1 ? Job::Failed : Job::NoError);
        QCOMPARE(job.result(), i % 5 == 0 || i % 5 == 2 ? QVariant(i) : QVariant());
    }
}

void tst_Async::ends_data()
{
    QTest::addColumn<int>("end");
    QTest::addColumn<bool>("elsewhere"); // the task lives in another thread
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("text");
    const char *names[] = { "succeeds", "fails", "aborted", "deleted", "ended before" };
    const int errors[] = { Job::NoError, Job::Failed, Job::Aborted, Job::Aborted, Job::NoError };
    const char *texts[] = { nullptr, "broken", nullptr, "task deleted", nullptr };
    for (int end : { Succeeds, Fails, Aborts, Deleted, EndedBefore }) {
        for (bool elsewhere : { false, true })
            QTest::addRow("%s, %s", names[end], elsewhere ? "other thread" : "this thread")
                << end << elsewhere << errors[end] << QString::fromLatin1(texts[end]);
    }
}

// However a task ends, its future reports it once (a result, a TaskError, or cancellation
// without an exception), a coroutine awaiting it resumes once on its own thread with the
// outcome, and waitForFinished() tells whether it finished; neither keeps the task alive.
void tst_Async::ends()
{
    QFETCH(int, end);
    QFETCH(bool, elsewhere);
    QFETCH(int, error);
    QFETCH(QString, text);
    PlainJob job;
    auto *task = new ManualTask(job);
    job.attach(task);
    task->start();
    if (elsewhere)
        task->moveToThread(&m_thread);
    // Ends the task in its thread, through the event loop; deleting means the job's release.
    const auto endTask = [&job, task](int end) {
        QMetaObject::invokeMethod(end == Deleted ? static_cast<QObject *>(&job) : task, [&job, task, end] {
            if (end == Deleted)
                job.detach();
            else if (end == Fails)
                task->doFail(QStringLiteral("broken"));
            else if (end == Aborts)
                task->abort();
            else
                task->setResult(42), task->doSetState(Job::Finished);
        }, Qt::QueuedConnection);
    };
    if (end == EndedBefore) {
        endTask(end);
        QTRY_VERIFY(task->isFinished());
    }
    QFuture<QVariant> future = Errand::toFuture(WorkQueue::TaskPtr(task));
#ifdef __cpp_impl_coroutine
    Awaited awaited;
    const Coroutine coroutine = await(job, awaited);
    QCOMPARE(awaited.resumes, end == EndedBefore ? 1 : 0);
#endif
    if (end != EndedBefore)
        endTask(end);
    QCOMPARE(Errand::waitForFinished(job), end != Deleted);
    if (!elsewhere && end != Deleted) { // a second end reaches nobody
        task->doSetState(Job::Ready);
        task->doFail(QStringLiteral("again"));
    }
#ifdef __cpp_impl_coroutine
    QTRY_COMPARE(awaited.resumes, 1); // from another thread, through this one's event loop
    QCoreApplication::processEvents();
    QCOMPARE(awaited.resumes, 1);
    QCOMPARE(awaited.resumedOn, QThread::currentThread());
    QCOMPARE(int(awaited.outcome.error), error);
    QCOMPARE(awaited.outcome.errorString, text);
    QCOMPARE(awaited.outcome.result, error == Job::NoError ? QVariant(42) : QVariant());
#endif
    QTRY_VERIFY(future.isFinished()); // a task elsewhere may still be reporting its end
    QCOMPARE(future.isCanceled(), error != Job::NoError); // Qt's way, for an exception too
    QCOMPARE(future.resultCount(), error == Job::NoError ? 1 : 0);
    QString thrown;
    try {
        if (error == Job::NoError)
            QCOMPARE(future.result(), QVariant(42));
        future.waitForFinished();
    } catch (const Errand::TaskError &e) {
        QCOMPARE(e.error(), Job::Failed);
        thrown = QString::fromUtf8(e.what());
    }
    QCOMPARE(thrown, error == Job::Failed ? text : QString());
    job.detach(); // a job's QObject destructor would read the task, which may go in its thread
}

void tst_Async::futureCancel_data()
{
    QTest::addColumn<int>("endedBefore"); // -1: still running
    QTest::newRow("running") << -1;
    QTest::newRow("succeeded") << int(Job::NoError);
    QTest::newRow("failed") << int(Job::Failed);
}

// Cancelling the future aborts the task through its event loop, unless it has finished.
void tst_Async::futureCancel()
{
    QFETCH(int, endedBefore);
    PlainJob job;
    auto *task = new ManualTask(job);
    job.attach(task);
    task->start();
    QFuture<QVariant> future = Errand::toFuture(job);
    if (endedBefore >= 0)
        endedBefore == Job::NoError ? task->doSetState(Job::Finished) : task->doFail(QString());
    future.cancel();
    QVERIFY(Errand::waitForFinished(job));
    QCoreApplication::processEvents();
    QCOMPARE(int(job.error()), endedBefore < 0 ? int(Job::Aborted) : endedBefore);
}

void tst_Async::noTaskAndTimeouts()
{
    PlainJob job;
    QTest::ignoreMessage(QtWarningMsg, "[toFuture]: the job has no task");
    QTest::ignoreMessage(QtWarningMsg, "[toFuture]: null task");
    for (const QFuture<QVariant> &future : { Errand::toFuture(job), Errand::toFuture(WorkQueue::TaskPtr()) })
        QVERIFY(future.isFinished() && future.isCanceled() && future.resultCount() == 0);
    QTest::ignoreMessage(QtWarningMsg, "[waitForFinished]: the job has no task");
    QVERIFY(!Errand::waitForFinished(job));
    QTest::ignoreMessage(QtWarningMsg, "[waitForFinished]: null task");
    QVERIFY(!Errand::waitForFinished(WorkQueue::TaskPtr()));
#ifdef __cpp_impl_coroutine
    Awaited fromJob, fromNull;
    QTest::ignoreMessage(QtWarningMsg, "[TaskAwaiter]: the job has no task");
    const Coroutine a = await(job, fromJob);
    QTest::ignoreMessage(QtWarningMsg, "[TaskAwaiter]: null task");
    const Coroutine b = await(WorkQueue::TaskPtr(), fromNull);
    QVERIFY(fromJob.resumes == 1 && fromJob.outcome.error == Job::NotInit);
    QCOMPARE(fromJob.outcome.errorString, QStringLiteral("Job not initialized"));
    QVERIFY(fromNull.resumes == 1 && fromNull.outcome.error == Job::NotInit);
#endif
    job.attach(new ManualTask(job)); // never finishes
    QVERIFY(!Errand::waitForFinished(job, 0));
    QVERIFY(!Errand::waitForFinished(job, 1));
}

// Tasks in another thread that finish while coroutines start to await them, some of which are
// destroyed while they wait: the others resume exactly once, on this thread.
void tst_Async::awaitRacesEnd()
{
#ifndef __cpp_impl_coroutine
    QSKIP("co_await needs this suite built as C++20");
#else
    std::vector<std::unique_ptr<PlainJob>> jobs;
    std::vector<Awaited> awaited(200);
    std::vector<std::unique_ptr<Coroutine>> coroutines;
    for (int i = 0; i < 200; ++i) {
        jobs.push_back(std::make_unique<PlainJob>());
        auto *task = new ManualTask(*jobs.back());
        jobs.back()->attach(task);
        task->start();
        task->moveToThread(&m_thread);
        QMetaObject::invokeMethod(task, [task, i] { task->setResult(i), task->doSetState(Job::Finished); }, Qt::QueuedConnection);
        coroutines.emplace_back(new Coroutine(await(*jobs.back(), awaited[i])));
        if (i % 3 == 0 && awaited[i].resumes == 0)
            coroutines.back().reset(); // destroyed while it waits
    }
    const auto resumed = [&] {
        for (int i = 0; i < 200; ++i) {
            if (coroutines[i] && awaited[i].resumes == 0)
                return false;
        }
        return true;
    };
    QTRY_VERIFY(resumed());
    QCoreApplication::processEvents();
    for (int i = 0; i < 200; ++i) {
        QCOMPARE(awaited[i].resumes, coroutines[i] ? 1 : 0);
        QVERIFY(!coroutines[i] || (awaited[i].resumedOn == QThread::currentThread() && awaited[i].outcome.result == i));
        jobs[i]->detach();
    }
#endif
}

#ifdef ERRAND_WITH_QCORO
namespace {

// Sums what the jobs' pool functions return, awaiting them one after the other.
QCoro::Task<int> sum(std::vector<std::unique_ptr<PlainJob>> &jobs)
{
    int total = 0;
    for (const auto &job : jobs) {
        job->task()->start();
        const Errand::Outcome outcome = co_await *job;
        total += outcome.error == Job::NoError ? outcome.result.toInt() : -1000;
    }
    co_return total;
}

QCoro::Task<> store(std::vector<std::unique_ptr<PlainJob>> &jobs, int &total)
{
    total = co_await sum(jobs);
}

} // namespace
#endif

// co_await inside QCoro's coroutines, and QFuture's continuations on Qt 6, with the work done by
// PoolTasks, one of which fails.
void tst_Async::qcoroAndContinuations()
{
    std::vector<std::unique_ptr<PlainJob>> jobs;
    for (int i = 1; i <= 4; ++i) {
        jobs.push_back(std::make_unique<PlainJob>());
        jobs.back()->attach(new PoolTask(*jobs.back(), [i](PoolTask::Context &context) -> QVariant {
            if (i == 3)
                context.fail(QStringLiteral("three"));
            return i * 10;
        }));
    }
#ifdef ERRAND_WITH_QCORO
    int total = 0;
    store(jobs, total);
    QTRY_COMPARE(total, 10 + 20 - 1000 + 40);
#endif
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    QVariant doubled;
    QString failure;
    Errand::toFuture(*jobs[1]).then(this, [&](const QVariant &value) { doubled = value.toInt() * 2; });
    Errand::toFuture(*jobs[2]).then(this, [](const QVariant &value) { return value; }).onFailed(this, [&](const Errand::TaskError &e) {
        failure = e.errorString();
        return QVariant();
    });
    for (const auto &job : jobs)
        job->task()->setProperty("state", QVariant::fromValue(Job::Ready)), job->task()->start();
    QTRY_COMPARE(doubled, QVariant(40));
    QTRY_COMPARE(failure, QStringLiteral("three"));
#endif
}

QTEST_GUILESS_MAIN(tst_Async)
#include "tst_async.moc"
