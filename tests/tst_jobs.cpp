#include "TestSupport.h"

#include <WorkerRegistry.h>

#include <QtCore/QProcess>
#include <QtTest/QtTest>

using namespace TestSupport;

namespace {

// A task without a "result" property, whose abort() override counts its calls.
struct Probe : Task
{
    using Task::Task;
    void start() override { }
    void abort() override { Task::abort(), ++aborts; }
    int aborts = 0;

    // Space-separated "fail(text)", "abort" (through the job) and state keys for setState(); a
    // name that is not a key stands for the value -1.
    void perform(Job *job, const QString &ops)
    {
        for (const QString &op : ops.split(QLatin1Char(' '), Qt::SkipEmptyParts))
            op.startsWith(QLatin1String("fail(")) ? fail(op.mid(5).chopped(1))
                : op == QLatin1String("abort")    ? job->abort()
                                               : setState(Job::State(Job::StateMetaEnum().keyToValue(qPrintable(op))));
    }
};

struct NamedJob : Job
{
    QString name() const override { return QStringLiteral("custom.name"); }
};

// "<state>/<error>/<errorString>" of a job or a task; a "!" marks an isRunning() that disagrees.
const auto report = [](const auto &o) -> QString {
    return Job::toString(o.state()) + QLatin1Char('/') + Job::toString(o.error()) + QLatin1Char('/') + o.errorString()
        + (o.isRunning() == (o.state() == Job::Running) ? QString() : QStringLiteral("!"));
};

// The signals of a log whose objects are all tagged "x", without the tag.
const auto text = [](SignalLog &log) { return log.take().join(QLatin1Char(' ')).remove(QStringLiteral("x.")); };

} // namespace

class tst_Jobs : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // Queued connections need the enumerations registered by name whichever of a task or a job
    // is built first, so this process starts with a task and a child process with a job.
    void typesAndNames()
    {
        const bool child = qEnvironmentVariableIsSet("TST_JOBS_CHILD");
        QScopedPointer<QObject> first(child ? static_cast<QObject *>(new PlainJob) : new Probe);
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        QVERIFY(QMetaType::fromName("Job::State").isValid() && QMetaType::fromName("Job::Error").isValid());
#else
        QVERIFY(QMetaType::type("Job::State") && QMetaType::type("Job::Error"));
#endif
        QCOMPARE(Job::toString(Job::State(7)) + Job::toString(Job::Error(7)), QStringLiteral("UndefinedUndefined"));
        const QStringList args { QStringLiteral("-silent"), QStringLiteral("typesAndNames") };
        QVERIFY(child || (qputenv("TST_JOBS_CHILD", "1") && !QProcess::execute(qApp->applicationFilePath(), args)));

        // A job's type name is its virtual name(), which a task made for it keeps; both forms of
        // registration enter the job type under its name.
        Job::registerJob(PlainJob::staticMetaObject);
        NamedJob().registerJob();
        QVERIFY(WorkerRegistry::instance()->unregisterJob(PlainJob().name()));
        QVERIFY(WorkerRegistry::instance()->unregisterJob(Probe(NamedJob()).name()));
    }

    // Each row: "<prepare>|<request>|<signals>|<state>/<error>/<text>|<catch-up>", an empty text
    // being null; the catch-up is what another job emits before resultChanged() when attached.
    void transitions_data()
    {
        QTest::addColumn<QStringList>("f"); // prepare, request, signals, outcome, catch-up
        auto row = [](const char *row) { QTest::newRow(row) << QString::fromLatin1(row).split(QLatin1Char('|')); };
        row("|Running|stateChanged(Running) started|Running/NoError/|started");
        row("|Finished|stateChanged(Finished) finished(NoError)|Finished/NoError/|finished(NoError)");
        row("|abort|stateChanged(Finished) finished(Aborted)|Finished/Aborted/|finished(Aborted)");
        row("|Invalid outside||Ready/NoError/|"); // a warning for Invalid only, nothing else
        row("Running|Running||Running/NoError/|started");
        row("Running|fail(boom)|stateChanged(Finished) finished(Failed)|Finished/Failed/boom|finished(Failed)");
        row("Running|abort|stateChanged(Finished) finished(Aborted)|Finished/Aborted/|finished(Aborted)");
        // A reset finishes a running task as aborted first, without calling abort().
        row("Running|Ready|stateChanged(Finished) finished(Aborted) stateChanged(Ready)|Ready/NoError/|");
        // A failed task that runs again keeps its error until it ends or is reset.
        row("fail(first)|Running|stateChanged(Running) started|Running/Failed/first|started");
        row("fail(first)|Ready|stateChanged(Ready)|Ready/NoError/|");
        // fail() and abort() on a finished task overwrite the error, silently.
        row("fail(first)|abort||Finished/Aborted/first|finished(Aborted)");
        row("abort|fail(boom)||Finished/Failed/boom|finished(Failed)");
    }

    // The task is attached to a job, which must re-emit exactly what the task emits and
    // report what the task reports.
    void transitions()
    {
        QFETCH(QStringList, f);
        PlainJob job, second;
        auto *task = new Probe(job);
        job.attach(task);
        task->perform(&job, f[0]);
        SignalLog taskLog, jobLog;
        taskLog.watchTask(task, QStringLiteral("x"));
        jobLog.watchJob(&job, QStringLiteral("x"));
        QString seen; // what the task reports at its last signal: all is stored before emitting
        connect(task, &Task::stateChanged, this, [&] { seen = report(*task); });
        if (f[1].startsWith(QLatin1String("Invalid")))
            QTest::ignoreMessage(QtWarningMsg, "[Task]: Unhandled state <Invalid>");
        task->perform(&job, f[1]);

        QCOMPARE(QStringList({ text(taskLog), text(jobLog), seen, report(*task), report(job) }),
            QStringList({ f[2], f[2], f[2].isEmpty() ? QString() : f[3], f[3], f[3] }));
        QCOMPARE(task->errorString().isNull(), f[3].endsWith(QLatin1Char('/')));
        QCOMPARE(task->aborts, QString(f[0] + f[1]).count(QLatin1String("abort"))); // once per abort request
        taskLog.watchJob(&second, QStringLiteral("x")); // another job attached now catches up
        second.attach(task);
        QCOMPARE(text(taskLog), QString(f[4] + QStringLiteral(" resultChanged")).trimmed());
    }

    void release_data()
    {
        QTest::addColumn<QString>("how");
        for (const char *how : { "detach", "attach(nullptr)", "delete job", "attach same task" })
            QTest::newRow(how) << QString::fromLatin1(how);
    }

    // Replacing a task cuts it off from the job, and dropping the job's reference in any way
    // emits nothing and leaves the task to deleteLater(); attaching the same task changes nothing.
    void release()
    {
        QFETCH(QString, how);
        auto *job = new PlainJob;
        QPointer<ManualTask> old(new ManualTask(*job));
        old->setResult(42);
        job->attach(old);
        // A connection that the application made from the old task to the job is cut too.
        connect(old, SIGNAL(resultChanged()), job, SIGNAL(resultChanged()));
        QPointer<Probe> task(new Probe(*job));
        task->setProperty("state", QVariant::fromValue(Job::Running)); // the same as setState()
        SignalLog log;
        log.watchJob(job, QStringLiteral("x"));
        // While the job catches up with the new task, it still reports the old one.
        connect(job, &Job::started, this, [&] { log.add(report(*job)), log.add(job->result().toString()); });
        job->attach(task);
        QCOMPARE(text(log), QStringLiteral("started Ready/NoError/ 42 resultChanged"));
        QVERIFY(!job->result().isValid()); // the task declares no "result" property
        old->doFail(QStringLiteral("late"));
        old->setResult(0); // any of these reaching the job would show in the log below

        const bool kept = how == QLatin1String("attach same task");
        how == QLatin1String("detach")           ? job->detach()
            : how == QLatin1String("delete job") ? delete std::exchange(job, nullptr)
                                                 : job->attach(kept ? task.data() : nullptr);
        // Both released tasks are alive still; the last release puts the count back to 1.
        QCOMPARE(old && task ? task->ref.loadRelaxed() : 0, 1);
        if (job)
            Q_EMIT task->resultChanged(); // forwarded exactly once while attached, never after
        QCOMPARE(text(log), QLatin1String(kept ? "resultChanged" : ""));
        const QString notInitialized = QStringLiteral("Invalid/NotInit/Job not initialized");
        QCOMPARE(job ? report(*job) : notInitialized, kept ? report(*task) : notInitialized);
        QVERIFY(!job || job->isValid() == kept);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(bool(task), kept);
        QVERIFY(!old);
        delete job;
    }
};

QTEST_GUILESS_MAIN(tst_Jobs)
#include "tst_jobs.moc"
