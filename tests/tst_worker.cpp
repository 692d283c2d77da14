#include "RegistryTestSupport.h"

#include <WorkerRegistry.h>

#include <QtTest/QtTest>

#include <memory>

using namespace RegistryTest;
using namespace TestSupport;

class BaseHost : public QObject
{
    Q_OBJECT
};

class DerivedHost : public BaseHost
{
    Q_OBJECT
};

namespace {

enum FactoryKind { NoFactory, MakesTask, MakesNothing };

QString str(const char *text)
{
    return QString::fromLatin1(text);
}

const QString plainJob = str("TestSupport::PlainJob");

// A worker whose name is not its object's class name.
class RenamedWorker : public TestWorker
{
public:
    using TestWorker::TestWorker;
    QString name() const override { return str("Renamed"); }
};

class CustomNameJob : public Job
{
public:
    QString name() const override { return str("custom.job"); }
};

} // namespace

class tst_Worker : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        failOnUnexpectedWarnings();
        registry = WorkerRegistry::instance();
        QVERIFY(registry);
    }

    void cleanup()
    {
        for (const QString &worker : registry->workerNames())
            registry->unregisterWorker(worker);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(CountingFactory::live.loadRelaxed(), 0);
    }

    void classChain_data();
    void classChain();
    void noTaskWarning()
    {
        // Both names come from the virtual name() functions, not from class names.
        DerivedHost object;
        RenamedWorker worker(&object);
        CustomNameJob job;
        QVERIFY(registry->registerTask(str("DerivedHost"), plainJob, new CountingFactory));
        QTest::ignoreMessage(QtWarningMsg, R"([Worker]: "Renamed" has no registered tasks for "custom.job")");
        QVERIFY(!worker.createTask(job));
    }

    void prepareAndRun_data()
    {
        QTest::addColumn<bool>("run");
        QTest::addColumn<bool>("served");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<int>("state");
        const QStringList attached({ str("job.resultChanged") });
        const QStringList started({ str("job.stateChanged(Running)"), str("job.started") });
        QTest::newRow("prepare") << false << true << attached << int(Job::Ready);
        QTest::newRow("run") << true << true << attached + started << int(Job::Running);
        QTest::newRow("prepare, no factory") << false << false << QStringList() << int(Job::Invalid);
        QTest::newRow("run, no factory") << true << false << QStringList() << int(Job::Invalid);
    }

    void prepareAndRun()
    {
        QFETCH(bool, run);
        QFETCH(bool, served);
        QFETCH(QStringList, expected);
        QFETCH(int, state);
        if (served)
            QVERIFY(registry->registerTask(str("BaseHost"), plainJob, new CountingFactory(str("base"))));
        else
            QTest::ignoreMessage(
                QtWarningMsg, R"([Worker]: "DerivedHost" has no registered tasks for "TestSupport::PlainJob")");
        DerivedHost object;
        TestWorker worker(&object);
        PlainJob job;
        SignalLog log;
        log.watchJob(&job, str("job"));

        if (run)
            worker.run(job);
        else
            worker.prepare(job);
        QCOMPARE(log.entries, expected);
        QCOMPARE(int(job.state()), state);
        QCOMPARE(job.task() != nullptr, served);
        if (served)
            QCOMPARE(static_cast<ManualTask *>(job.task())->startCalls, run ? 1 : 0);
    }

    void nullObject()
    {
        // Every class chain ends with QObject: without an object, even this factory is not reached.
        QVERIFY(registry->registerTask(str("QObject"), plainJob, new CountingFactory));
        TestWorker worker(nullptr);
        PlainJob job;
        const char *invalid = "[Worker]: invalid Object, please implement the object method";

        QTest::ignoreMessage(QtWarningMsg, invalid);
        const QString name = worker.name();
        QVERIFY(name.isNull());

        QTest::ignoreMessage(QtWarningMsg, invalid);
        QVERIFY(!worker.createTask(job));

        QTest::ignoreMessage(QtWarningMsg, invalid);
        QCOMPARE(worker.jobNames(), QStringList());

        const QExplicitlySharedDataPointer<TaskCtor> factory(new CountingFactory);
        QTest::ignoreMessage(QtWarningMsg, invalid);
        QTest::ignoreMessage(QtWarningMsg, "[WorkerRegistry]: can't registerTask for unknown worker");
        QVERIFY(!worker.registerTask(plainJob, factory.data()));
        QCOMPARE(factory->ref.loadRelaxed(), 1);

        QTest::ignoreMessage(QtWarningMsg, invalid);
        QVERIFY(!worker.unregisterTask(plainJob));
        QVERIFY(registry->containsTask(str("QObject"), plainJob));
        QCOMPARE(registry->workerNames(), QStringList({ str("QObject") }));

        QTest::ignoreMessage(QtWarningMsg, invalid);
        worker.run(job);
        QCOMPARE(job.state(), Job::Invalid);
    }

    void jobNamesFollowClassChain()
    {
        auto *f = new CountingFactory;
        for (const char *name : { "a", "b", "shared" })
            QVERIFY(registry->registerTask(str("DerivedHost"), str(name), f));
        for (const char *name : { "c", "shared" })
            QVERIFY(registry->registerTask(str("BaseHost"), str(name), f));
        QVERIFY(registry->registerTask(str("QObject"), str("d"), f));
        QVERIFY(registry->registerTask(str("Unrelated"), str("e"), f));

        DerivedHost object;
        TestWorker worker(&object);
        const QStringList names = worker.jobNames();
        QCOMPARE(names,
            registry->taskNames(str("DerivedHost")) + registry->taskNames(str("BaseHost"))
                + registry->taskNames(str("QObject")));
        QCOMPARE(names.size(), 6);
        QCOMPARE(names.count(str("shared")), 2);

        BaseHost baseObject;
        TestWorker baseWorker(&baseObject);
        QCOMPARE(baseWorker.jobNames(), registry->taskNames(str("BaseHost")) + QStringList({ str("d") }));
    }

    void registerUnderOwnName()
    {
        DerivedHost object;
        TestWorker worker(&object);
        auto *first = new CountingFactory(str("first"));
        const QExplicitlySharedDataPointer<TaskCtor> second(new CountingFactory(str("second")));

        QVERIFY(worker.registerTask(plainJob, first));
        QVERIFY(registry->containsTask(str("DerivedHost"), plainJob, first));
        QVERIFY(!worker.registerTask(plainJob, second.data()));
        QVERIFY(!worker.registerTask(plainJob, second.data(), false));
        QVERIFY(registry->containsTask(str("DerivedHost"), plainJob, first));
        QVERIFY(worker.registerTask(plainJob, second.data(), true));
        QVERIFY(registry->containsTask(str("DerivedHost"), plainJob, second.data()));

        QTest::ignoreMessage(QtWarningMsg, "[WorkerRegistry]: trying to register a null TaskCtor");
        QVERIFY(!worker.registerTask(str("other"), nullptr));

        // A renamed worker registers under its name(), which its class chain never asks for.
        RenamedWorker renamed(&object);
        QVERIFY(renamed.registerTask(str("x"), new CountingFactory));
        QVERIFY(registry->containsTask(str("Renamed"), str("x")));
        QVERIFY(!renamed.jobNames().contains(str("x")));
    }

    void unregisterRemovesAnyFactory()
    {
        DerivedHost object;
        TestWorker worker(&object);
        QVERIFY(registry->registerTask(str("DerivedHost"), plainJob, new CountingFactory));
        QVERIFY(registry->registerTask(str("BaseHost"), plainJob, new CountingFactory));
        QVERIFY(worker.unregisterTask(plainJob));
        QCOMPARE(CountingFactory::live.loadRelaxed(), 1);
        QVERIFY(!worker.unregisterTask(plainJob));
        QVERIFY(registry->containsTask(str("BaseHost"), plainJob)); // only under name()
        QVERIFY(registry->containsWorker(str("DerivedHost")));
    }

private:
    WorkerRegistry *registry = nullptr;
};

void tst_Worker::classChain_data()
{
    QTest::addColumn<int>("derived");
    QTest::addColumn<int>("base");
    QTest::addColumn<QString>("madeBy"); // empty: no task at all
    QTest::addColumn<int>("baseCalls");

    QTest::newRow("derived only") << int(MakesTask) << int(NoFactory) << str("derived") << 0;
    QTest::newRow("both: derived wins") << int(MakesTask) << int(MakesTask) << str("derived") << 0;
    QTest::newRow("base only") << int(NoFactory) << int(MakesTask) << str("base") << 1;
    QTest::newRow("derived null, base") << int(MakesNothing) << int(MakesTask) << str("base") << 1;
    QTest::newRow("derived null only") << int(MakesNothing) << int(NoFactory) << QString() << 0;
    QTest::newRow("both null") << int(MakesNothing) << int(MakesNothing) << QString() << 1;
    QTest::newRow("none") << int(NoFactory) << int(NoFactory) << QString() << 0;
}

void tst_Worker::classChain()
{
    QFETCH(int, derived);
    QFETCH(int, base);
    QFETCH(QString, madeBy);
    QFETCH(int, baseCalls);

    CountingFactory *baseFactory = nullptr;
    if (derived != NoFactory)
        QVERIFY(registry->registerTask(
            str("DerivedHost"), plainJob, new CountingFactory(str("derived"), derived == MakesTask)));
    if (base != NoFactory) {
        baseFactory = new CountingFactory(str("base"), base == MakesTask);
        QVERIFY(registry->registerTask(str("BaseHost"), plainJob, baseFactory));
    }

    DerivedHost object;
    TestWorker worker(&object);
    PlainJob job;
    if (madeBy.isEmpty())
        QTest::ignoreMessage(
            QtWarningMsg, R"([Worker]: "DerivedHost" has no registered tasks for "TestSupport::PlainJob")");
    const std::unique_ptr<Task> task(worker.createTask(job));
    QCOMPARE(task ? task->objectName() : QString(), madeBy);
    if (task) {
        QCOMPARE(task->name(), plainJob);
        QCOMPARE(task->state(), Job::Ready);
    }
    if (baseFactory)
        QCOMPARE(baseFactory->calls.loadRelaxed(), baseCalls);
}

QTEST_GUILESS_MAIN(tst_Worker)
#include "tst_worker.moc"
