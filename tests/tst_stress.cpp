// Cross-thread use as applications meet it, at volume (CI runs it again under ThreadSanitizer):
//
//  - tasks that live in worker threads (moveToThread) and finish there, while their jobs, their
//    queues and a list model live in the test thread;
//  - the registry used by several threads at once while a plug-in whose static objects register
//    a factory and a job description is loaded and unloaded with QLibrary.
//
// ERRAND_STRESS_SCALE (default 1) scales the amount of work, e.g. 0.05 under valgrind.

#include "TestSupport.h"

#include <JobInfo.h>
#include <ObjectWorker.h>
#include <WorkQueueListModel.h>
#include <Worker.h>
#include <WorkerRegistry.h>

#include <QtCore/QLibrary>
#include <QtCore/QMutex>
#include <QtCore/QReadWriteLock>
#include <QtCore/QThread>
#include <QtTest/QtTest>

#include <atomic>
#include <map>
#include <memory>
#include <vector>

// Described in the job table by the hammer threads; never instantiated.
class HammerJob : public Job
{
    Q_OBJECT
    Q_CLASSINFO("description", "hammer")
    Q_PROPERTY(int weight MEMBER weight)
public:
    int weight = 0;
};

namespace {

int scaled(int n)
{
    bool ok = false;
    const double scale = qEnvironmentVariable("ERRAND_STRESS_SCALE").toDouble(&ok);
    return qMax(1, int(n * (ok && scale > 0 ? scale : 1.0)));
}

// Failures seen on any thread, reported by the test thread (QtTest's macros are not thread-safe).
class Failures
{
public:
    void add(const QString &what)
    {
        QMutexLocker lock(&m_mutex);
        if (m_list.size() < 10)
            m_list.append(what);
    }
    QString text() const
    {
        QMutexLocker lock(&m_mutex);
        return m_list.join(QLatin1Char('\n'));
    }

private:
    mutable QMutex m_mutex;
    QStringList m_list;
};

Failures failures;

// --- tasks in worker threads -----------------------------------------------------------------

std::atomic<int> liveThreadTasks{0};

class SumJob : public Job
{
    Q_OBJECT
public:
    SumJob(int upTo, bool fails) : upTo(upTo), fails(fails) {}
    const int upTo;
    const bool fails;
};

// Sums 1..upTo in steps on the thread it was moved to, so that an abort can land in between.
class ThreadTask : public Task
{
    Q_OBJECT
    Q_PROPERTY(int result READ result NOTIFY resultChanged)
public:
    ThreadTask(const SumJob &job, QThread *thread) : Task(job), m_upTo(job.upTo), m_fails(job.fails)
    {
        setObjectName(job.objectName());
        ++liveThreadTasks;
        moveToThread(thread);
    }
    ~ThreadTask() override
    {
        if (QThread::currentThread() != thread())
            failures.add(QStringLiteral("task deleted outside its thread: ") + objectName());
        --liveThreadTasks;
    }

    // Called on the queue's thread: only hands the work to the task's own thread.
    void start() override { QMetaObject::invokeMethod(this, [this] { step(); }, Qt::QueuedConnection); }
    // Called on the queue's thread too (autoAbort): the state machine runs on the task's thread.
    void abort() override
    {
        QMetaObject::invokeMethod(this, [this] {
            if (!isFinished())
                Task::abort();
        }, Qt::QueuedConnection);
    }
    int result() const { return m_sum; }

private:
    void step()
    {
        if (QThread::currentThread() != thread())
            failures.add(QStringLiteral("task ran outside its thread: ") + objectName());
        if (isFinished())
            return; // aborted between two steps
        if (!isRunning())
            setState(Job::Running);
        for (const int end = qMin(m_next + 64, m_upTo + 1); m_next < end; ++m_next)
            m_sum += m_next;
        if (m_next <= m_upTo) {
            QMetaObject::invokeMethod(this, [this] { step(); }, Qt::QueuedConnection);
            return;
        }
        Q_EMIT resultChanged();
        if (m_fails)
            fail(QStringLiteral("asked to fail"));
        else
            setState(Job::Finished);
    }

    const int m_upTo;
    const bool m_fails;
    int m_next = 1;
    int m_sum = 0;
};

class ThreadTaskFactory : public TaskCtor
{
public:
    explicit ThreadTaskFactory(std::vector<QThread *> threads) : m_threads(std::move(threads)) {}
    Task *create(Worker &, const Job &job) override
    {
        const auto *sum = qobject_cast<const SumJob *>(&job);
        return sum ? new ThreadTask(*sum, m_threads.at(m_next++ % m_threads.size())) : nullptr;
    }

private:
    const std::vector<QThread *> m_threads;
    std::atomic<unsigned> m_next{0};
};

class StressAnchor : public QObject
{
    Q_OBJECT
};

// What the test thread saw a queue do, in order: enqueues and finishes.
struct QueueEvent
{
    bool finish;
    QString task;
    uint priority;
    Job::Error error;
};

// Replays a queue's events through a reference of the queue's rules and checks the order in
// which tasks finished and which of them could have been aborted.
void verifyRunOrder(const std::vector<QueueEvent> &events, bool autoAbort, const std::map<QString, Job::Error> &planned)
{
    std::map<std::pair<qint64, uint>, QString> waiting; // (-priority, sequence) -> task
    std::map<QString, uint> priorities;
    QString current;
    QSet<QString> abortable;
    uint sequence = 0;
    int finished = 0;
    for (const QueueEvent &e : events) {
        if (!e.finish) {
            priorities[e.task] = e.priority;
            if (current.isEmpty()) {
                current = e.task;
                continue;
            }
            waiting.emplace(std::make_pair(-qint64(e.priority), ++sequence), e.task);
            if (autoAbort && e.priority > priorities[current])
                abortable.insert(current);
            continue;
        }
        ++finished;
        QCOMPARE(e.task, current);
        const Job::Error expected = planned.at(e.task);
        // An abort only wins if it reaches the task's thread before the last step has run.
        if (!(e.error == expected || (e.error == Job::Aborted && abortable.contains(e.task))))
            QFAIL(qPrintable(e.task + QStringLiteral(" finished with ") + Job::toString(e.error)));
        current.clear();
        if (!waiting.empty()) {
            current = waiting.begin()->second;
            waiting.erase(waiting.begin());
        }
    }
    QVERIFY(current.isEmpty());
    QCOMPARE(finished, int(planned.size()));
}

// --- the registry under load -----------------------------------------------------------------

std::atomic<int> liveFactories{0};

class HammerTask : public Task
{
    Q_OBJECT
public:
    using Task::Task;
    void start() override {}
};

class NamedJob : public Job
{
    Q_OBJECT
public:
    explicit NamedJob(const QString &name) : m_name(name) {}
    QString name() const override { return m_name; }

private:
    const QString m_name;
};


// Counts itself, and notices being deleted while another thread is inside create().
class HammerFactory : public TaskCtor
{
public:
    HammerFactory() { ++liveFactories; }
    ~HammerFactory() override
    {
        if (m_inCreate.load())
            failures.add(QStringLiteral("factory deleted while create() runs"));
        --liveFactories;
    }
    Task *create(Worker &, const Job &job) override
    {
        ++m_inCreate;
        Task *task = new HammerTask(job);
        QThread::yieldCurrentThread(); // widen the window in which a replacement could delete us
        --m_inCreate;
        return task;
    }

private:
    std::atomic<int> m_inCreate{0};
};

class StressWorker : public Worker
{
public:
    QObject *object() override { return &m_object; }

private:
    QObject m_object;
};

struct Hammer
{
    std::atomic<bool> stop{false};
    std::atomic<bool> pluginLoaded{false};
    std::atomic<int> pluginUses{0};
    std::atomic<int> rounds{0};
    QReadWriteLock pluginLock; // the application's own guard: no plug-in code runs while it unloads
};

void check(bool ok, const QString &what)
{
    if (!ok)
        failures.add(what);
}

void hammerRegistry(int id, Hammer &h)
{
    WorkerRegistry *registry = WorkerRegistry::instance();
    StressWorker worker;
    const QString shared = QStringLiteral("StressShared");
    const QString own = QStringLiteral("StressOwn%1").arg(id);
    const QString pluginWorker = QStringLiteral("StressPluginWorker");
    const QString pluginJobName = QStringLiteral("StressPluginJob");
    NamedJob sharedJob(QStringLiteral("SharedJob"));
    NamedJob pluginJob(pluginJobName);

    while (!h.stop.load()) {
        // Every thread replaces the one shared factory while the others create from it.
        check(registry->registerTask(shared, sharedJob.name(), new HammerFactory, true), QStringLiteral("replace refused"));
        Task *task = registry->createTask(worker, shared, sharedJob);
        check(task && task->name() == sharedJob.name(), QStringLiteral("shared factory made no task"));
        delete task; // never referenced: its creator owns it

        // A worker only this thread changes: every answer is known.
        check(registry->registerWorker(own), own + QStringLiteral(" already present"));
        for (int k = 0; k < 4; ++k) {
            const QString name = QStringLiteral("Own%1").arg(k);
            const QExplicitlySharedDataPointer<TaskCtor> first(new HammerFactory);
            const QExplicitlySharedDataPointer<TaskCtor> second(new HammerFactory);
            check(registry->registerTask(own, name, first.data()), QStringLiteral("own registration refused"));
            check(!registry->registerTask(own, name, second.data()), QStringLiteral("duplicate accepted"));
            check(registry->containsTask(own, name, first.data()), QStringLiteral("own factory lost"));
        }
        QStringList names = registry->taskNames(own);
        names.sort();
        check(names == QStringList({QStringLiteral("Own0"), QStringLiteral("Own1"), QStringLiteral("Own2"), QStringLiteral("Own3")}),
              QStringLiteral("own task names: ") + names.join(QLatin1Char(',')));
        check(registry->unregisterTask(own, QStringLiteral("Own1")) && registry->taskCount(own) == 3,
              QStringLiteral("own unregisterTask"));
        check(registry->workerNames().contains(own), QStringLiteral("own worker not listed"));
        check(registry->unregisterWorker(own) && !registry->containsWorker(own) && registry->taskCount(own) == 0,
              QStringLiteral("own unregisterWorker"));

        registry->registerJob(own, JobInfo(HammerJob::staticMetaObject));
        check(registry->jobInfo(own).properties().value(QStringLiteral("weight")) == QLatin1String("int"),
              QStringLiteral("own job description lost"));
        check(registry->unregisterJob(own) && registry->jobInfo(own).isNull(), QStringLiteral("own unregisterJob"));

        // The plug-in's factory is called only while the plug-in is certainly loaded.
        {
            const QReadLocker lock(&h.pluginLock);
            if (h.pluginLoaded.load()) {
                Task *pluginTask = registry->createTask(worker, pluginWorker, pluginJob);
                check(pluginTask, QStringLiteral("loaded plug-in made no task"));
                if (pluginTask) {
                    pluginTask->start();
                    check(pluginTask->isFinished(), QStringLiteral("plug-in task did not run"));
                    delete pluginTask; // before the plug-in can go
                }
                ++h.pluginUses;
            } else {
                check(!registry->containsTask(pluginWorker, pluginJobName),
                      QStringLiteral("factory of an unloaded plug-in still registered"));
            }
        }
        ++h.rounds;
    }
}

// Spins (yielding, never sleeping) until @p done, or until a hammer thread has failed.
template<typename Done>
void yieldUntil(Done done)
{
    while (!done() && failures.text().isEmpty())
        QThread::yieldCurrentThread();
}

} // namespace

class tst_Stress : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // No qRegisterMetaType() here: the library's signals must cross threads as they are.
    void initTestCase() { TestSupport::failOnUnexpectedWarnings(); }
    void cleanup() { QVERIFY2(failures.text().isEmpty(), qPrintable(failures.text())); }

    void tasksFinishInWorkerThreads();
    void registryUnderLoadWhilePluginReloads();
};

void tst_Stress::tasksFinishInWorkerThreads()
{
    const int perQueue = scaled(1000);
    std::vector<std::unique_ptr<QThread>> threads;
    std::vector<QThread *> threadPointers;
    for (int i = 0; i < 3; ++i) {
        threads.push_back(std::make_unique<QThread>());
        threads.back()->start();
        threadPointers.push_back(threads.back().get());
    }
    auto stopThreads = qScopeGuard([&threads] {
        for (auto &thread : threads) {
            thread->quit();
            thread->wait();
        }
    });

    WorkerRegistry *registry = WorkerRegistry::instance();
    QVERIFY(registry->registerTask(QStringLiteral("StressAnchor"), QStringLiteral("SumJob"),
                                   new ThreadTaskFactory(threadPointers), true));
    StressAnchor anchor;

    std::vector<std::unique_ptr<ObjectWorker>> queues;
    std::vector<std::vector<QueueEvent>> events(3);
    std::map<QString, Job::Error> planned[3];
    std::vector<QString> finishOrder0;
    int finishedTotal = 0;
    int jobFinishes = 0;
    std::vector<std::unique_ptr<SumJob>> jobs;

    const auto enqueue = [&](int q, int k, uint priority, bool keepJob) {
        const QString name = QStringLiteral("q%1.t%2").arg(q).arg(k);
        auto job = std::make_unique<SumJob>(100 + (k * 37) % 400, k % 9 == 4);
        job->setObjectName(name);
        planned[q][name] = job->fails ? Job::Failed : Job::NoError;
        events[q].push_back({false, name, priority, Job::NoError});
        if (keepJob) {
            connect(job.get(), &Job::finished, this, [&jobFinishes] { ++jobFinishes; });
            QVERIFY(queues[q]->enqueue(*job, priority));
            jobs.push_back(std::move(job));
        } else {
            QVERIFY(queues[q]->enqueue(static_cast<const Job &>(*job), priority)); // the job is not needed later
        }
    };

    for (int q = 0; q < 3; ++q) {
        queues.push_back(std::make_unique<ObjectWorker>(&anchor));
        ObjectWorker *queue = queues.back().get();
        queue->setAutoAbort(q == 2);
        connect(queue, &WorkQueue::finished, this, [&, q, queue](Job::Error error) {
            if (QThread::currentThread() != thread())
                failures.add(QStringLiteral("queue finished() outside the queue's thread"));
            const Task *task = queue->current(); // still held while finished() is emitted
            events[q].push_back({true, task ? task->objectName() : QString(), 0, error});
            if (q == 0)
                finishOrder0.push_back(task ? task->objectName() : QString());
            ++finishedTotal;
        });
    }
    // Urgent work arrives while the autoAbort queue runs: it aborts whatever runs at that moment.
    int urgent = 0;
    connect(queues[2].get(), &WorkQueue::started, this, [&] {
        if (urgent < perQueue / 50 && queues[2]->queue().size() % 7 == 3) {
            ++urgent;
            enqueue(2, perQueue + urgent, uint(100000 + urgent), true);
        }
    });

    WorkQueueListModel model(queues[0].get());
    model.setMaxFinishedTasks(5);

    for (int k = 0; k < perQueue; ++k) {
        enqueue(0, k, uint((k * 7) % 5), k % 4 != 0);
        enqueue(1, k, uint(k % 3), true);
        enqueue(2, k, uint(k), k % 2 == 0);
    }

    const int total = 3 * perQueue;
    QTRY_VERIFY_WITH_TIMEOUT(finishedTotal == total + urgent, 120000);
    for (int q = 0; q < 3; ++q) {
        verifyRunOrder(events[q], q == 2, planned[q]);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(queues[q]->queue().isEmpty() && !queues[q]->current());
    }

    // Jobs mirror their tasks; the tasks' results were written on their own threads.
    QCOMPARE(jobFinishes, int(jobs.size()));
    for (const auto &job : jobs) {
        QCOMPARE(job->state(), Job::Finished);
        if (job->error() == Job::Aborted)
            continue;
        QCOMPARE(job->error(), job->fails ? Job::Failed : Job::NoError);
        QCOMPARE(job->result().toInt(), job->upTo * (job->upTo + 1) / 2);
    }

    // The model keeps the five most recently finished tasks of its queue, newest first.
    QCOMPARE(model.rowCount(), 5);
    for (int r = 0; r < 5; ++r)
        QCOMPARE(model.task(r)->objectName(), finishOrder0.at(finishOrder0.size() - 1 - size_t(r)));

    // Releasing the last references hands every task to its own thread's event loop. The jobs
    // detach first: a job's QObject destructor, which runs after the job has released its task,
    // still reads the task while cutting its connections, and only Qt's own locks (invisible to
    // ThreadSanitizer) order that against the task's deletion on its thread.
    model.clear();
    for (const auto &job : jobs)
        job->detach();
    jobs.clear();
    queues.clear();
    QTRY_COMPARE_WITH_TIMEOUT(liveThreadTasks.load(), 0, 120000);
    QVERIFY(registry->unregisterWorker(QStringLiteral("StressAnchor")));
}

void tst_Stress::registryUnderLoadWhilePluginReloads()
{
    WorkerRegistry *registry = WorkerRegistry::instance();
    const QString pluginWorker = QStringLiteral("StressPluginWorker");
    const QString pluginJob = QStringLiteral("StressPluginJob");
    QLibrary plugin(QStringLiteral(ERRAND_STRESS_PLUGIN));
    QVERIFY(!registry->containsTask(pluginWorker, pluginJob));

    Hammer h;
    std::vector<std::unique_ptr<QThread>> threads;
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back(QThread::create([i, &h] { hammerRegistry(i, h); }));
        threads.back()->start();
    }
    auto join = qScopeGuard([&] {
        h.stop = true;
        for (auto &thread : threads)
            thread->wait();
        QWriteLocker lock(&h.pluginLock);
        if (plugin.isLoaded())
            plugin.unload();
    });

    const int cycles = scaled(40);
    for (int cycle = 0; cycle < cycles; ++cycle) {
        {
            QWriteLocker lock(&h.pluginLock);
            QVERIFY2(plugin.load(), qPrintable(plugin.errorString()));
            // Loading ran the plug-in's static registrations.
            QVERIFY(registry->containsTask(pluginWorker, pluginJob));
            QCOMPARE(registry->jobInfo(pluginJob).description(), QStringLiteral("Job served by the stress plug-in"));
            QCOMPARE(registry->jobInfo(pluginJob).properties().value(QStringLiteral("size")), QStringLiteral("int"));
            const auto liveFactories = reinterpret_cast<int (*)()>(plugin.resolve("errandStressPluginLiveFactories"));
            QVERIFY(liveFactories);
            QCOMPARE(liveFactories(), 1); // the one the registry holds
            h.pluginLoaded = true;
        }
        const int uses = h.pluginUses.load();
        yieldUntil([&] { return h.pluginUses.load() >= uses + 10; });
        {
            QWriteLocker lock(&h.pluginLock);
            h.pluginLoaded = false;
            QVERIFY(plugin.unload());
            // Unloading ran the plug-in's static destructors, which withdrew its entries.
            QVERIFY(!registry->containsTask(pluginWorker, pluginJob));
            QVERIFY(registry->jobInfo(pluginJob).isNull());
        }
        const int rounds = h.rounds.load();
        yieldUntil([&] { return h.rounds.load() >= rounds + 10; });
        QVERIFY2(failures.text().isEmpty(), qPrintable(failures.text()));
    }
    join.dismiss();
    h.stop = true;
    for (auto &thread : threads)
        thread->wait();

    QVERIFY(registry->unregisterWorker(QStringLiteral("StressShared")));
    QVERIFY(registry->unregisterWorker(pluginWorker));
    QCOMPARE(liveFactories.load(), 0); // every replaced, refused and removed factory was deleted
    for (int i = 0; i < 3; ++i)
        QVERIFY(!registry->containsWorker(QStringLiteral("StressOwn%1").arg(i)));
}

QTEST_GUILESS_MAIN(tst_Stress)
#include "tst_stress.moc"
