#include "TestSupport.h"

#include <QtCore/QThread>
#include <QtTest/QtTest>

using namespace TestSupport;

namespace {

// A task without a "result" property, whose abort() override is counted.
class BareTask : public Task
{
    Q_OBJECT
public:
    using Task::Task;
    void start() override { }
    void abort() override
    {
        ++aborts;
        Task::abort();
    }
    void doSetState(Job::State state) { setState(state); }
    int aborts = 0;
};

class NamedJob : public Job
{
    Q_OBJECT
public:
    QString name() const override { return QStringLiteral("custom.name"); }
};

// Logs each job signal together with what the job reports at that moment: "<signal> <task>/<state>".
void watchJobReports(SignalLog &log, Job &job)
{
    auto reports = [&job]() -> QString {
        return QLatin1Char(' ') + (job.task() ? job.task()->objectName() : QStringLiteral("none")) + QLatin1Char('/')
            + Job::toString(job.state());
    };
    QObject::connect(&job, &Job::started, &log, [&log, reports] { log.add(QStringLiteral("started") + reports()); });
    QObject::connect(&job, &Job::finished, &log, [&log, reports](Job::Error e) {
        log.add(QStringLiteral("finished(") + Job::toString(e) + QLatin1Char(')') + reports());
    });
    QObject::connect(&job, &Job::stateChanged, &log, [&log, reports](Job::State s) {
        log.add(QStringLiteral("stateChanged(") + Job::toString(s) + QLatin1Char(')') + reports());
    });
    QObject::connect(
        &job, &Job::resultChanged, &log, [&log, reports] { log.add(QStringLiteral("resultChanged") + reports()); });
}

ManualTask *namedTask(const Job &job, const char *name)
{
    auto *task = new ManualTask(job);
    task->setObjectName(QLatin1String(name));
    return task;
}

} // namespace

class tst_Job : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { failOnUnexpectedWarnings(); }
    // Tasks that a test released are deleted before the next test starts.
    void cleanup() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    // Runs first, so that no earlier test has registered Job::State or Job::Error by naming them:
    // like an application whose only use of them is a task in a worker thread.
    void taskInAnotherThread()
    {
        QThread thread;
        thread.start();
        // Declared before the job: on every exit the job releases its task first, and the
        // thread's last round of deferred deletions then deletes it.
        const auto stop = qScopeGuard([&thread] {
            thread.quit();
            thread.wait();
        });
        PlainJob job;
        auto *task = new ManualTask(job);
        QPointer<Task> guard(task);
        task->moveToThread(&thread);
        job.attach(task);
        SignalLog log;
        log.watchJob(&job, QStringLiteral("j"));
        QThread *deliveredIn = nullptr;
        // Direct, so that it records the thread the job itself emits in.
        connect(
            &job, &Job::started, this, [&deliveredIn] { deliveredIn = QThread::currentThread(); },
            Qt::DirectConnection);

        QMetaObject::invokeMethod(task, [task] { task->start(); });
        QTRY_COMPARE(
            log.entries, (QStringList { QStringLiteral("j.stateChanged(Running)"), QStringLiteral("j.started") }));
        QCOMPARE(deliveredIn, QThread::currentThread());
        QCOMPARE(job.state(), Job::Running);

        QMetaObject::invokeMethod(task, [task] { task->doFail(QStringLiteral("remote")); });
        QTRY_COMPARE(log.entries.mid(2),
            (QStringList { QStringLiteral("j.stateChanged(Finished)"), QStringLiteral("j.finished(Failed)") }));
        QCOMPARE(job.errorString(), QStringLiteral("remote"));

        // The last release hands the task to its own thread's event loop.
        job.detach();
        QTRY_VERIFY(!guard);
    }

    void metaTypes()
    {
        // Runs first: the types are registered only once the meta-object code meets them (here
        // Task's signal arguments and Job's property), and later tests name them in C++.
        const QMetaObject &meta = Task::staticMetaObject;
        const int state = meta.method(meta.indexOfSignal("stateChanged(Job::State)")).parameterType(0);
        const int error = meta.method(meta.indexOfSignal("finished(Job::Error)")).parameterType(0);
        QCOMPARE(Job::staticMetaObject.property(Job::staticMetaObject.indexOfProperty("state")).userType(), state);
        QCOMPARE(QMetaType::type("Job::State"), state);
        QCOMPARE(QMetaType::type("Job::Error"), error);
        QCOMPARE(qMetaTypeId<Job::State>(), state);
        QCOMPARE(qMetaTypeId<Job::Error>(), error);
        for (int id : { state, error }) {
            QVERIFY(id != QMetaType::UnknownType);
            QVERIFY(QMetaType::typeFlags(id) & QMetaType::IsEnumeration);
            QVERIFY(QMetaType::typeFlags(id) & QMetaType::MovableType);
        }
    }

    void notInitialized()
    {
        PlainJob job;
        QCOMPARE(job.state(), Job::Invalid);
        QCOMPARE(job.error(), Job::NotInit);
        QCOMPARE(job.errorString(), QStringLiteral("Job not initialized"));
        QVERIFY(!job.result().isValid());
        QVERIFY(!job.isValid());
        QVERIFY(!job.isRunning());
        QCOMPARE(job.task(), nullptr);
        QCOMPARE(job.property("error").value<Job::Error>(), Job::NotInit);
        SignalLog log;
        log.watchJob(&job, QStringLiteral("j"));
        job.abort();
        job.detach();
        job.attach(nullptr);
        QCOMPARE(log.entries, QStringList());
        QCOMPARE(job.state(), Job::Invalid);
    }

    void name()
    {
        PlainJob plain;
        QCOMPARE(plain.name(), QStringLiteral("TestSupport::PlainJob"));
        QCOMPARE(plain.property("name").toString(), plain.name());
        NamedJob named;
        QCOMPARE(named.property("name").toString(), QStringLiteral("custom.name"));
        QCOMPARE(static_cast<QObject &>(named).qt_metacast("Job"), static_cast<void *>(&named));
    }

    void attachCatchesUp_data()
    {
        QTest::addColumn<bool>("withPrevious");
        QTest::addColumn<QString>("prepare");
        // Each job signal with the task and state the job reports while it is emitted.
        QTest::addColumn<QStringList>("expected");

        for (bool previous : { false, true }) {
            const QString before = previous ? QStringLiteral(" old/Ready") : QStringLiteral(" none/Invalid");
            auto row = [&](const char *prepare, const char *catchUp, const char *state) {
                QStringList expected;
                if (catchUp)
                    expected << QLatin1String(catchUp) + before;
                expected << QStringLiteral("resultChanged new/") + QLatin1String(state);
                QTest::addRow("%s%s", prepare, previous ? ", replacing" : "")
                    << previous << QString::fromLatin1(prepare) << expected;
            };
            row("ready", nullptr, "Ready");
            row("running", "started", "Running");
            row("succeeded", "finished(NoError)", "Finished");
            row("failed", "finished(Failed)", "Finished");
            row("aborted", "finished(Aborted)", "Finished");
        }
    }

    void attachCatchesUp()
    {
        QFETCH(bool, withPrevious);
        QFETCH(QString, prepare);
        QFETCH(QStringList, expected);

        PlainJob job;
        if (withPrevious)
            job.attach(namedTask(job, "old"));
        ManualTask *task = namedTask(job, "new");
        if (prepare != QLatin1String("ready"))
            task->doSetState(Job::Running);
        if (prepare == QLatin1String("succeeded"))
            task->doSetState(Job::Finished);
        else if (prepare == QLatin1String("failed"))
            task->doFail(QStringLiteral("broken"));
        else if (prepare == QLatin1String("aborted"))
            task->abort();

        SignalLog log;
        watchJobReports(log, job);
        job.attach(task);
        QCOMPARE(log.entries, expected);
        QCOMPARE(job.task(), task);
        QCOMPARE(task->ref.loadRelaxed(), 1);
        QCOMPARE(job.error(), task->error());
        QCOMPARE(job.errorString(), task->errorString());
        QCOMPARE(job.isRunning(), task->isRunning());
        QVERIFY(job.isValid());
    }

    void forwardsTaskSignals()
    {
        PlainJob job;
        ManualTask *task = namedTask(job, "t");
        SignalLog log;
        log.watchTask(task, QStringLiteral("t"));
        job.attach(task);
        log.watchJob(&job, QStringLiteral("j"));
        task->start();
        task->setResult(42);
        QCOMPARE(job.result(), QVariant(42));
        QCOMPARE(job.property("result"), QVariant(42));
        task->doFail(QStringLiteral("no"));
        // A silent error overwrite on the finished task shows through the job.
        task->abort();
        QCOMPARE(log.entries,
            (QStringList { QStringLiteral("t.stateChanged(Running)"), QStringLiteral("j.stateChanged(Running)"),
                QStringLiteral("t.started"), QStringLiteral("j.started"), QStringLiteral("t.resultChanged"),
                QStringLiteral("j.resultChanged"), QStringLiteral("t.stateChanged(Finished)"),
                QStringLiteral("j.stateChanged(Finished)"), QStringLiteral("t.finished(Failed)"),
                QStringLiteral("j.finished(Failed)") }));
        QCOMPARE(job.state(), Job::Finished);
        QCOMPARE(job.error(), Job::Aborted);
        QCOMPARE(job.errorString(), QStringLiteral("no"));
    }

    void attachSameTask()
    {
        PlainJob job;
        ManualTask *task = namedTask(job, "t");
        job.attach(task);
        SignalLog log;
        log.watchJob(&job, QStringLiteral("j"));
        job.attach(task);
        QCOMPARE(log.entries, QStringList());
        QCOMPARE(task->ref.loadRelaxed(), 1);
        // Still connected exactly once.
        task->doSetState(Job::Running);
        QCOMPARE(log.entries, (QStringList { QStringLiteral("j.stateChanged(Running)"), QStringLiteral("j.started") }));
    }

    void replaceTask()
    {
        PlainJob job;
        ManualTask *oldTask = namedTask(job, "old");
        QPointer<Task> oldGuard(oldTask);
        job.attach(oldTask);
        // The application's own connection from the old task to the job is cut as well.
        connect(oldTask, &Task::finished, &job, &Job::finished);
        connect(oldTask, SIGNAL(resultChanged()), &job, SIGNAL(resultChanged()));
        SignalLog log;
        log.watchTask(oldTask, QStringLiteral("old"));
        log.watchJob(&job, QStringLiteral("j"));

        ManualTask *newTask = namedTask(job, "new");
        job.attach(newTask);
        QVERIFY(oldGuard); // released, not deleted during attach
        QCOMPARE(oldTask->ref.loadRelaxed(), 1);
        oldTask->start();
        oldTask->setResult(1);
        oldTask->doSetState(Job::Finished);
        newTask->start();
        QCOMPARE(log.entries,
            (QStringList { QStringLiteral("j.resultChanged"), QStringLiteral("old.stateChanged(Running)"),
                QStringLiteral("old.started"), QStringLiteral("old.resultChanged"),
                QStringLiteral("old.stateChanged(Finished)"), QStringLiteral("old.finished(NoError)"),
                QStringLiteral("j.stateChanged(Running)"), QStringLiteral("j.started") }));
        QCOMPARE(job.state(), Job::Running);

        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!oldGuard);
        QCOMPARE(job.task(), newTask);
    }

    void release_data()
    {
        QTest::addColumn<int>("how");
        QTest::newRow("detach") << 0;
        QTest::newRow("attach(nullptr)") << 1;
        QTest::newRow("destroy job") << 2;
    }

    void release()
    {
        QFETCH(int, how);
        auto *job = new PlainJob;
        ManualTask *task = namedTask(*job, "t");
        QPointer<Task> guard(task);
        job->attach(task);
        task->start();
        SignalLog log;
        log.watchJob(job, QStringLiteral("j"));
        if (how == 0)
            job->detach();
        else if (how == 1)
            job->attach(nullptr);
        else
            delete job;
        QCOMPARE(log.entries, QStringList());
        QVERIFY(guard);
        if (how != 2) {
            QCOMPARE(job->state(), Job::Invalid);
            QCOMPARE(job->task(), nullptr);
            // The task is cut off from the job while it waits for deletion.
            task->doSetState(Job::Finished);
            QCOMPARE(log.entries, QStringList());
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!guard);
        if (how != 2) {
            // A detached job can take a task again.
            ManualTask *next = namedTask(*job, "next");
            job->attach(next);
            QCOMPARE(log.entries, QStringList { QStringLiteral("j.resultChanged") });
            QCOMPARE(job->task(), next);
            delete job;
        }
    }

    void result()
    {
        PlainJob job;
        auto *bare = new BareTask(job);
        job.attach(bare);
        QVERIFY(!job.result().isValid());
        auto *withResult = new ManualTask(job);
        withResult->setResult(QStringLiteral("done"));
        job.attach(withResult);
        QCOMPARE(job.result(), QVariant(QStringLiteral("done")));
    }

    void abortCallsOverride()
    {
        PlainJob job;
        auto *task = new BareTask(job);
        job.attach(task);
        task->doSetState(Job::Running);
        SignalLog log;
        log.watchJob(&job, QStringLiteral("j"));
        job.abort();
        QCOMPARE(task->aborts, 1);
        QCOMPARE(log.entries,
            (QStringList { QStringLiteral("j.stateChanged(Finished)"), QStringLiteral("j.finished(Aborted)") }));
        QCOMPARE(job.error(), Job::Aborted);
    }

    void toString_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("error");
        QTest::newRow("0") << 0 << QStringLiteral("Invalid") << QStringLiteral("NoError");
        QTest::newRow("1") << 1 << QStringLiteral("Ready") << QStringLiteral("NotInit");
        QTest::newRow("2") << 2 << QStringLiteral("Running") << QStringLiteral("Failed");
        QTest::newRow("3") << 3 << QStringLiteral("Finished") << QStringLiteral("Aborted");
        QTest::newRow("7") << 7 << QStringLiteral("Undefined") << QStringLiteral("Undefined");
    }

    void toString()
    {
        QFETCH(int, value);
        QFETCH(QString, state);
        QFETCH(QString, error);
        QCOMPARE(Job::toString(static_cast<Job::State>(value)), state);
        QCOMPARE(Job::toString(static_cast<Job::Error>(value)), error);
    }

    void metaEnums()
    {
        const QMetaEnum state = Job::StateMetaEnum();
        const QMetaEnum error = Job::ErrorMetaEnum();
        QCOMPARE(QByteArray(state.scope()) + "::" + state.name() + ' ' + state.valueToKey(3),
            QByteArray("Job::State Finished"));
        QCOMPARE(QByteArray(error.scope()) + "::" + error.name() + ' ' + error.valueToKey(1),
            QByteArray("Job::Error NotInit"));
        QCOMPARE(state.keyCount() + error.keyCount(), 8);
    }

    void stringConnections()
    {
        PlainJob job;
        auto *task = new ManualTask(job);
        WorkQueue::TaskPtr hold(task);
        SignalLog log;
        log.watchJob(&job, QStringLiteral("j"));
        QVERIFY(connect(task, SIGNAL(finished(Job::Error)), &job, SIGNAL(finished(Job::Error))));
        QVERIFY(connect(task, SIGNAL(stateChanged(Job::State)), &job, SIGNAL(stateChanged(Job::State))));
        task->doFail(QStringLiteral("x"));
        QCOMPARE(log.entries,
            (QStringList { QStringLiteral("j.stateChanged(Finished)"), QStringLiteral("j.finished(Failed)") }));
        QVERIFY(!job.isValid()); // connecting is not attaching
    }
};

QTEST_GUILESS_MAIN(tst_Job)
#include "tst_job.moc"
