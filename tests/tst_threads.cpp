// Cross-thread use as applications meet it (CI runs this suite again under ThreadSanitizer):
// tasks that live in worker threads and finish there while their jobs, queues and a list model
// live in the test thread; progress reported from other threads; and the registry used by
// several threads at once while a plug-in that registers from static objects is loaded and
// unloaded.

#include "TestSupport.h"

#include <JobInfo.h>
#include <ObjectWorker.h>
#include <TaskFactory.h>
#include <WorkQueueListModel.h>
#include <WorkQueueTaskModel.h>
#include <WorkerRegistry.h>

#include <QtCore/QAbstractEventDispatcher>
#include <QtTest/QtTest>

#include <thread>

using namespace TestSupport;

namespace {

std::atomic<int> liveTasks { 0 };
std::atomic<int> wrongThread { 0 };

// Job k sums 1..upTo(k) and fails when k % 9 == 4.
int upTo(int k)
{
    return 100 + (k * 37) % 400;
}

// Does its job on the thread it was moved to: start(), called on the queue's thread, only
// hands the work over.
class ThreadTask : public Task
{
    Q_OBJECT
    Q_PROPERTY(int result MEMBER m_sum NOTIFY resultChanged)
public:
    ThreadTask(const Job &job, QThread *thread)
        : Task(job)
    {
        ++liveTasks;
        setObjectName(job.objectName());
        moveToThread(thread);
    }
    ~ThreadTask() override
    {
        wrongThread += QThread::currentThread() != thread();
        --liveTasks;
    }
    void start() override { QMetaObject::invokeMethod(this, &ThreadTask::run, Qt::QueuedConnection); }

private:
    void run()
    {
        const int k = objectName().toInt();
        setState(Job::Running);
        setProgressText(QStringLiteral("summing"));
        for (int i = 1; i <= upTo(k); ++i) {
            m_sum += i;
            setProgress(i, upTo(k));
        }
        Q_EMIT resultChanged();
        k % 9 == 4 ? fail(QStringLiteral("asked to fail")) : setState(Job::Finished);
    }
    int m_sum = 0;
};

} // namespace

class TstThreads : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void tasksFinishInWorkerThreads_data()
    {
        QTest::addColumn<int>("lanes");
        QTest::newRow("one lane") << 1;
        QTest::newRow("three lanes") << 3; // finishing in any order
    }
    void tasksFinishInWorkerThreads();
    void registryWhilePluginReloads();

    // A thread reports many times while the task's thread is busy: one signal, with the last
    // values. A task deleted with an update on its way takes the event along.
    void reportFromAnotherThread()
    {
        PlainJob job;
        auto *task = new ManualTask(job);
        job.attach(task);
        QSignalSpy spy(&job, &Job::progressChanged);
        constexpr qint64 Calls = 100000;
        std::thread([task] {
            for (qint64 i = 1; i <= Calls; ++i)
                task->doSetProgress(i, Calls);
        }).join();
        QCoreApplication::sendPostedEvents();
        QCOMPARE(spy.count() == 1 ? spy.at(0).at(0).toLongLong() : -1, Calls);
        auto *lone = new ManualTask(job); // held by nothing
        QSignalSpy heard(lone, &Task::progressChanged);
        std::thread([lone] { lone->doSetProgress(1, 2); }).join();
        delete lone;
        QCoreApplication::sendPostedEvents();
        QCOMPARE(heard.count(), 0);
    }

    // The task finishes while another thread reports: the values it finished with are the last
    // it emits, and what it reads afterwards. A report that lost the race warns at most once. A
    // timeout set from that thread starts its clock in the task's.
    void finishWhileReporting()
    {
        static int warnings = 0;
        static const QtMessageHandler previous
            = qInstallMessageHandler([](QtMsgType t, const QMessageLogContext &c, const QString &m) {
                  m == QLatin1String("[Task]: ignoring progress of a finished task") ? void(++warnings)
                                                                                     : previous(t, c, m);
              });
        PlainJob job;
        auto *task = new ManualTask(job);
        job.attach(task);
        SignalLog log;
        log.watchTask(task, QStringLiteral("x"));
        task->doSetState(Job::Running);
        std::atomic<bool> stop { false };
        std::thread reporter([&] {
            task->setTimeout(60000);
            for (qint64 i = 1; !stop; ++i)
                task->doSetProgress(i, 0);
        });
        while (task->processed() < 1000)
            QThread::yieldCurrentThread();
        QCoreApplication::sendPostedEvents();
        const auto timers = QAbstractEventDispatcher::instance()->registeredTimers(task);
        QCOMPARE(timers.size() == 1 ? timers.at(0).interval : 0, 60000);
        task->doSetState(Job::Finished);
        stop = true;
        reporter.join();
        QCoreApplication::sendPostedEvents();
        qInstallMessageHandler(previous);
        QCOMPARE(log.entries.mid(log.entries.size() - 3).join(QLatin1Char(' ')) + QString::number(warnings <= 1),
            QStringLiteral("x.progressChanged(%1,0) x.stateChanged(Finished) x.finished(NoError)1")
                .arg(task->processed()));
    }
};

void TstThreads::tasksFinishInWorkerThreads()
{
    QFETCH(int, lanes);
    QThread threads[2];
    for (QThread &thread : threads)
        thread.start();
    auto stop = qScopeGuard([&threads] {
        for (QThread &thread : threads) {
            thread.quit();
            thread.wait();
        }
    });
    int made = 0;
    QVERIFY(WorkerRegistry::instance()->registerTask(QStringLiteral("QTimer"), PlainJob().name(),
        makeTaskFactory([&](const Job &job) -> Task * { return new ThreadTask(job, &threads[made++ % 2]); })));
    QTimer anchor;
    auto queue = std::make_unique<ObjectWorker>(&anchor);
    WorkQueueListModel model(queue.get());
    model.setMaxFinishedTasks(5);
    // A view reads every field of a row whenever it changes, while the task's thread works on it
    // and reports its progress.
    const WorkQueueTaskModel view(&model, true);
    connect(&view, &QAbstractItemModel::dataChanged, this, [&view](const QModelIndex &changed) {
        for (int role = Qt::DisplayRole; role <= WorkQueueTaskModel::ProgressTextRole; ++role)
            for (int column = 0; column < view.columnCount(); ++column)
                view.index(changed.row(), column).data(role);
    });
    queue->setMaxRunning(lanes);
    QStringList finishOrder;
    int tooMany = 0;
    connect(queue.get(), &WorkQueue::taskFinished, this, [&](const WorkQueue::TaskPtr &task) {
        finishOrder.append(task->objectName());
        tooMany += queue->running().size() > lanes;
    });

    // All queued before the event loop runs.
    std::vector<std::unique_ptr<PlainJob>> jobs;
    QStringList expected;
    for (int k = 0; k < 600; ++k) {
        jobs.push_back(std::make_unique<PlainJob>());
        jobs.back()->setObjectName(QString::number(k));
        QVERIFY(queue->enqueue(*jobs.back(), uint(k % 5)));
        expected.append(QString::number(k));
    }
    // The first starts at once, the rest by priority, first in first out.
    std::stable_sort(
        expected.begin() + 1, expected.end(), [](auto a, auto b) { return a.toInt() % 5 > b.toInt() % 5; });
    QTRY_COMPARE_WITH_TIMEOUT(finishOrder.size(), 600, 120000);
    QCOMPARE(tooMany, 0);
    const QStringList finished = finishOrder;
    QCOMPARE(model.rowCount(), 5);
    if (lanes > 1) // each once, in whichever order the threads finished them
        std::sort(expected.begin(), expected.end()), std::sort(finishOrder.begin(), finishOrder.end());
    QCOMPARE(finishOrder, expected);
    for (int k = 0; k < 600; ++k) {
        QCOMPARE(jobs[k]->error(), k % 9 == 4 ? Job::Failed : Job::NoError);
        QCOMPARE(jobs[k]->result().toInt(), upTo(k) * (upTo(k) + 1) / 2);
    }
    for (int r = 0; r < 5; ++r) {
        // With lanes, a pass moves every row whose task it finds finished, also in another thread
        // before the queue has heard of it.
        QVERIFY(lanes > 1 || model.task(r)->objectName() == finished.at(599 - r));
        const int k = model.task(r)->objectName().toInt();
        QCOMPARE(view.index(r, WorkQueueTaskModel::ResultColumn).data().toInt(), upTo(k) * (upTo(k) + 1) / 2);
        QCOMPARE(view.index(r, WorkQueueTaskModel::ProgressColumn).data().toString(), QStringLiteral("100%"));
        QCOMPARE(view.index(r, 0).data(WorkQueueTaskModel::ProcessedRole).toInt(), upTo(k));
    }

    // The last releases hand every task to its own thread's event loop. The jobs detach first:
    // a job's QObject destructor still reads the task, ordered only by Qt's own locks.
    model.clear();
    for (const auto &job : jobs)
        job->detach();
    jobs.clear();
    queue.reset();
    QTRY_COMPARE_WITH_TIMEOUT(liveTasks.load(), 0, 60000);
    QCOMPARE(wrongThread.load(), 0);
    QVERIFY(WorkerRegistry::instance()->unregisterWorker(QStringLiteral("QTimer")));
}

void TstThreads::registryWhilePluginReloads()
{
    WorkerRegistry *registry = WorkerRegistry::instance();
    const QString pluginWorker = QStringLiteral("PluginService"), pluginJob = QStringLiteral("PluginJob");
    QPluginLoader plugin(QStringLiteral(ERRAND_TEST_PLUGIN));
    plugin.setLoadHints({}); // Qt 6 loads plug-ins with PreventUnloadHint unless told otherwise
    QReadWriteLock pluginLock; // the application's guard: nothing reads the plug-in's state while it unloads
    std::atomic<bool> loaded { false }, stop { false };
    std::atomic<int> rounds { 0 }, failures { 0 };

    const auto hammer = [&](int id) {
        TestWorker worker(nullptr);
        const QString own = QStringLiteral("Own%1").arg(id), shared = QStringLiteral("Shared");
        const PlainJob job;
        while (!stop) {
            // Every thread replaces the one shared factory while the others create from it.
            failures += !registry->registerTask(shared, job.name(), new CountingFactory, true);
            delete registry->createTask(worker, shared, job);
            // A worker only this thread changes: every answer is known.
            failures += !registry->registerTask(own, job.name(), new CountingFactory)
                || !registry->unregisterWorker(own) || registry->containsWorker(own)
                || !registry->workerNames().contains(QStringLiteral("Shared"));
            {
                const QReadLocker lock(&pluginLock);
                failures += registry->containsTask(pluginWorker, pluginJob) != loaded
                    || registry->jobInfo(pluginJob).isNull() == loaded;
            }
            ++rounds;
        }
        ++rounds; // the thread's last access: see the end of the test
    };
    std::unique_ptr<QThread> threads[3];
    for (int i = 0; i < 3; ++i) {
        threads[i].reset(QThread::create(hammer, i));
        threads[i]->start();
    }
    const auto mapped = [&plugin] {
        QFile maps(QStringLiteral("/proc/self/maps"));
        return maps.open(QIODevice::ReadOnly) && maps.readAll().contains(QFile::encodeName(plugin.fileName()));
    };
    const auto waitRounds = [&] {
        const int until = rounds + 30;
        while (rounds < until)
            QThread::yieldCurrentThread();
    };
    ObjectWorker worker(nullptr);
    WorkQueueListModel rows(&worker);
    const WorkQueueTaskModel view(&rows);
    for (int cycle = 0; cycle < 25; ++cycle) {
        {
            const QWriteLocker lock(&pluginLock);
            QVERIFY2(plugin.load() && mapped(), qPrintable(plugin.errorString()));
            loaded = true;
        }
        QObject *service = plugin.instance();
        int factories = 0;
        QVERIFY(QMetaObject::invokeMethod(service, "liveFactories", Q_RETURN_ARG(int, factories)));
        QCOMPARE(factories, 1); // the one the registry holds
        {
            // A job made by name runs on a queue for the plug-in's service object, shown by the
            // models; the rows hold its task until they are cleared.
            worker.setObject(service);
            const std::unique_ptr<Job> job(registry->createJob(pluginJob, { { QStringLiteral("count"), cycle } }));
            QVERIFY(job && job->property("count") == cycle && worker.enqueue(*job));
            QVERIFY(job->state() == Job::Finished && job->error() == Job::NoError);
            QVERIFY(view.rowCount() == 1 && view.index(0, 0).data(WorkQueueTaskModel::StateRole) == Job::Finished);
            rows.clear();
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        waitRounds();
        const QWriteLocker lock(&pluginLock);
        QVERIFY(plugin.unload());
        loaded = false;
        QVERIFY(!mapped()); // really gone; its static destructor withdrew its entries (the hammers check)
        QTest::ignoreMessage(QtWarningMsg, R"([WorkerRegistry]: no job class registered as "PluginJob")");
        QVERIFY(!registry->createJob(pluginJob));
        rows.setWorkQueue(&worker); // followed again after the clearing
    }
    waitRounds();
    stop = true;
    for (auto &thread : threads)
        thread->wait();
    // QThread::wait() orders nothing that ThreadSanitizer sees; reading the last round does, for
    // every thread, so that the next test may use this stack again.
    rounds.load(std::memory_order_acquire);
    QCOMPARE(failures.load(), 0);
    QVERIFY(registry->unregisterWorker(QStringLiteral("Shared")));
    QVERIFY(registry->unregisterWorker(pluginWorker));
    QCOMPARE(CountingFactory::live.loadRelaxed(), 0); // every replaced and removed factory was deleted
}

QTEST_GUILESS_MAIN(TstThreads)
#include "tst_threads.moc"
