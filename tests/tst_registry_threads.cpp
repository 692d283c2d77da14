// The registry under concurrent use. Meant to run under ThreadSanitizer as well as normally.

#include "RegistryTestSupport.h"

#include <WorkerRegistry.h>

#include <QtTest/QtTest>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using namespace RegistryTest;
using namespace TestSupport;

class ThreadHost : public QObject
{
    Q_OBJECT
};

namespace {

constexpr int threadCount = 4;
constexpr int iterations = 300;

QString jobName(int i)
{
    return QStringLiteral("job%1").arg(i % 3);
}

// A job that answers to one of three names, so that threads compete for the same entries.
class NamedJob : public Job
{
public:
    explicit NamedJob(const QString &name)
        : m_name(name)
    { }
    QString name() const override { return m_name; }

private:
    const QString m_name;
};

} // namespace

class tst_RegistryThreads : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { failOnUnexpectedWarnings(); }
    void concurrentUse();
};

void tst_RegistryThreads::concurrentUse()
{
    WorkerRegistry *registry = WorkerRegistry::instance();
    QVERIFY(registry);
    const QString host = QStringLiteral("ThreadHost");
    const QString base = QStringLiteral("QObject");

    // Under the base class every job name always has a factory, so a worker always gets a task
    // (and never warns, which could not be reported from another thread) while the entries of
    // its own class come and go.
    for (int i = 0; i < 3; ++i)
        QVERIFY(registry->registerTask(base, jobName(i), new CountingFactory(QStringLiteral("base")), false));

    ThreadHost object;
    std::atomic<int> fromHost { 0 };
    std::atomic<int> fromBase { 0 };
    std::atomic<int> failures { 0 };

    auto body = [&](int thread) {
        TestWorker worker(&object);
        const QString own = QStringLiteral("own%1").arg(thread);
        for (int i = 0; i < iterations; ++i) {
            const QString name = jobName(i + thread);
            {
                // Our reference keeps a refused factory from leaking and lets the registry's
                // release race with ours.
                const QExplicitlySharedDataPointer<TaskCtor> factory(new CountingFactory(QStringLiteral("host")));
                worker.registerTask(name, factory.data(), i % 2 == 0);
            }
            NamedJob job(name);
            std::unique_ptr<Task> task(worker.createTask(job)); // never referenced: delete directly
            if (!task || task->name() != name)
                ++failures;
            else if (task->objectName() == QLatin1String("host"))
                ++fromHost;
            else if (task->objectName() == QLatin1String("base"))
                ++fromBase;
            else
                ++failures;

            if (registry->workerNames().isEmpty() || worker.jobNames().count(name) > 2)
                ++failures;
            registry->containsTask(host, name, nullptr);
            registry->taskCount(host);
            registry->registerJob(name, JobInfo());
            registry->jobInfo(name);
            registry->jobNames();
            registry->registerWorker(own);
            registry->taskNames(own);
            if (i % 3 == 0)
                registry->unregisterJob(name);
            if (i % 4 == 0)
                registry->unregisterWorker(own);
            if (i % 5 == 0)
                worker.unregisterTask(name);
        }
    };

    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t)
        threads.emplace_back(body, t);
    for (std::thread &thread : threads)
        thread.join();

    QCOMPARE(failures.load(), 0);
    QCOMPARE(fromHost.load() + fromBase.load(), threadCount * iterations);
    QVERIFY(fromHost.load() > 0);

    // Everything the threads left behind is released exactly once.
    QVERIFY(registry->unregisterWorker(host));
    for (int t = 0; t < threadCount; ++t)
        registry->unregisterWorker(QStringLiteral("own%1").arg(t));
    QCOMPARE(CountingFactory::live.loadRelaxed(), 3);
    QVERIFY(registry->unregisterWorker(base));
    QCOMPARE(CountingFactory::live.loadRelaxed(), 0);
    for (int i = 0; i < 3; ++i)
        registry->unregisterJob(jobName(i));
    QCOMPARE(registry->workerCount(), 0);
    QCOMPARE(registry->jobCount(), 0);
}

QTEST_GUILESS_MAIN(tst_RegistryThreads)
#include "tst_registry_threads.moc"
