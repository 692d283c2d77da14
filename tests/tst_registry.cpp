#include "RegistryTestSupport.h"

#include <JobInfo.h>
#include <TaskFactory.h>
#include <WorkerRegistry.h>

#include <QtTest/QtTest>

#include <memory>

using namespace RegistryTest;
using namespace TestSupport;

namespace {

QString str(const char *text)
{
    return QString::fromLatin1(text);
}

QStringList sorted(QStringList names)
{
    names.sort();
    return names;
}

int live()
{
    return CountingFactory::live.loadRelaxed();
}

using FactoryPtr = QExplicitlySharedDataPointer<TaskCtor>;

// Every refused or missed operation; see refusalsChangeNothing.
// clang-format off
enum Refusal {
    RegisterWorkerEmpty, RegisterWorkerNull, RegisterWorkerDuplicate, UnregisterWorkerEmpty, UnregisterWorkerUnknown,
    RegisterTaskNullCtor, RegisterTaskEmptyWorker, RegisterTaskNullCtorEmptyWorker, RegisterTaskOtherCtorNoReplace,
    UnregisterTaskUnknownWorker, UnregisterTaskEmptyWorker, UnregisterTaskUnknownTask, UnregisterTaskOtherCtor,
    ContainsTaskUnknownWorker, ContainsTaskUnknownTask, ContainsTaskOtherCtor, CreateTaskUnknownWorker,
    CreateTaskUnknownJob, UnregisterJobUnknown, JobInfoUnknown
};
// clang-format on

} // namespace

class DescribedJob : public Job
{
    Q_OBJECT
    Q_CLASSINFO("description", "Counts things")
    Q_PROPERTY(int count MEMBER m_count)
public:
    int m_count = 0;
};

class RenamedJob : public Job
{
    Q_OBJECT
public:
    QString name() const override { return str("renamed"); }
};

class tst_Registry : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { failOnUnexpectedWarnings(); }
    // Every registry of a test is gone by now: no factory may be left alive (or deleted twice).
    void cleanup() { QCOMPARE(live(), 0); }

    void instanceIsOneObject()
    {
        WorkerRegistry *registry = WorkerRegistry::instance();
        QVERIFY(registry);
        QCOMPARE(WorkerRegistry::instance(), registry);
        WorkerRegistry local;
        QVERIFY(local.registerWorker(str("tst_Registry.local")));
        QVERIFY(!registry->containsWorker(str("tst_Registry.local")));
    }

    void workerNamesAreExact()
    {
        WorkerRegistry r;
        QVERIFY(r.registerWorker(str("w")));
        QVERIFY(!r.registerWorker(str("w")));
        QVERIFY(r.registerWorker(str("W")));
        QVERIFY(r.registerWorker(str(" w")));
        QCOMPARE(r.workerCount(), 3);
        QCOMPARE(sorted(r.workerNames()), QStringList({ str(" w"), str("W"), str("w") }));
        QVERIFY(!r.containsWorker(str("w ")));
        QCOMPARE(r.taskCount(str("w")), 0);
        QCOMPARE(r.taskNames(str("w")), QStringList());

        // registerTask adds an unknown worker; registerWorker then finds it present.
        auto *f = new CountingFactory;
        QVERIFY(r.registerTask(str("v"), str("t"), f, false));
        QVERIFY(r.containsWorker(str("v")));
        QVERIFY(!r.registerWorker(str("v")));
        QVERIFY(r.containsTask(str("v"), str("t"), f));
        QCOMPARE(f->refs(), 1);
    }

    void refusalsChangeNothing_data();
    void refusalsChangeNothing();

    void replace()
    {
        WorkerRegistry r;
        auto *c1 = new CountingFactory(str("c1"));
        auto *c2 = new CountingFactory(str("c2"));
        QVERIFY(r.registerTask(str("w"), str("t"), c1, false));
        QVERIFY(r.registerTask(str("w"), str("t"), c1, false)); // already stored: count untouched
        QVERIFY(r.registerTask(str("w"), str("t"), c1, true));
        QCOMPARE(c1->refs(), 1);
        QVERIFY(!r.registerTask(str("w"), str("t"), c2, false));
        QCOMPARE(c2->refs(), 0);

        QVERIFY(r.registerTask(str("w"), str("t"), c2, true));
        QCOMPARE(live(), 1); // c1 went with its only reference
        QCOMPARE(c2->refs(), 1);
        QVERIFY(r.containsTask(str("w"), str("t"), c2));

        // A factory held elsewhere survives its replacement.
        const FactoryPtr held(new CountingFactory);
        QVERIFY(r.registerTask(str("w"), str("u"), held.data(), false));
        QCOMPARE(held->ref.loadRelaxed(), 2);
        QVERIFY(r.registerTask(str("w"), str("u"), new CountingFactory, true));
        QCOMPARE(held->ref.loadRelaxed(), 1);
        QCOMPARE(live(), 3);
    }

    void oneFactoryUnderSeveralEntries()
    {
        WorkerRegistry r;
        auto *f = new CountingFactory;
        QVERIFY(r.registerTask(str("w1"), str("t1"), f, false));
        QVERIFY(r.registerTask(str("w1"), str("t2"), f, false));
        QVERIFY(r.registerTask(str("w2"), str("t1"), f, false));
        QVERIFY(r.registerTask(str("w2"), str(""), f, false)); // task names are not checked
        QCOMPARE(f->refs(), 4);
        QCOMPARE(sorted(r.taskNames(str("w2"))), QStringList({ str(""), str("t1") }));

        QVERIFY(r.unregisterTask(str("w1"), str("t1"), f));
        QCOMPARE(f->refs(), 3);
        QVERIFY(r.unregisterWorker(str("w1")));
        QCOMPARE(f->refs(), 2);
        QVERIFY(r.unregisterTask(str("w2"), str(""), nullptr));
        QCOMPARE(live(), 1);
        QVERIFY(r.unregisterTask(str("w2"), str("t1"), nullptr));
        QCOMPARE(live(), 0);
    }

    void unregisterTask()
    {
        WorkerRegistry r;
        auto *b = new CountingFactory;
        QVERIFY(r.registerTask(str("w"), str("a"), new CountingFactory, false));
        QVERIFY(r.registerTask(str("w"), str("b"), b, false));
        QVERIFY(r.containsTask(str("w"), str("a"), nullptr));

        QVERIFY(r.unregisterTask(str("w"), str("a"), nullptr)); // whatever factory is stored
        QCOMPARE(live(), 1);
        QVERIFY(!r.containsTask(str("w"), str("a"), nullptr));
        QVERIFY(!r.unregisterTask(str("w"), str("a"), nullptr));
        QVERIFY(r.unregisterTask(str("w"), str("b"), b)); // exactly the stored factory
        QCOMPARE(live(), 0);

        // The worker outlives its last task.
        QCOMPARE(r.workerNames(), QStringList({ str("w") }));
        QCOMPARE(r.taskCount(str("w")), 0);
        QCOMPARE(r.taskNames(str("w")), QStringList());
    }

    void unregisterWorkerAndDestructorReleaseFactories()
    {
        const FactoryPtr held(new CountingFactory);
        {
            WorkerRegistry r;
            auto *other = new CountingFactory;
            QVERIFY(r.registerTask(str("w"), str("a"), new CountingFactory, false));
            QVERIFY(r.registerTask(str("w"), str("b"), held.data(), false));
            QVERIFY(r.registerTask(str("v"), str("a"), other, false));
            QVERIFY(r.registerTask(str("v"), str("b"), held.data(), false));
            QCOMPARE(live(), 3);

            QVERIFY(r.unregisterWorker(str("w")));
            QCOMPARE(live(), 2);
            QCOMPARE(held->ref.loadRelaxed(), 2);
            QCOMPARE(other->refs(), 1);
            QCOMPARE(r.workerNames(), QStringList({ str("v") }));
        }
        QCOMPARE(live(), 1);
        QCOMPARE(held->ref.loadRelaxed(), 1);
    }

    void createTask()
    {
        WorkerRegistry r;
        QObject object; // the worker's own name is "QObject"
        TestWorker worker(&object);
        Worker *seenWorker = nullptr;
        const Job *seenJob = nullptr;
        auto recording = [&](Worker &w, const Job &j) -> Task * {
            seenWorker = &w;
            seenJob = &j;
            return new ManualTask(j);
        };
        QVERIFY(r.registerTask(str("other"), str("renamed"), makeTaskFactory(recording), false));
        QVERIFY(r.registerTask(str("QObject"), str("renamed"), new CountingFactory(str("own")), false));
        auto *none = new CountingFactory(QString(), false);
        QVERIFY(r.registerTask(str("QObject"), str("TestSupport::PlainJob"), none, false));

        // The three-argument form looks under the name it is given, for the job's name().
        RenamedJob job;
        std::unique_ptr<Task> task(r.createTask(worker, str("other"), job));
        QVERIFY(task);
        QCOMPARE(seenWorker, &worker);
        QCOMPARE(seenJob, &job);
        QCOMPARE(task->name(), str("renamed"));
        QCOMPARE(task->state(), Job::Ready);

        // The two-argument form asks the worker for its name.
        task.reset(r.createTask(worker, job));
        QCOMPARE(task ? task->objectName() : QString(), str("own"));

        // A factory that makes nothing gives null, silently.
        PlainJob plain;
        QVERIFY(!r.createTask(worker, plain));
        QCOMPARE(none->calls.loadRelaxed(), 1);
    }

    void jobTable()
    {
        WorkerRegistry r;
        QVERIFY(r.registerJob(str("j"), JobInfo()));
        QCOMPARE(r.jobCount(), 1);
        QVERIFY(r.jobInfo(str("j")).isNull());

        const JobInfo described(DescribedJob::staticMetaObject);
        QVERIFY(r.registerJob(str("j"), described));
        QCOMPARE(r.jobInfo(str("j")).description(), str("Counts things"));
        // An empty description never overwrites one that is there; a later description does.
        QVERIFY(r.registerJob(str("j"), JobInfo()));
        QCOMPARE(r.jobInfo(str("j")).description(), str("Counts things"));
        QCOMPARE(r.jobInfo(str("j")).properties(), (QHash<QString, QString> { { str("count"), str("int") } }));
        DescribedJob instance;
        instance.setProperty("description", str("Counts other things"));
        QVERIFY(r.registerJob(str("j"), JobInfo(instance)));
        QCOMPARE(r.jobInfo(str("j")).description(), str("Counts other things"));

        QVERIFY(r.registerJob(str(""), described)); // job names are not checked
        QCOMPARE(sorted(r.jobNames()), QStringList({ str(""), str("j") }));
        QVERIFY(r.jobInfo(str("J")).isNull());
        QVERIFY(r.unregisterJob(str("j")));
        QVERIFY(!r.unregisterJob(str("j")));
        QVERIFY(r.jobInfo(str("j")).isNull());
        QCOMPARE(r.jobNames(), QStringList({ str("") }));

        // The two tables know nothing of each other.
        QVERIFY(r.registerWorker(str("j")));
        QCOMPARE(r.jobCount(), 1);
        QCOMPARE(r.workerNames(), QStringList({ str("j") }));
    }
};

void tst_Registry::refusalsChangeNothing_data()
{
    QTest::addColumn<int>("op");
    QTest::addColumn<QString>("warning"); // empty: none

    const QString unnamed = str("[WorkerRegistry]: can't register unnamed worker");
    const QString nullCtor = str("[WorkerRegistry]: trying to register a null TaskCtor");
    QTest::newRow("registerWorker('')") << int(RegisterWorkerEmpty) << unnamed;
    QTest::newRow("registerWorker(null)") << int(RegisterWorkerNull) << unnamed;
    QTest::newRow("registerWorker(dup)") << int(RegisterWorkerDuplicate) << QString();
    QTest::newRow("unregisterWorker('')")
        << int(UnregisterWorkerEmpty) << str("[WorkerRegistry]: can't unregister unnamed worker");
    QTest::newRow("unregisterWorker(unknown)") << int(UnregisterWorkerUnknown) << QString();
    QTest::newRow("registerTask(null ctor)") << int(RegisterTaskNullCtor) << nullCtor;
    QTest::newRow("registerTask('' worker)")
        << int(RegisterTaskEmptyWorker) << str("[WorkerRegistry]: can't registerTask for unknown worker");
    QTest::newRow("registerTask(null ctor, '' worker)") << int(RegisterTaskNullCtorEmptyWorker) << nullCtor;
    QTest::newRow("registerTask(other ctor, no replace)") << int(RegisterTaskOtherCtorNoReplace) << QString();
    QTest::newRow("unregisterTask(unknown worker)") << int(UnregisterTaskUnknownWorker) << QString();
    QTest::newRow("unregisterTask('' worker)") << int(UnregisterTaskEmptyWorker) << QString();
    QTest::newRow("unregisterTask(unknown task)") << int(UnregisterTaskUnknownTask) << QString();
    QTest::newRow("unregisterTask(other ctor)") << int(UnregisterTaskOtherCtor) << QString();
    QTest::newRow("containsTask(unknown worker)") << int(ContainsTaskUnknownWorker) << QString();
    QTest::newRow("containsTask(unknown task)") << int(ContainsTaskUnknownTask) << QString();
    QTest::newRow("containsTask(other ctor)") << int(ContainsTaskOtherCtor) << QString();
    QTest::newRow("createTask(unknown worker)") << int(CreateTaskUnknownWorker) << QString();
    QTest::newRow("createTask(unknown job)") << int(CreateTaskUnknownJob) << QString();
    QTest::newRow("unregisterJob(unknown)") << int(UnregisterJobUnknown) << QString();
    QTest::newRow("jobInfo(unknown)") << int(JobInfoUnknown) << QString();
}

// Each refusal or miss gives its exact result and warning (or none), and changes nothing.
void tst_Registry::refusalsChangeNothing()
{
    QFETCH(int, op);
    QFETCH(QString, warning);

    WorkerRegistry r;
    const QString t = str("TestSupport::PlainJob");
    auto *stored = new CountingFactory;
    QVERIFY(r.registerTask(str("w"), t, stored, false));
    QVERIFY(r.registerJob(str("j"), JobInfo(DescribedJob::staticMetaObject)));
    // Our own reference on the offered factory: whatever the registry does, it must not drop it.
    const FactoryPtr other(new CountingFactory);

    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
    PlainJob job;
    DescribedJob described;
    QObject object;
    TestWorker worker(&object);
    bool result = true;
    // clang-format off
    switch (Refusal(op)) {
    case RegisterWorkerEmpty: result = r.registerWorker(str("")); break;
    case RegisterWorkerNull: result = r.registerWorker(QString()); break;
    case RegisterWorkerDuplicate: result = r.registerWorker(str("w")); break;
    case UnregisterWorkerEmpty: result = r.unregisterWorker(str("")); break;
    case UnregisterWorkerUnknown: result = r.unregisterWorker(str("x")); break;
    case RegisterTaskNullCtor: result = r.registerTask(str("w"), str("t2"), nullptr, true); break;
    case RegisterTaskEmptyWorker: result = r.registerTask(str(""), str("t2"), other.data(), true); break;
    case RegisterTaskNullCtorEmptyWorker: result = r.registerTask(QString(), str("t2"), nullptr, false); break;
    case RegisterTaskOtherCtorNoReplace: result = r.registerTask(str("w"), t, other.data(), false); break;
    case UnregisterTaskUnknownWorker: result = r.unregisterTask(str("x"), t, nullptr); break;
    case UnregisterTaskEmptyWorker: result = r.unregisterTask(str(""), t, nullptr); break;
    case UnregisterTaskUnknownTask: result = r.unregisterTask(str("w"), str("t2"), nullptr); break;
    case UnregisterTaskOtherCtor: result = r.unregisterTask(str("w"), t, other.data()); break;
    case ContainsTaskUnknownWorker: result = r.containsTask(str("x"), t, nullptr); break;
    case ContainsTaskUnknownTask: result = r.containsTask(str("w"), str("t2"), nullptr); break;
    case ContainsTaskOtherCtor: result = r.containsTask(str("w"), t, other.data()); break;
    case CreateTaskUnknownWorker: result = r.createTask(worker, str("x"), job) != nullptr; break;
    case CreateTaskUnknownJob: result = r.createTask(worker, str("w"), described) != nullptr; break;
    case UnregisterJobUnknown: result = r.unregisterJob(str("x")); break;
    case JobInfoUnknown: result = !r.jobInfo(str("x")).isNull(); break;
    }
    // clang-format on
    QVERIFY(!result);

    QCOMPARE(r.workerNames(), QStringList({ str("w") }));
    QCOMPARE(r.taskNames(str("w")), QStringList({ t }));
    QVERIFY(r.containsTask(str("w"), t, stored));
    QCOMPARE(stored->refs(), 1);
    QCOMPARE(stored->calls.loadRelaxed(), 0);
    QCOMPARE(other->ref.loadRelaxed(), 1);
    QCOMPARE(r.jobNames(), QStringList({ str("j") }));
    QCOMPARE(live(), 2);
}

QTEST_GUILESS_MAIN(tst_Registry)
#include "tst_registry.moc"
