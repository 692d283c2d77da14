#include "RegistryTestSupport.h"

#include <JobRegistration.h>
#include <TaskFactory.h>
#include <WorkerRegistration.h>
#include <WorkerRegistry.h>

#include <QtCore/QLibrary>
#include <QtTest/QtTest>

#include <memory>

using namespace RegistryTest;
using namespace TestSupport;

class RegHost : public QObject
{
    Q_OBJECT
};

class RegJob : public Job
{
    Q_OBJECT
    Q_CLASSINFO("description", "Registered at load time")
    Q_PROPERTY(QString path MEMBER path)
public:
    QString path;
};

class DerivedRegJob : public RegJob
{
    Q_OBJECT
};

// Answers to RegJob's name without being one.
class ImpostorJob : public Job
{
public:
    QString name() const override { return QStringLiteral("RegJob"); }
};

class PluginProbeJob : public Job
{
public:
    QString name() const override { return QStringLiteral("plugin.probe"); }
};

namespace {

QString str(const char *text)
{
    return QString::fromLatin1(text);
}

// Tells which constructor made it, and for which worker.
class TracingTask : public ManualTask
{
public:
    TracingTask(Worker &worker, const Job &job)
        : ManualTask(job)
    {
        setObjectName(str("worker:") + worker.name());
    }
    explicit TracingTask(const Job &job)
        : ManualTask(job)
    {
        setObjectName(str("job only"));
    }
};

class JobOnlyTask : public ManualTask
{
public:
    explicit JobOnlyTask(const RegJob &job)
        : ManualTask(job)
    {
        setObjectName(job.path);
    }
};

enum Form { MetaMeta, MetaName, NameName };

// Registers through one of the three constructors; see workerRegistration_data for the names.
void registerWith(int form, TaskCtor *ctor)
{
    switch (Form(form)) {
    case MetaMeta:
        WorkerRegistration(RegHost::staticMetaObject, RegJob::staticMetaObject, ctor);
        break;
    case MetaName:
        WorkerRegistration(RegHost::staticMetaObject, str("reg.task"), ctor);
        break;
    case NameName:
        WorkerRegistration(str("reg.worker"), str("reg.task"), ctor);
        break;
    }
}

} // namespace

class tst_Registration : public QObject
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
        for (const QString &worker : { str("RegHost"), str("reg.worker"), str("QObject") })
            registry->unregisterWorker(worker);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(CountingFactory::live.loadRelaxed(), 0);
    }

    void workerRegistration_data();
    void workerRegistration();
    void emptyWorkerName()
    {
        const QStringList workers = registry->workerNames();
        const QExplicitlySharedDataPointer<TaskCtor> factory(new CountingFactory);
        QTest::ignoreMessage(QtWarningMsg, "[WorkerRegistry]: can't registerTask for unknown worker");
        WorkerRegistration(str(""), str("reg.task"), factory.data());
        QTest::ignoreMessage(QtWarningMsg, "[WorkerRegistry]: can't registerTask for unknown worker");
        WorkerRegistration(QString(), str("reg.task"), factory.data());
        QCOMPARE(registry->workerNames(), workers);
        QCOMPARE(factory->ref.loadRelaxed(), 1);
    }

    void jobRegistrations()
    {
        const QString name = str("RegJob");
        const int workers = registry->workerCount();
        JobRegistration first(RegJob::staticMetaObject);
        QCOMPARE(registry->jobInfo(name).description(), str("Registered at load time"));
        QCOMPARE(registry->jobInfo(name).properties(), (QHash<QString, QString> { { str("path"), str("QString") } }));
        QCOMPARE(registry->workerCount(), workers); // no task comes with it

        // Each later registration replaces the description, whichever helper makes it.
        PlainJob other;
        other.setProperty("description", str("something else"));
        registry->registerJob(name, JobInfo(other));
        Job::registerJob(RegJob::staticMetaObject);
        QCOMPARE(registry->jobInfo(name).description(), str("Registered at load time"));
        registry->registerJob(name, JobInfo(other));
        JobRegistration again(RegJob::staticMetaObject);
        QCOMPARE(registry->jobInfo(name).properties().keys(), QStringList({ str("path") }));
        QCOMPARE(registry->jobNames().count(name), 1);

        QVERIFY(registry->unregisterJob(name));
    }

    void registerJobUsesName()
    {
        ImpostorJob renamed; // name() "RegJob", class Job
        renamed.setProperty("description", str("from the instance"));
        renamed.setProperty("ratio", 0.5);
        renamed.registerJob();
        const JobInfo info = registry->jobInfo(str("RegJob"));
        QCOMPARE(info.description(), str("from the instance"));
        QCOMPARE(info.properties(), (QHash<QString, QString> { { str("ratio"), str("double") } }));
        QVERIFY(registry->jobInfo(str("Job")).isNull());

        DerivedRegJob derived;
        derived.registerJob();
        QCOMPARE(registry->jobInfo(str("DerivedRegJob")).description(), str("Registered at load time"));
        QVERIFY(registry->unregisterJob(str("RegJob")));
        QVERIFY(registry->unregisterJob(str("DerivedRegJob")));
    }

    void taskFactory()
    {
        RegHost object;
        TestWorker worker(&object);
        RegJob job;
        // T(Worker&, const Job&) is preferred over T(const Job&) when both exist.
        TaskFactory<TracingTask> both;
        std::unique_ptr<Task> task(both.create(worker, job));
        QCOMPARE(task->objectName(), str("worker:RegHost"));
        QCOMPARE(task->name(), str("RegJob"));
        QCOMPARE(task->state(), Job::Ready);

        TaskFactory<ManualTask> jobOnly; // ManualTask(const Job&, StartMode = ..., QObject* = ...)
        task.reset(jobOnly.create(worker, job));
        QVERIFY(qobject_cast<ManualTask *>(task.get()));
        QCOMPARE(task->name(), str("RegJob"));
    }

    void taskFactoryForSpecificJob()
    {
        TaskFactory<JobOnlyTask, RegJob> typed;
        RegHost object;
        TestWorker worker(&object);
        DerivedRegJob derived;
        derived.path = str("derived path");
        std::unique_ptr<Task> task(typed.create(worker, derived));
        QVERIFY(task);
        QCOMPARE(task->objectName(), str("derived path"));
        ImpostorJob impostor;
        QVERIFY(!typed.create(worker, impostor));

        // Through a worker, the miss falls through to the base class's factory.
        QVERIFY(registry->registerTask(str("RegHost"), str("RegJob"), new TaskFactory<JobOnlyTask, RegJob>));
        QVERIFY(registry->registerTask(str("QObject"), str("RegJob"), new CountingFactory(str("base"))));
        task.reset(worker.createTask(impostor));
        QCOMPARE(task->objectName(), str("base"));
        RegJob job;
        job.path = str("typed");
        task.reset(worker.createTask(job));
        QCOMPARE(task->objectName(), str("typed"));
    }

    void callableFactory()
    {
        RegHost object;
        TestWorker worker(&object);
        RegJob job;

        auto token = std::make_shared<int>(0);
        const std::weak_ptr<int> watch = token;
        Worker *seen = nullptr;
        QVERIFY(registry->registerTask(
            str("RegHost"), str("RegJob"), makeTaskFactory([token, &seen](Worker &w, const Job &j) -> Task * {
                seen = &w;
                ++*token;
                return new ManualTask(j);
            })));
        token.reset();
        std::unique_ptr<Task> task(worker.createTask(job));
        QVERIFY(task);
        QCOMPARE(seen, &worker);
        QCOMPARE(*watch.lock(), 1);
        // The registry's release destroys the factory, and the callable with it.
        QVERIFY(registry->unregisterTask(str("RegHost"), str("RegJob")));
        QVERIFY(watch.expired());

        // The job-only form; a move-only callable is accepted.
        auto tag = std::make_unique<QString>(str("job-only"));
        QVERIFY(registry->registerTask(
            str("RegHost"), str("RegJob"), makeTaskFactory([tag = std::move(tag)](const Job &j) -> Task * {
                auto *t = new ManualTask(j);
                t->setObjectName(*tag);
                return t;
            })));
        task.reset(worker.createTask(job));
        QCOMPARE(task->objectName(), str("job-only"));
    }

    void pluginRegistersAtLoad()
    {
        QVERIFY(!registry->containsWorker(str("PluginService")));
        QVERIFY(registry->jobInfo(str("PluginJob")).isNull());

        QLibrary plugin(QString::fromUtf8(ERRAND_TEST_PLUGIN));
        QVERIFY2(plugin.load(), qPrintable(plugin.errorString()));
        // Never unloaded: the registry holds the plug-in's factories until exit.
        QCOMPARE(registry->taskNames(str("PluginService")), QStringList({ str("PluginJob") }));
        QVERIFY(registry->containsTask(str("QObject"), str("plugin.probe")));
        const JobInfo info = registry->jobInfo(str("PluginJob"));
        QCOMPARE(info.description(), str("Counts in a plug-in"));
        QCOMPARE(info.properties(), (QHash<QString, QString> { { str("count"), str("int") } }));

        using ServiceFunction = QObject *(*)();
        using JobFunction = Job *(*)(int);
        const auto makeService = reinterpret_cast<ServiceFunction>(plugin.resolve("errandTestPluginService"));
        const auto makeJob = reinterpret_cast<JobFunction>(plugin.resolve("errandTestPluginJob"));
        QVERIFY(makeService && makeJob);
        const std::unique_ptr<QObject> service(makeService());
        const std::unique_ptr<Job> job(makeJob(3));
        TestWorker worker(service.get());
        QCOMPARE(worker.name(), str("PluginService"));
        QCOMPARE(worker.jobNames(), QStringList({ str("PluginJob"), str("plugin.probe") }));

        SignalLog log;
        log.watchJob(job.get(), str("job"));
        worker.run(*job); // the first registration for the pair, not the refused one
        QCOMPARE(log.take(),
            QStringList({ str("job.resultChanged"), str("job.stateChanged(Running)"), str("job.started"),
                str("job.resultChanged"), str("job.stateChanged(Finished)"), str("job.finished(NoError)") }));
        QCOMPARE(job->result().toString(), str("3 for PluginService"));

        // Any object gets the probe through the factory under QObject.
        QObject plain;
        TestWorker plainWorker(&plain);
        PluginProbeJob probe;
        plainWorker.run(probe);
        QCOMPARE(probe.state(), Job::Finished);
        QCOMPARE(probe.result().toString(), str("probe"));
        QTest::ignoreMessage(QtWarningMsg, R"([Worker]: "QObject" has no registered tasks for "PluginJob")");
        QVERIFY(!plainWorker.createTask(*job));
    }

private:
    WorkerRegistry *registry = nullptr;
};

void tst_Registration::workerRegistration_data()
{
    QTest::addColumn<int>("form");
    QTest::addColumn<QString>("worker");
    QTest::addColumn<QString>("task");
    QTest::newRow("meta, meta") << int(MetaMeta) << str("RegHost") << str("RegJob");
    QTest::newRow("meta, name") << int(MetaName) << str("RegHost") << str("reg.task");
    QTest::newRow("name, name") << int(NameName) << str("reg.worker") << str("reg.task");
}

void tst_Registration::workerRegistration()
{
    QFETCH(int, form);
    QFETCH(QString, worker);
    QFETCH(QString, task);

    // A null factory is refused by the registry, which says so.
    QTest::ignoreMessage(QtWarningMsg, "[WorkerRegistry]: trying to register a null TaskCtor");
    registerWith(form, nullptr);
    QVERIFY(!registry->containsWorker(worker));

    const int jobs = registry->jobCount();
    auto *first = new CountingFactory(str("first"));
    registerWith(form, first);
    QVERIFY(registry->containsWorker(worker));
    QCOMPARE(registry->taskNames(worker), QStringList({ task }));
    QVERIFY(registry->containsTask(worker, task, first));
    QCOMPARE(first->refs(), 1);
    QCOMPARE(registry->jobCount(), jobs); // no job description comes with it

    // A second factory is refused and left to its owner; the first one stays.
    const QExplicitlySharedDataPointer<TaskCtor> second(new CountingFactory(str("second")));
    registerWith(form, second.data());
    QVERIFY(registry->containsTask(worker, task, first));
    QVERIFY(!registry->containsTask(worker, task, second.data()));
    QCOMPARE(second->ref.loadRelaxed(), 1);
    registerWith(form, first);
    QCOMPARE(first->refs(), 1);

    if (form == MetaMeta) {
        RegHost object;
        TestWorker w(&object);
        RegJob job;
        const std::unique_ptr<Task> made(w.createTask(job));
        QVERIFY(made);
        QCOMPARE(made->objectName(), str("first"));
    }
}

QTEST_GUILESS_MAIN(tst_Registration)
#include "tst_registration.moc"
