#include "TestSupport.h"

#include <JobRegistration.h>
#include <ScopedWorkerRegistration.h>
#include <WorkerRegistration.h>
#include <WorkerRegistry.h>

#include <QtTest/QtTest>

#include <memory>
#include <optional>

using namespace TestSupport;

// Described, with a parameter; its type name is not its class name.
class CopyJob : public Job
{
    Q_OBJECT
    Q_CLASSINFO("description", "Kopiert Dateien für Sie")
    Q_PROPERTY(QString path MEMBER path)
public:
    QString name() const override { return QStringLiteral("copy.job"); }
    QString path;
};

// Made by name: an invokable constructor, a parameter and a read-only property.
class MadeJob : public Job
{
    Q_OBJECT
    Q_PROPERTY(int count MEMBER count)
    Q_PROPERTY(QString fixed READ objectName)
public:
    Q_INVOKABLE MadeJob() { ++constructed; }
    int count = 0;
    static inline int constructed = 0;
};

const auto str = [](const char *text) { return QString::fromUtf8(text); };

// A registry's content, sorted: its job names and a "worker:task,task" item per worker.
// The counts must agree with the lists.
QString dump(const WorkerRegistry &r)
{
    QStringList items = r.jobNames();
    bool counted = r.jobCount() == items.size() && r.workerCount() == r.workerNames().size();
    for (const QString &worker : r.workerNames()) {
        items << worker + QLatin1Char(':') + r.taskNames(worker).join(QLatin1Char(','));
        counted = counted && r.taskCount(worker) == r.taskNames(worker).size();
    }
    return counted ? (items.sort(), items.join(QLatin1Char(' '))) : str("counts differ from the lists");
}

const QString plain = str("TestSupport::PlainJob");
const char *const noTaskForPlain = R"([Worker]: "QBuffer" has no registered tasks for "TestSupport::PlainJob")";

// What a failed call could disturb: a task under a base class of the worker's object, and a
// described job.
struct Fixture
{
    WorkerRegistry &r = *WorkerRegistry::instance();
    CountingFactory *kept = new CountingFactory, other;
    const bool filled
        = r.registerTask(str("QIODevice"), str("CopyJob"), kept) && r.registerJob(str("j"), CopyJob::staticMetaObject);
    PlainJob job;
    QBuffer object;
    TestWorker worker { &object }, nobody { nullptr };
};
using Op = bool (*)(Fixture &);

Q_DECLARE_METATYPE(Op)

// A row of missesFailAndChangeNothing: the warnings the call writes (one per line), and the call.
#define MISS(tag, warnings, ...)                                                                                       \
    QTest::newRow(tag) << QString(warnings) << Op([](Fixture &f) { return (void)f, bool((__VA_ARGS__)); })

class TstRegistry : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void cleanup() // empties the global registry; no factory may outlive its entries
    {
        WorkerRegistry *const global = WorkerRegistry::instance();
        for (const QString &name : global->workerNames() + global->jobNames()) // none is empty
            global->unregisterWorker(name), global->unregisterJob(name);
        QCOMPARE(CountingFactory::live.loadRelaxed(), 0);
    }

    void missesFailAndChangeNothing_data()
    {
        QTest::addColumn<QString>("warnings");
        QTest::addColumn<Op>("op");
        const QString none, nullCtor = str("[WorkerRegistry]: trying to register a null TaskCtor");
        const QString noWorker = str("[WorkerRegistry]: can't registerTask for unknown worker");
        MISS("registerWorker('')", str("[WorkerRegistry]: can't register unnamed worker"), f.r.registerWorker({}));
        MISS("unregisterWorker ''", str("[WorkerRegistry]: can't unregister unnamed worker"), f.r.unregisterWorker({}));
        MISS("registerTask(null ctor, '' worker)", nullCtor, f.r.registerTask(str(""), str("t"), nullptr, true));
        MISS("registerTask(other ctor)", none, f.r.registerTask(str("QIODevice"), str("CopyJob"), &f.other, false));
        MISS("unregisterTask(unknown task)", none, f.r.unregisterTask(str("QIODevice"), str("t")));
        MISS("unregisterTask(other ctor)", none, f.r.unregisterTask(str("QIODevice"), str("CopyJob"), &f.other));
        MISS("containsTask(unknown task)", none, f.r.containsTask(str("QIODevice"), str("t")));
        MISS("containsTask(other ctor)", none, f.r.containsTask(str("QIODevice"), str("CopyJob"), &f.other));
        MISS("registerJob(no data)", none, !f.r.registerJob(str("j"), JobInfo())); // keeps the description
        MISS("unregisterJob(unknown job)", none, f.r.unregisterJob(str("k")));
        MISS("Worker::run", str(noTaskForPlain), f.worker.run(f.job), f.job.task());
        MISS("by job name", str(R"([Worker]: "QBuffer" has no registered tasks for "copy.job")"),
            f.worker.createTask(CopyJob()));
        // Without an object, each of name(), run(), jobNames() and registerTask() warns.
        MISS("no object", str("[Worker]: invalid Object, please implement the object method\n").repeated(4) + noWorker,
            !f.nobody.name().isNull() || (f.nobody.run(f.job), f.job.task()) || !f.nobody.jobNames().isEmpty()
                || f.nobody.registerTask(plain, &f.other));
        MISS("WorkerRegistration(null)", nullCtor, WorkerRegistration(str("w"), plain, nullptr), false);
        MISS("WorkerRegistration('')", noWorker, WorkerRegistration(str(""), plain, &f.other), false);
        // Taken, through each form of WorkerRegistration (worker and job by meta-object or name): the
        // first factory registered for a pair stays; a later one is not even referenced.
        MISS("mm", none, WorkerRegistration(QIODevice::staticMetaObject, CopyJob::staticMetaObject, &f.other), false);
        MISS("mn", none, WorkerRegistration(QIODevice::staticMetaObject, str("CopyJob"), &f.other), false);
        MISS("nn", none, WorkerRegistration(str("QIODevice"), str("CopyJob"), &f.other), false);
    }

    void missesFailAndChangeNothing()
    {
        QFETCH(QString, warnings);
        QFETCH(Op, op);
        Fixture f;
        for (const QString &warning : warnings.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
        QVERIFY(f.filled && !op(f));
        QCOMPARE(dump(f.r), str("QIODevice:CopyJob j"));
        QCOMPARE(f.r.jobInfo(str("j")).description(), str("Kopiert Dateien für Sie"));
        // Not the read-only properties, nor objectName.
        QCOMPARE(f.r.jobInfo(str("j")).properties(), (QHash<QString, QString> { { str("path"), str("QString") } }));
        QVERIFY(f.r.containsTask(str("QIODevice"), str("CopyJob"), f.kept) && f.kept->refs() == 1 && !f.other.refs());
    }

    // One reference per entry, dropped with the entry, its worker or the registry itself; the
    // task table is found by the worker's name(), the entry by job.name(); jobs keep their info.
    void privateRegistry()
    {
        const QExplicitlySharedDataPointer<TaskCtor> held(new CountingFactory);
        {
            WorkerRegistry r;
            QVERIFY(r.registerTask(str("w"), str("t"), held.data())
                && r.registerTask(str("w"), str("t"), held.data(), true));
            QVERIFY(held->ref.loadRelaxed() == 2 && !r.registerWorker(str("w")) && r.registerWorker(str("W")));
            for (const char *worker : { "w", "v", "x" })
                QVERIFY(r.registerTask(str(worker), str(""), new CountingFactory)); // task names are not checked
            // A replaced factory goes with its only reference.
            QVERIFY(r.registerTask(str("x"), str(""), held.data(), true) && CountingFactory::live.loadRelaxed() == 3);
            QVERIFY(r.unregisterWorker(str("v")) && r.unregisterTask(str("w"), str("t"), held.data()));
            QVERIFY(r.unregisterTask(str("w"), str("")) && CountingFactory::live.loadRelaxed() == 1);

            CopyJob job; // described by its class, then by its dynamic properties: "description" too
            TestWorker worker(&job);
            job.setProperty("ratio", 0.5);
            job.setProperty("description", 7);
            QVERIFY(r.registerTask(str("CopyJob"), str("copy.job"), new CountingFactory(str("made"))));
            QCOMPARE(QScopedPointer<Task>(r.createTask(worker, job))->objectName(), str("made"));
            QVERIFY(r.registerJob(str(""), JobInfo()) && r.registerJob(str("j"), CopyJob::staticMetaObject));
            QVERIFY(r.registerJob(str("j"), JobInfo(job)) && r.jobInfo(str("")).isNull());
            QCOMPARE(r.jobInfo(str("j")).description(), str("7"));
            QCOMPARE(r.jobInfo(str("j")).properties(),
                (QHash<QString, QString> { { str("path"), str("QString") }, { str("ratio"), str("double") } }));
            QCOMPARE(dump(r), str(" CopyJob:copy.job W: j w: x:")); // w outlives its last task
        }
        QVERIFY(CountingFactory::live.loadRelaxed() == 1 && held->ref.loadRelaxed() == 1);
    }

    // Each class of the object is asked in turn, most-derived first, until a factory makes a task;
    // prepare() attaches it, not started. Factories come from the three forms of WorkerRegistration.
    void workerWalksClassChain_data()
    {
        QTest::addColumn<QString>("makes"); // per class, most-derived first: '1' makes a task, '0' none
        for (const char *makes : { "111", "011", "001", "000" })
            QTest::newRow(makes) << str(makes);
    }

    void workerWalksClassChain()
    {
        QFETCH(QString, makes);
        const int maker = makes.indexOf(QLatin1Char('1'));
        const QStringList classes { str("QBuffer"), str("QIODevice"), str("QObject") };
        CountingFactory *made[3];
        const auto add = [&](int i) { return made[i] = new CountingFactory(classes[i], makes[i] == QLatin1Char('1')); };
        WorkerRegistration(QBuffer::staticMetaObject, PlainJob::staticMetaObject, add(0));
        WorkerRegistration(QIODevice::staticMetaObject, plain, add(1));
        WorkerRegistration(classes[2], plain, add(2));
        QBuffer object;
        TestWorker worker(&object);
        PlainJob job;
        if (maker < 0)
            QTest::ignoreMessage(QtWarningMsg, noTaskForPlain);
        worker.prepare(job);
        QCOMPARE(job.task() ? job.task()->objectName() : QString(), classes.value(maker));
        QCOMPARE(job.state(), maker < 0 ? Job::Invalid : Job::Ready);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(made[i]->calls.loadRelaxed(), maker < 0 || i <= maker ? 1 : 0);

        // A worker (un)registers under its own class only, and lists the names of its whole chain.
        QVERIFY(worker.registerTask(str("own"), made[1]) && worker.unregisterTask(plain));
        QCOMPARE(worker.jobNames(), (QStringList { str("own"), plain, plain }));
        QVERIFY(!worker.registerTask(str("own"), made[2]) && worker.registerTask(str("own"), made[2], true));
    }

    void createJobByName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QVariantMap>("parameters");
        QTest::addColumn<int>("withdrawn"); // the class: 1 with its registration, 2 by unregisterJob()
        QTest::addColumn<QString>("warning"); // none when a job is made
        QTest::addColumn<int>("constructed");
        const QString made = str("MadeJob"), count = str("count");
        QTest::newRow("made") << made << QVariantMap { { count, 3 }, { str("objectName"), made } } << 0 << QString() << 1;
        for (const int withdrawn : { 1, 2 })
            QTest::addRow("withdrawn %d", withdrawn) << made << QVariantMap() << withdrawn
                                                     << str(R"(no job class registered as "MadeJob")") << 0;
        QTest::newRow("no invokable constructor") << str("CopyJob") << QVariantMap() << 0
                                                  << str(R"(job class "CopyJob" has no invokable constructor)") << 0;
        QTest::newRow("not a property") << made << QVariantMap { { count, 1 }, { str("size"), 1 } } << 0
                                        << str(R"(job class "MadeJob" has no writable property "size")") << 0;
        QTest::newRow("read-only") << made << QVariantMap { { str("fixed"), 1 } } << 0
                                   << str(R"(job class "MadeJob" has no writable property "fixed")") << 0;
        QTest::newRow("refused value") << made << QVariantMap { { count, QVariant::fromValue(QPoint()) } } << 0
                                       << str(R"(job class "MadeJob" refused the value of "count")") << 1;
    }

    // A job made by the name its JobRegistration entered, with its parameters set, owned by the
    // caller; what cannot be made is refused before anything is constructed.
    void createJobByName()
    {
        QFETCH(QString, name);
        QFETCH(QVariantMap, parameters);
        QFETCH(int, withdrawn);
        QFETCH(QString, warning);
        QFETCH(int, constructed);
        WorkerRegistry &r = *WorkerRegistry::instance();
        std::optional<JobRegistration> made(std::in_place, MadeJob::staticMetaObject);
        const JobRegistration copy(CopyJob::staticMetaObject);
        withdrawn == 1 ? made.reset() : void(withdrawn == 2 && r.unregisterJob(name));
        QVERIFY(withdrawn != 1 || !r.jobInfo(name).isNull()); // a gone registration leaves the description
        MadeJob::constructed = 0;
        if (!warning.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, qPrintable(str("[WorkerRegistry]: ") + warning));
        const std::unique_ptr<Job> job(r.createJob(name, parameters));
        QVERIFY(MadeJob::constructed == constructed && bool(job) == warning.isEmpty() && (!job || !job->parent()));
        for (auto it = parameters.cbegin(); job && it != parameters.cend(); ++it)
            QCOMPARE(job->property(qPrintable(it.key())), it.value());
    }

    // A scoped registration removes its own factory only, and takes along the factories that
    // nobody else holds: its refused one, and its own once the registry has let it go.
    void scopedRegistrationRemovesItsOwn()
    {
        WorkerRegistry &r = *WorkerRegistry::instance();
        auto *const first = new CountingFactory;
        auto *const later = new CountingFactory;
        {
            const ScopedWorkerRegistration own(QBuffer::staticMetaObject, PlainJob::staticMetaObject, first);
            {
                const ScopedWorkerRegistration refused(str("QBuffer"), plain, new CountingFactory);
                QVERIFY(own.isRegistered() && !refused.isRegistered() && first->refs() == 2);
            }
            QVERIFY(CountingFactory::live.loadRelaxed() == 2 && r.containsTask(str("QBuffer"), plain, first));
            QVERIFY(r.unregisterTask(str("QBuffer"), plain) && r.registerTask(str("QBuffer"), plain, later));
        }
        QVERIFY(CountingFactory::live.loadRelaxed() == 1 && r.containsTask(str("QBuffer"), plain, later));
        {
            const ScopedWorkerRegistration own(str("QObject"), plain, new CountingFactory);
            QVERIFY(own.isRegistered() && r.taskCount(str("QObject")) == 1);
        }
        QVERIFY(CountingFactory::live.loadRelaxed() == 1 && r.containsWorker(str("QObject")) && !r.taskCount(str("QObject")));
    }
};

QTEST_GUILESS_MAIN(TstRegistry)
#include "tst_registry.moc"
