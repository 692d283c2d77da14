// Work on thread pools (PoolTask) and the ways to wait for a task's end: Errand::toFuture(),
// Errand::waitForFinished() and, when this suite is built as C++20, co_await. CI runs it again
// under ThreadSanitizer: aborts, deletions and the ends of functions race here. (co_await inside
// QCoro's coroutines runs in examples/errand-await, QFuture's continuations on Qt 6 in the
// futures program of docs/threads-futures-coroutines.md.)

#include "TestSupport.h"

#include <ErrandFuture.h>
#include <ObjectWorker.h>
#include <PoolTask.h>
#include <TaskFactory.h>
#include <WorkerRegistry.h>
#ifdef __cpp_impl_coroutine
#include <ErrandCoro.h>
#endif

#include <QtTest/QtTest>

#include <future>
#include <stdexcept>

using namespace TestSupport;

namespace {

// A pool whose functions can wait for the test (go) and tell it that they run (entered); when it
// goes, it lets them go and waits for them. Standard futures, which ThreadSanitizer sees, hand
// over between the threads.
struct Pool : QThreadPool
{
    explicit Pool(int threads = 2) { setMaxThreadCount(threads); }
    ~Pool() override
    {
        open();
        waitForDone();
    }
    void open()
    {
        std::call_once(opened, [this] { proceed.set_value(); });
    }
    std::promise<void> entered, proceed;
    std::shared_future<void> go = proceed.get_future().share();
    std::once_flag opened;
    std::atomic<int> calls { 0 };
    std::atomic<int> cancelled { 0 };
};

enum End { Succeeds, Fails, Aborts, Deleted, FutureCanceled, EndedBefore };

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
    QThread m_thread;

private Q_SLOTS:
    void initTestCase() { m_thread.start(); }
    void cleanupTestCase()
    {
        m_thread.quit();
        m_thread.wait();
    }
    void cleanup() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    void poolRuns_data()
    {
        QTest::addColumn<QString>("how"); // how the function ends, or how the run is stopped
        QTest::addColumn<bool>("running"); // whether the function has started by then
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("text");
        QTest::newRow("returns") << "return" << true << int(Job::NoError) << QString();
        QTest::newRow("fails") << "fail" << true << int(Job::Failed) << "disk full";
        QTest::newRow("throws std::exception") << "throw" << true << int(Job::Failed) << "bad size";
        QTest::newRow("throws something else") << "throw 42" << true << int(Job::Failed) << "unknown exception";
        QTest::newRow("aborted while waiting for a thread") << "abort" << false << int(Job::Aborted) << QString();
        QTest::newRow("aborted while running") << "abort" << true << int(Job::Aborted) << QString();
        QTest::newRow("outranked while running") << "higher priority" << true << int(Job::Aborted) << QString();
        QTest::newRow("all aborted while running") << "abort all" << true << int(Job::Aborted) << QString();
        QTest::newRow("timed out while running") << "timeout" << true << int(Job::Aborted) << "timed out after 1 ms";
        QTest::newRow("pool cleared while waiting") << "pool cleared" << false << int(Job::Aborted) << QString();
        QTest::newRow("aborted by a started() handler") << "started handler" << false << int(Job::Aborted) << QString();
        QTest::newRow("reset and started again while running") << "restart" << true << int(Job::NoError) << QString();
        QTest::newRow("deleted while running") << "delete" << true << int(Job::NotInit) << "Job not initialized";
    }

    // The function runs on a pool thread; what it returns is the result, a failure or an
    // exception the error; the task finishes on its own thread, the job's signals in order.
    // Stopping a run finishes it as Aborted at once (a cleared pool through the event loop),
    // cancels the function or keeps it from starting, and drops what it returns. Starting a
    // reset task again cancels the first run, whose end, though it comes first, is dropped; the
    // end of a deleted task's function reaches nothing (AddressSanitizer watches).
    void poolRuns()
    {
        QFETCH(QString, how);
        QFETCH(bool, running);
        QFETCH(int, error);
        QFETCH(QString, text);
        const bool stopped = error == Job::Aborted, restarted = how == QLatin1String("restart");
        const bool held = stopped || restarted || how == QLatin1String("delete"); // until the test is done
        Pool pool(1);
        if (!running)
            pool.start(QRunnable::create([go = pool.go] { go.wait(); })); // holds the only thread until open()
        if (!held)
            pool.open();
        // Tasks come from the registry: the job's from a PoolTask factory, whose function
        // captures what the job says (its name: how), the urgent job's finishes at once.
        const auto work = [&pool](const PlainJob &job) -> PoolTask::Work {
            return [&pool, go = pool.go, how = job.objectName()](PoolTask::Context &context) -> QVariant {
                if (pool.calls++ == 0)
                    pool.entered.set_value();
                go.wait();
                pool.cancelled += context.isCancelled() ? 1 : 0;
                context.setProgress(1, 2); // ignored once cancelled
                if (how.startsWith(QLatin1String("fail")))
                    context.fail(QStringLiteral("disk full"));
                if (how.endsWith(QLatin1String("throw")))
                    throw std::invalid_argument("bad size");
                if (how == QLatin1String("throw 42"))
                    throw 42;
                return pool.calls.load();
            };
        };
        const QString worker = QStringLiteral("QTimer");
        WorkerRegistry::instance()->registerTask(
            worker, PlainJob().name(), Errand::makePoolTaskFactory<PlainJob>(work, &pool));
        WorkerRegistry::instance()->registerTask(worker, Job().name(),
            makeTaskFactory([](const Job &job) -> Task * { return new ManualTask(job, ManualTask::FinishOnStart); }));
        const auto unregister = qScopeGuard([&worker] { WorkerRegistry::instance()->unregisterWorker(worker); });
        QTimer object;
        ObjectWorker queue(&object);
        queue.setAutoAbort(true);
        PlainJob job;
        job.setObjectName(how);
        SignalLog log;
        log.watchJob(&job, QStringLiteral("job"));
        if (how == QLatin1String("started handler"))
            connect(&job, &Job::started, this, [&job] { job.abort(); });
        QVERIFY(queue.enqueue(job, 1));
        if (held && running)
            pool.entered.get_future().wait();
        if (how == QLatin1String("abort")) {
            job.task()->abort();
        } else if (how == QLatin1String("higher priority")) {
            QVERIFY(queue.enqueue(Job(), 9)); // a task for a passing job
        } else if (how == QLatin1String("abort all")) {
            queue.abortAll();
        } else if (how == QLatin1String("timeout")) {
            job.task()->setTimeout(1);
            QTRY_VERIFY(job.state() == Job::Finished); // before the function may go on
        } else if (how == QLatin1String("pool cleared")) {
            pool.clear();
        } else if (how == QLatin1String("delete")) {
            QVERIFY(queue.dequeue(job));
            job.detach(); // the last reference: the task goes
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            QTest::ignoreMessage(QtWarningMsg, "[waitForFinished]: the job has no task");
        } else if (restarted) {
            job.task()->setProperty("state", QVariant::fromValue(Job::Ready));
            job.task()->start();
        }
        QCOMPARE(job.state() == Job::Finished, stopped && how != QLatin1String("pool cleared"));
        pool.open();
        QCOMPARE(Errand::waitForFinished(job), job.isValid());
        pool.waitForDone();
        QCoreApplication::sendPostedEvents();
        QCOMPARE(int(job.error()), error);
        QCOMPARE(job.errorString(), text);
        QCOMPARE(job.result(), error == Job::NoError ? QVariant(pool.calls.load()) : QVariant()); // the last run's
        QCOMPARE(pool.calls.load(), running ? 1 + restarted : 0);
        QCOMPARE(pool.cancelled.load(), (stopped && running) || restarted || !job.isValid() ? 1 : 0);
        // The result comes before finished(), whose handlers read it.
        const QString finished = QStringLiteral(" job.stateChanged(Finished) job.finished(%1)");
        QCOMPARE(log.take().join(QLatin1Char(' ')),
            QStringLiteral("job.resultChanged job.stateChanged(Running) job.started")
                + (restarted ? finished.arg(QStringLiteral("Aborted"))
                            + QStringLiteral(" job.stateChanged(Ready) job.stateChanged(Running) job.started")
                             : QString())
                + (job.isValid() && !stopped ? QStringLiteral(" job.progressChanged(1,2)") : QString())
                + (error == Job::NoError ? QStringLiteral(" job.resultChanged") : QString())
                + (job.isValid() ? finished.arg(Job::toString(Job::Error(error))) : QString()));
    }

    // No function, a deleted pool, nothing to watch or wait for, and waits that time out.
    void badInput()
    {
        PlainJob job;
        QSignalSpy started(&job, &Job::started); // both faults fail a task that has started
        job.attach(new PoolTask(job, PoolTask::Work()));
        QTest::ignoreMessage(QtWarningMsg, "[PoolTask]: no work to run");
        job.task()->start();
        QCOMPARE(job.errorString(), QStringLiteral("no work to run"));
        auto *pool = new Pool;
        job.attach(new PoolTask(
            job, [](PoolTask::Context &) { return QVariant(); }, pool));
        delete pool;
        QTest::ignoreMessage(QtWarningMsg, "[PoolTask]: no thread pool");
        job.task()->start();
        QCOMPARE(job.errorString(), QStringLiteral("no thread pool"));
        QCOMPARE(started.count(), 2);
        job.attach(new ManualTask(job)); // never finishes
        QVERIFY(!Errand::waitForFinished(job, 0) && !Errand::waitForFinished(job, 1));
        job.detach();
        for (const char *warning : { "[toFuture]: the job has no task", "[toFuture]: null task",
                 "[waitForFinished]: the job has no task", "[waitForFinished]: null task" })
            QTest::ignoreMessage(QtWarningMsg, warning);
        for (const QFuture<QVariant> &future : { Errand::toFuture(job), Errand::toFuture(WorkQueue::TaskPtr()) })
            QVERIFY(future.isFinished() && future.isCanceled() && future.resultCount() == 0);
        QVERIFY(!Errand::waitForFinished(job) && !Errand::waitForFinished(WorkQueue::TaskPtr()));
    }

    void ends_data()
    {
        QTest::addColumn<int>("end");
        QTest::addColumn<bool>("elsewhere"); // the task lives in another thread
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("text");
        const char *names[] = { "succeeds", "fails", "aborted", "deleted", "future canceled", "ended before" };
        const int errors[] = { Job::NoError, Job::Failed, Job::Aborted, Job::Aborted, Job::Aborted, Job::NoError };
        const char *texts[] = { nullptr, "broken", nullptr, "task deleted", nullptr, nullptr };
        for (int end = Succeeds; end <= EndedBefore; ++end) {
            for (bool elsewhere : { false, true })
                QTest::addRow("%s, %s", names[end], elsewhere ? "other thread" : "this thread")
                    << end << elsewhere << errors[end] << QString::fromLatin1(texts[end]);
        }
    }

    // However a task ends, its future reports it once (a result, a TaskError, or cancellation
    // without an exception; cancelling it aborts the task in the task's thread), a coroutine
    // awaiting it resumes once on its own thread with the outcome, one destroyed while it waits
    // never does, and waitForFinished() tells whether it finished. None keeps the task alive.
    void ends()
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
        std::atomic<QThread *> endedOn { nullptr }; // a cancel, too, aborts the task in its thread
        connect(
            task, &Task::finished, task, [&endedOn] { endedOn = QThread::currentThread(); }, Qt::DirectConnection);
        QFuture<QVariant> future;
        // Ends the task in its thread, elsewhere through the event loop; deleting is the job's
        // release, from the event loop while this waits.
        const auto endTask = [&job, task, &future, elsewhere](int end) {
            QObject *context = end == Deleted || end == FutureCanceled ? static_cast<QObject *>(&job) : task;
            QMetaObject::invokeMethod(
                context,
                [&job, task, &future, end] {
                    if (end == Deleted)
                        job.detach();
                    else if (end == FutureCanceled)
                        future.cancel();
                    else if (end == Fails)
                        task->doFail(QStringLiteral("broken"));
                    else if (end == Aborts)
                        task->abort();
                    else
                        task->setResult(42), task->doSetState(Job::Finished);
                },
                elsewhere || end == Deleted ? Qt::QueuedConnection : Qt::DirectConnection);
        };
        if (end == EndedBefore) {
            endTask(end);
            QTRY_VERIFY(task->isFinished());
        }
        future = Errand::toFuture(WorkQueue::TaskPtr(task));
        QCOMPARE(future.isRunning(), end != EndedBefore); // QFuture::waitForFinished() waits only then
#ifdef __cpp_impl_coroutine
        Awaited awaited, abandoned;
        const Coroutine coroutine = await(job, awaited);
        await(job, abandoned); // a temporary, destroyed while it waits: never resumed after that
        QCOMPARE(awaited.resumes + abandoned.resumes, end == EndedBefore ? 2 : 0);
#endif
        if (end != EndedBefore)
            endTask(end);
        QCOMPARE(Errand::waitForFinished(job), end != Deleted);
#ifdef __cpp_impl_coroutine
        QTRY_COMPARE(awaited.resumes, 1); // from another thread, through this one's event loop
        QCoreApplication::processEvents();
        QVERIFY(awaited.resumes == 1 && awaited.resumedOn == QThread::currentThread());
        QCOMPARE(abandoned.resumes, end == EndedBefore ? 1 : 0);
        QCOMPARE(int(awaited.outcome.error), error);
        QCOMPARE(awaited.outcome.errorString, text);
        QCOMPARE(awaited.outcome.result, error == Job::NoError ? QVariant(42) : QVariant());
#endif
        QTRY_VERIFY(future.isFinished()); // a task elsewhere may still be reporting its end
        QCOMPARE(future.isCanceled(), error != Job::NoError); // Qt's way, for an exception too
        QString thrown;
        try {
            if (error == Job::NoError)
                QCOMPARE(future.result(), QVariant(42));
            future.waitForFinished();
        } catch (const Errand::TaskError &e) {
            thrown = QString::fromUtf8(e.what());
        }
        QCOMPARE(thrown, error == Job::Failed ? text : QString());
        QCOMPARE(endedOn.load(), end == Deleted ? nullptr : elsewhere ? &m_thread : QThread::currentThread());
        job.detach(); // a job's QObject destructor would read the task, which may go elsewhere
    }
};

QTEST_GUILESS_MAIN(tst_Async)
#include "tst_async.moc"
