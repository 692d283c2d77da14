// A task's end as a QFuture (Errand::toFuture) and waited for in a local event loop
// (Errand::waitForFinished), for tasks in the test's thread and in another one.

#include "TestSupport.h"

#include <ErrandFuture.h>
#include <PoolTask.h>

#include <QtCore/QFutureWatcher>
#include <QtTest/QtTest>

using namespace TestSupport;

namespace {

enum End { Succeeds, Fails, Aborts, Deleted };

// Ends @p task as @p end says; for Deleted, drops @p last, its last reference.
void endTask(ManualTask *task, End end, WorkQueue::TaskPtr &last)
{
    if (end == Succeeds) {
        task->setResult(42);
        task->doSetState(Job::Finished);
    } else if (end == Fails) {
        task->doFail(QStringLiteral("broken"));
    } else if (end == Aborts) {
        task->abort();
    } else {
        last.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

// Counts what a QFutureWatcher reports.
struct Watched
{
    explicit Watched(const QFuture<QVariant> &future)
    {
        QObject::connect(&watcher, &QFutureWatcherBase::finished, [this] { ++finished; });
        QObject::connect(&watcher, &QFutureWatcherBase::canceled, [this] { ++canceled; });
        watcher.setFuture(future);
    }
    QFutureWatcher<QVariant> watcher;
    int finished = 0;
    int canceled = 0;
};

// Lives in another thread and records where it is aborted.
class RemoteTask : public ManualTask
{
    Q_OBJECT
public:
    using ManualTask::ManualTask;
    void abort() override
    {
        abortedOn = QThread::currentThread();
        ManualTask::abort();
    }
    std::atomic<QThread *> abortedOn { nullptr };
};

} // namespace

class tst_Future : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void cleanup() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    void ends_data();
    void ends();
    void cancel_data();
    void cancel();
    void badInput();
    void continuations();
    void otherThread();
    void wait_data();
    void wait();
};

void tst_Future::ends_data()
{
    QTest::addColumn<int>("end");
    QTest::addColumn<bool>("endedFirst"); // the task has ended when its future is made
    QTest::addColumn<bool>("throughJob");
    for (End end : { Succeeds, Fails, Aborts, Deleted }) {
        for (bool endedFirst : { false, true }) {
            if (end == Deleted && endedFirst)
                continue;
            for (bool throughJob : { false, true })
                QTest::addRow("%s%s, %s", end == Succeeds ? "succeeds" : end == Fails ? "fails" : end == Aborts ? "aborted" : "deleted",
                    endedFirst ? " first" : "", throughJob ? "job" : "task")
                    << int(end) << endedFirst << throughJob;
        }
    }
}

// The future reports the task's end once: a result, a TaskError, or cancellation without an
// exception, also for a task deleted before it finished.
void tst_Future::ends()
{
    QFETCH(int, end);
    QFETCH(bool, endedFirst);
    QFETCH(bool, throughJob);
    auto *job = new PlainJob;
    auto *task = new ManualTask(*job);
    WorkQueue::TaskPtr last(task);
    task->start();
    if (endedFirst)
        endTask(task, End(end), last);
    if (throughJob) {
        job->attach(task);
        if (end == Deleted)
            last.reset(); // the job's reference is the last one: deleting the job drops it
    }
    QFuture<QVariant> future = throughJob ? Errand::toFuture(*job) : Errand::toFuture(last);
    Watched watched(future);
    QCOMPARE(future.isFinished(), endedFirst);
    if (!endedFirst) {
        if (throughJob && end == Deleted) {
            delete std::exchange(job, nullptr);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        } else {
            endTask(task, End(end), last);
        }
    }
    QVERIFY(future.isFinished());
    // Qt marks a future that holds an exception as canceled too.
    QCOMPARE(future.isCanceled(), end != Succeeds);
    QCOMPARE(future.resultCount(), end == Succeeds ? 1 : 0);
    if (end == Aborts || end == Deleted)
        future.waitForFinished(); // holds no exception: would throw
    if (end == Succeeds)
        QCOMPARE(future.result(), QVariant(42));
    if (end == Fails) {
        try {
            future.waitForFinished();
            future.result();
            QFAIL("no exception");
        } catch (const Errand::TaskError &error) {
            QCOMPARE(error.error(), Job::Failed);
            QCOMPARE(error.errorString(), QStringLiteral("broken"));
            QCOMPARE(error.what(), "broken");
        }
    }
    if (end == Succeeds && !endedFirst) { // later ends of the same task reach nobody
        task->doSetState(Job::Ready);
        task->doFail(QStringLiteral("again"));
        QCOMPARE(future.result(), QVariant(42));
    }
    QCoreApplication::processEvents();
    QCOMPARE(watched.finished, 1);
    QCOMPARE(watched.canceled, end == Succeeds ? 0 : 1);
    delete job;
}

void tst_Future::cancel_data()
{
    QTest::addColumn<int>("endedBefore"); // -1: still running
    QTest::newRow("running") << -1;
    QTest::newRow("succeeded") << int(Job::NoError);
    QTest::newRow("failed") << int(Job::Failed);
}

// Cancelling the future aborts the task through its event loop, unless it has finished.
void tst_Future::cancel()
{
    QFETCH(int, endedBefore);
    PlainJob job;
    auto *task = new ManualTask(job);
    job.attach(task);
    task->start();
    QFuture<QVariant> future = Errand::toFuture(job);
    if (endedBefore == Job::NoError)
        task->doSetState(Job::Finished);
    else if (endedBefore == Job::Failed)
        task->doFail(QStringLiteral("broken"));
    future.cancel();
    QTRY_VERIFY(job.state() == Job::Finished);
    QCoreApplication::processEvents();
    QCOMPARE(int(job.error()), endedBefore == -1 ? int(Job::Aborted) : endedBefore);
    QVERIFY(future.isFinished());
}

void tst_Future::badInput()
{
    PlainJob job;
    QTest::ignoreMessage(QtWarningMsg, "[toFuture]: the job has no task");
    const QFuture<QVariant> fromJob = Errand::toFuture(job);
    QTest::ignoreMessage(QtWarningMsg, "[toFuture]: null task");
    const QFuture<QVariant> fromTask = Errand::toFuture(WorkQueue::TaskPtr());
    for (const QFuture<QVariant> &future : { fromJob, fromTask })
        QVERIFY(future.isFinished() && future.isCanceled() && future.resultCount() == 0);
}

// QFuture::then() and onFailed() on Qt 6, with the work done by PoolTasks.
void tst_Future::continuations()
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QSKIP("QFuture continuations are a Qt 6 feature");
#else
    PlainJob good, bad;
    good.attach(new PoolTask(good, [](PoolTask::Context &) -> QVariant { return 6; }));
    bad.attach(new PoolTask(bad, [](PoolTask::Context &context) -> QVariant {
        context.fail(QStringLiteral("no luck"));
        return QVariant();
    }));
    QVariant doubled;
    QString failure;
    QThread *ranOn = nullptr;
    Errand::toFuture(good).then(this, [&](const QVariant &value) {
        ranOn = QThread::currentThread();
        doubled = value.toInt() * 2;
    });
    Errand::toFuture(bad)
        .then(this, [](const QVariant &value) { return value; })
        .onFailed(this, [&](const Errand::TaskError &error) {
            failure = error.errorString();
            return QVariant();
        });
    good.task()->start();
    bad.task()->start();
    QTRY_COMPARE(doubled, QVariant(12));
    QTRY_COMPARE(failure, QStringLiteral("no luck"));
    QCOMPARE(ranOn, QThread::currentThread());
#endif
}

// A task living in another thread: its future is reported from there, its cancellation aborts
// it there, and waitForFinished() waits for it from here.
void tst_Future::otherThread()
{
    QThread thread;
    thread.start();
    auto stop = qScopeGuard([&thread] {
        thread.quit();
        thread.wait();
    });
    PlainJob job;
    auto *task = new RemoteTask(job);
    job.attach(task);
    task->moveToThread(&thread);
    QMetaObject::invokeMethod(task, [task] { task->start(); }, Qt::QueuedConnection);
    QTRY_VERIFY(task->isRunning());
    QFuture<QVariant> cancelled = Errand::toFuture(job);
    QFutureWatcher<QVariant> watcher;
    watcher.setFuture(cancelled);
    cancelled.cancel();
    QVERIFY(Errand::waitForFinished(job));
    QCOMPARE(job.error(), Job::Aborted);
    QCOMPARE(task->abortedOn.load(), &thread);
    QTRY_VERIFY(watcher.isFinished());

    // Running again: finished in its thread once this one waits, so that the wait ends through
    // this thread's event loop, after the future has its result.
    QMetaObject::invokeMethod(task, [task] {
        task->doSetState(Job::Ready); // clears the error
        task->doSetState(Job::Running);
    }, Qt::QueuedConnection);
    QTRY_VERIFY(task->isRunning());
    const QFuture<QVariant> succeeded = Errand::toFuture(job);
    QTimer::singleShot(0, this, [task] {
        QMetaObject::invokeMethod(task, [task] {
            task->setResult(5);
            task->doSetState(Job::Finished);
        }, Qt::QueuedConnection);
    });
    QVERIFY(Errand::waitForFinished(job));
    QCOMPARE(succeeded.result(), QVariant(5));
    job.detach(); // its thread's loop deletes it
}

void tst_Future::wait_data()
{
    QTest::addColumn<int>("msec");
    QTest::addColumn<QString>("meanwhile"); // what happens while it waits
    QTest::addColumn<bool>("finished");
    QTest::newRow("finished before") << -1 << "finished before" << true;
    QTest::newRow("finishes") << -1 << "finish" << true;
    QTest::newRow("fails, with time to spare") << 60000 << "fail" << true;
    QTest::newRow("deleted") << -1 << "delete" << false;
    QTest::newRow("times out") << 1 << "nothing" << false;
    QTest::newRow("only looks") << 0 << "finish" << false;
}

void tst_Future::wait()
{
    QFETCH(int, msec);
    QFETCH(QString, meanwhile);
    QFETCH(bool, finished);
    PlainJob job;
    auto *task = new ManualTask(job);
    job.attach(task);
    task->start();
    if (meanwhile == QLatin1String("finished before"))
        task->doSetState(Job::Finished);
    QMetaObject::invokeMethod(this, [&] {
        if (meanwhile == QLatin1String("finish"))
            task->doSetState(Job::Finished);
        else if (meanwhile == QLatin1String("fail"))
            task->doFail(QStringLiteral("broken"));
        else if (meanwhile == QLatin1String("delete"))
            job.detach();
    }, Qt::QueuedConnection);
    // Through the job when it is the job's release that deletes the task.
    const bool ended = meanwhile == QLatin1String("delete") ? Errand::waitForFinished(job, msec)
                                                          : Errand::waitForFinished(WorkQueue::TaskPtr(task), msec);
    QCOMPARE(ended, finished);
    QCoreApplication::processEvents();
    job.detach();

    QTest::ignoreMessage(QtWarningMsg, "[waitForFinished]: the job has no task");
    QVERIFY(!Errand::waitForFinished(job));
    QTest::ignoreMessage(QtWarningMsg, "[waitForFinished]: null task");
    QVERIFY(!Errand::waitForFinished(WorkQueue::TaskPtr()));
}

QTEST_GUILESS_MAIN(tst_Future)
#include "tst_future.moc"
