// co_await of jobs and tasks (ErrandCoro.h, built as C++20): with a coroutine type of the test's
// own, and inside QCoro's QCoro::Task<> when QCoro is installed.

#include "TestSupport.h"

#include <ErrandCoro.h>
#include <PoolTask.h>

#include <QtTest/QtTest>

#ifdef ERRAND_WITH_QCORO
#include <QCoro/QCoroTask>
#endif

#include <coroutine>
#include <exception>

using namespace TestSupport;

namespace {

// The smallest coroutine type: it starts at once and stays after its end until its owner goes,
// which may also be while it is suspended.
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
    Coroutine(std::coroutine_handle<promise_type> handle)
        : handle(handle)
    { }
    Coroutine(Coroutine &&other) noexcept
        : handle(std::exchange(other.handle, nullptr))
    { }
    ~Coroutine()
    {
        if (handle)
            handle.destroy();
    }
    std::coroutine_handle<promise_type> handle;
};

// What one co_await saw.
struct Awaited
{
    Errand::Outcome outcome;
    int resumes = 0;
    QThread *resumedOn = nullptr;
};

template<class Awaitable>
Coroutine await(Awaitable &awaitable, Awaited &awaited)
{
    awaited.outcome = co_await awaitable;
    ++awaited.resumes;
    awaited.resumedOn = QThread::currentThread();
}

enum End { Succeeds, Fails, Aborts, Deleted, EndedBefore };

// Ends @p task in its own thread (through its event loop when that is another one, whose end
// the caller waits for); for Deleted, drops the reference @p job holds, its last.
void endTask(ManualTask *task, PlainJob *job, End end)
{
    QMetaObject::invokeMethod(task, [=] {
        if (end == Succeeds || end == EndedBefore) {
            task->setResult(42);
            task->doSetState(Job::Finished);
        } else if (end == Fails) {
            task->doFail(QStringLiteral("broken"));
        } else if (end == Aborts) {
            task->abort();
        }
    }, task->thread() == QThread::currentThread() ? Qt::DirectConnection : Qt::QueuedConnection);
    if (end == Deleted)
        job->detach();
}

} // namespace

class tst_Coro : public QObject
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

    void ends_data();
    void ends();
    void destroyedWhileAwaiting_data();
    void destroyedWhileAwaiting();
    void noTask();
    void endRacesAwait();
    void insideQCoroTasks();

private:
    QThread m_thread;
};

void tst_Coro::ends_data()
{
    QTest::addColumn<int>("end");
    QTest::addColumn<bool>("elsewhere"); // the task lives in another thread
    QTest::addColumn<bool>("throughJob");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QVariant>("result");
    const struct
    {
        const char *name;
        End end;
        Job::Error error;
        const char *text;
        QVariant result;
    } ends[] = {
        { "succeeds", Succeeds, Job::NoError, nullptr, 42 },
        { "fails", Fails, Job::Failed, "broken", QVariant() },
        { "aborted", Aborts, Job::Aborted, nullptr, QVariant() },
        { "deleted", Deleted, Job::Aborted, "task deleted", QVariant() },
        { "ended before", EndedBefore, Job::NoError, nullptr, 42 },
    };
    for (const auto &e : ends) {
        for (bool elsewhere : { false, true }) {
            for (bool throughJob : { false, true })
                QTest::addRow("%s, %s, %s", e.name, elsewhere ? "other thread" : "this thread", throughJob ? "job" : "task")
                    << int(e.end) << elsewhere << throughJob << int(e.error) << QString::fromLatin1(e.text) << e.result;
        }
    }
}

// The coroutine resumes once, on its own thread, with the task's outcome, however the task
// ends; a task that has ended already gives its outcome without suspending.
void tst_Coro::ends()
{
    QFETCH(int, end);
    QFETCH(bool, elsewhere);
    QFETCH(bool, throughJob);
    QFETCH(int, error);
    QFETCH(QString, text);
    QFETCH(QVariant, result);
    auto *job = new PlainJob;
    auto *task = new ManualTask(*job);
    job->attach(task);
    task->start();
    if (elsewhere)
        task->moveToThread(&m_thread);
    if (end == EndedBefore) {
        endTask(task, job, EndedBefore);
        QTRY_VERIFY(task->isFinished());
    }
    // Awaited through a TaskPtr that lives only while the awaiting starts.
    Awaited awaited;
    WorkQueue::TaskPtr ptr(task);
    Coroutine coroutine = throughJob ? await(*job, awaited) : await(ptr, awaited);
    ptr.reset();
    QCOMPARE(awaited.resumes, end == EndedBefore ? 1 : 0);
    if (end != EndedBefore)
        endTask(task, job, End(end));
    if (elsewhere || end == Deleted)
        QTRY_COMPARE(awaited.resumes, 1);
    QCOMPARE(awaited.resumes, 1);
    QCOMPARE(awaited.resumedOn, QThread::currentThread());
    QCOMPARE(int(awaited.outcome.error), error);
    QCOMPARE(awaited.outcome.errorString, text);
    QCOMPARE(awaited.outcome.result, result);
    QVERIFY(coroutine.handle.done());
    if (end != Deleted) { // later ends reach nobody
        endTask(task, job, Fails);
        QTRY_COMPARE(task->error(), Job::Failed);
        QCoreApplication::processEvents();
        QCOMPARE(awaited.resumes, 1);
    }
    // Detached first: a job's QObject destructor still reads the task, which may be going in
    // its own thread, ordered only by Qt's own locks.
    job->detach();
    delete job;
}

void tst_Coro::destroyedWhileAwaiting_data()
{
    QTest::addColumn<bool>("elsewhere");
    QTest::newRow("this thread") << false;
    QTest::newRow("other thread") << true;
}

// A coroutine destroyed while it awaits is never resumed, whatever the task does next.
void tst_Coro::destroyedWhileAwaiting()
{
    QFETCH(bool, elsewhere);
    PlainJob job;
    auto *task = new ManualTask(job);
    job.attach(task);
    task->start();
    if (elsewhere)
        task->moveToThread(&m_thread);
    Awaited awaited;
    {
        Coroutine coroutine = await(job, awaited);
    }
    endTask(task, &job, Succeeds);
    QTRY_VERIFY(task->isFinished());
    QCoreApplication::processEvents();
    QCOMPARE(awaited.resumes, 0);
    job.detach();
}

void tst_Coro::noTask()
{
    PlainJob job;
    Awaited fromJob, fromTask;
    QTest::ignoreMessage(QtWarningMsg, "[TaskAwaiter]: the job has no task");
    Coroutine a = await(job, fromJob);
    WorkQueue::TaskPtr none;
    QTest::ignoreMessage(QtWarningMsg, "[TaskAwaiter]: null task");
    Coroutine b = await(none, fromTask);
    QCOMPARE(fromJob.resumes, 1);
    QCOMPARE(fromJob.outcome.error, Job::NotInit);
    QCOMPARE(fromJob.outcome.errorString, QStringLiteral("Job not initialized"));
    QCOMPARE(fromTask.resumes, 1);
    QCOMPARE(fromTask.outcome.error, Job::NotInit);
}

// Tasks in another thread that finish while the coroutine starts to await them: each
// coroutine resumes exactly once, on this thread.
void tst_Coro::endRacesAwait()
{
    constexpr int Count = 200;
    std::vector<std::unique_ptr<PlainJob>> jobs;
    std::vector<Awaited> awaited(Count);
    std::vector<Coroutine> coroutines;
    for (int i = 0; i < Count; ++i) {
        jobs.push_back(std::make_unique<PlainJob>());
        auto *task = new ManualTask(*jobs.back());
        jobs.back()->attach(task);
        task->start();
        task->moveToThread(&m_thread);
        QMetaObject::invokeMethod(task, [task, i] {
            task->setResult(i);
            task->doSetState(Job::Finished);
        }, Qt::QueuedConnection);
        coroutines.push_back(await(*jobs.back(), awaited[i]));
    }
    QTRY_VERIFY(std::all_of(awaited.cbegin(), awaited.cend(), [](const Awaited &a) { return a.resumes > 0; }));
    QCoreApplication::processEvents();
    for (int i = 0; i < Count; ++i) {
        QCOMPARE(awaited[i].resumes, 1);
        QCOMPARE(awaited[i].resumedOn, QThread::currentThread());
        QCOMPARE(awaited[i].outcome.result, QVariant(i));
    }
    for (const auto &job : jobs)
        job->detach();
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

QCoro::Task<> summed(std::vector<std::unique_ptr<PlainJob>> &jobs, int &total)
{
    total = co_await sum(jobs);
}

} // namespace
#endif

// co_await inside QCoro's coroutines, with the work on the global pool: one of them fails.
void tst_Coro::insideQCoroTasks()
{
#ifndef ERRAND_WITH_QCORO
    QSKIP("QCoro not found when this suite was configured");
#else
    std::vector<std::unique_ptr<PlainJob>> jobs;
    for (int i = 1; i <= 4; ++i) {
        jobs.push_back(std::make_unique<PlainJob>());
        jobs.back()->attach(new PoolTask(*jobs.back(), [i](PoolTask::Context &context) -> QVariant {
            if (i == 3)
                context.fail(QStringLiteral("three"));
            return i * 10;
        }));
    }
    int total = 0;
    summed(jobs, total);
    QTRY_COMPARE(total, 10 + 20 - 1000 + 40);
    QCOMPARE(jobs[2]->errorString(), QStringLiteral("three"));
#endif
}

QTEST_GUILESS_MAIN(tst_Coro)
#include "tst_coro.moc"
