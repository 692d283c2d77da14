#include "TestSupport.h"

#include <QtTest/QtTest>

using namespace TestSupport;

namespace {

// A task that counts its destructions, to prove that the shared pointer deletes exactly once.
class CountedTask : public ManualTask
{
public:
    using ManualTask::ManualTask;
    ~CountedTask() override { ++destroyed; }
    static int destroyed;
};
int CountedTask::destroyed = 0;

class NamedJob : public Job
{
    Q_OBJECT
public:
    QString name() const override { return QStringLiteral("custom.name"); }
};

// Brings a task to a row's starting point.
void prepare(ManualTask &task, const QString &start)
{
    if (start == QLatin1String("Running") || start == QLatin1String("Running after failure")) {
        if (start != QLatin1String("Running"))
            task.doFail(QStringLiteral("first"));
        task.doSetState(Job::Running);
    } else if (start == QLatin1String("Succeeded")) {
        task.doSetState(Job::Finished);
    } else if (start == QLatin1String("Failed")) {
        task.doFail(QStringLiteral("first"));
    } else if (start == QLatin1String("Aborted")) {
        task.abort();
    }
}

// "fail", "abort", "setState(<key or number>)" or "property(<key>)", the property written
// through the meta-object system.
void perform(ManualTask &task, const QString &request)
{
    if (request == QLatin1String("fail"))
        return task.doFail(QStringLiteral("boom"));
    if (request == QLatin1String("abort"))
        return task.abort();
    const QString arg = request.section(QLatin1Char('('), 1).chopped(1);
    bool isNumber = false;
    int value = arg.toInt(&isNumber);
    if (!isNumber)
        value = Job::StateMetaEnum().keyToValue(arg.toLatin1().constData());
    if (request.startsWith(QLatin1String("property")))
        QVERIFY(task.setProperty("state", QVariant::fromValue(static_cast<Job::State>(value))));
    else
        task.doSetState(static_cast<Job::State>(value));
}

QString outcome(const Task &task)
{
    return Job::toString(task.state()) + QLatin1Char('/') + Job::toString(task.error()) + QLatin1Char('/')
        + task.errorString();
}

// "<signature> <access> <kind>" for each method a class adds to its base's meta-object.
QStringList ownMethods(const QMetaObject &meta)
{
    static const char *const access[] = { "private", "protected", "public" };
    static const char *const kind[] = { "method", "signal", "slot", "constructor" };
    QStringList out;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod m = meta.method(i);
        out << QString::fromLatin1(m.methodSignature() + ' ' + access[m.access()] + ' ' + kind[m.methodType()]);
    }
    return out;
}

} // namespace

class tst_Task : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { failOnUnexpectedWarnings(); }

    void newTask()
    {
        ManualTask bare;
        QCOMPARE(bare.name(), QString());
        QCOMPARE(bare.state(), Job::Ready);
        QCOMPARE(bare.error(), Job::NoError);
        QVERIFY(bare.errorString().isNull());
        QVERIFY(!bare.isRunning());
        QVERIFY(!bare.isFinished());
        QCOMPARE(bare.ref.loadRelaxed(), 0);

        PlainJob plain;
        QCOMPARE(ManualTask(plain).name(), QStringLiteral("TestSupport::PlainJob"));
        // The task asks the job's virtual name(), not its class name.
        NamedJob named;
        ManualTask fromNamed(named);
        QCOMPARE(fromNamed.name(), QStringLiteral("custom.name"));
        QVERIFY(!named.isValid()); // making a task does not attach it
    }

    void transitions_data()
    {
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("request");
        QTest::addColumn<QStringList>("signals_");
        // "<state>/<error>/<errorString>" afterwards; an empty text must be a null string.
        QTest::addColumn<QString>("outcome");

        const QStringList none;
        const QStringList running { QStringLiteral("t.stateChanged(Running)"), QStringLiteral("t.started") };
        auto finished = [](const char *error) {
            return QStringList { QStringLiteral("t.stateChanged(Finished)"),
                QStringLiteral("t.finished(") + QLatin1String(error) + QLatin1Char(')') };
        };
        const QStringList ready { QStringLiteral("t.stateChanged(Ready)") };
        auto row = [](const char *start, const char *request) -> QTestData & {
            return QTest::addRow("%s, %s", start, request)
                << QString::fromLatin1(start) << QString::fromLatin1(request);
        };

        row("Ready", "setState(Ready)") << none << QStringLiteral("Ready/NoError/");
        row("Ready", "setState(Running)") << running << QStringLiteral("Running/NoError/");
        row("Ready", "setState(Finished)") << finished("NoError") << QStringLiteral("Finished/NoError/");
        row("Ready", "fail") << finished("Failed") << QStringLiteral("Finished/Failed/boom");
        row("Ready", "abort") << finished("Aborted") << QStringLiteral("Finished/Aborted/");
        row("Ready", "setState(Invalid)") << none << QStringLiteral("Ready/NoError/");
        row("Ready", "setState(9)") << none << QStringLiteral("Ready/NoError/");
        row("Ready", "property(Running)") << running << QStringLiteral("Running/NoError/");
        row("Ready", "property(Invalid)") << none << QStringLiteral("Ready/NoError/");

        row("Running", "setState(Running)") << none << QStringLiteral("Running/NoError/");
        row("Running", "setState(Finished)") << finished("NoError") << QStringLiteral("Finished/NoError/");
        row("Running", "fail") << finished("Failed") << QStringLiteral("Finished/Failed/boom");
        row("Running", "abort") << finished("Aborted") << QStringLiteral("Finished/Aborted/");
        row("Running", "setState(Ready)") << finished("Aborted") + ready << QStringLiteral("Ready/NoError/");
        row("Running", "property(Ready)") << finished("Aborted") + ready << QStringLiteral("Ready/NoError/");
        row("Running", "setState(Invalid)") << none << QStringLiteral("Running/NoError/");
        // A failed task that runs again keeps its error until it is reset or ends otherwise.
        row("Running after failure", "setState(Finished)")
            << finished("Failed") << QStringLiteral("Finished/Failed/first");
        row("Running after failure", "setState(Ready)")
            << finished("Aborted") + ready << QStringLiteral("Ready/NoError/");

        row("Succeeded", "setState(Finished)") << none << QStringLiteral("Finished/NoError/");
        row("Succeeded", "setState(Ready)") << ready << QStringLiteral("Ready/NoError/");
        row("Succeeded", "setState(Invalid)") << none << QStringLiteral("Finished/NoError/");
        // fail() and abort() on a finished task only overwrite the error, silently.
        row("Succeeded", "fail") << none << QStringLiteral("Finished/Failed/boom");
        row("Succeeded", "abort") << none << QStringLiteral("Finished/Aborted/");
        row("Failed", "abort") << none << QStringLiteral("Finished/Aborted/first");
        row("Aborted", "fail") << none << QStringLiteral("Finished/Failed/boom");
        row("Failed", "setState(Ready)") << ready << QStringLiteral("Ready/NoError/");
        row("Failed", "setState(Running)") << running << QStringLiteral("Running/Failed/first");
    }

    void transitions()
    {
        QFETCH(QString, start);
        QFETCH(QString, request);
        QFETCH(QStringList, signals_);
        QFETCH(QString, outcome);

        ManualTask task;
        prepare(task, start);
        SignalLog log;
        log.watchTask(&task, QStringLiteral("t"));
        // Every signal must find the transition's state and error already stored.
        QStringList seen;
        auto record = [&] { seen << ::outcome(task); };
        connect(&task, &Task::stateChanged, this, [&](Job::State s) {
            QCOMPARE(task.state(), s);
            record();
        });
        connect(&task, &Task::started, this, record);
        connect(&task, &Task::finished, this, [&](Job::Error e) {
            QCOMPARE(task.error(), e);
            record();
        });

        if (request.endsWith(QLatin1String("(Invalid)")))
            QTest::ignoreMessage(QtWarningMsg, "[Task]: Unhandled state <Invalid>");
        perform(task, request);

        QCOMPARE(log.entries, signals_);
        QCOMPARE(seen.size(), signals_.size());
        if (!seen.isEmpty())
            QCOMPARE(seen.last(), outcome);
        QCOMPARE(::outcome(task), outcome);
        QCOMPARE(task.errorString().isNull(), outcome.endsWith(QLatin1Char('/')));
        QCOMPARE(task.isRunning(), task.state() == Job::Running);
        QCOMPARE(task.isFinished(), task.state() == Job::Finished);
        QCOMPARE(task.property("state").value<Job::State>(), task.state());
        QCOMPARE(task.property("error").value<Job::Error>(), task.error());
        QCOMPARE(task.property("errorString").toString(), task.errorString());
    }

    void resetOfRunningTaskDoesNotCallAbort()
    {
        struct AbortCounting : ManualTask
        {
            int aborts = 0;
            void abort() override
            {
                ++aborts;
                ManualTask::abort();
            }
        } task;
        task.doSetState(Job::Running);
        task.doSetState(Job::Ready);
        QCOMPARE(task.aborts, 0);
        task.doSetState(Job::Running);
        task.abort();
        QCOMPARE(task.aborts, 1);
        QCOMPARE(task.error(), Job::Aborted);
    }

    void metaObject()
    {
        const QMetaObject &meta = Task::staticMetaObject;
        QCOMPARE(meta.superClass(), &QObject::staticMetaObject);
        QCOMPARE(ownMethods(meta),
            (QStringList { QStringLiteral("started() public signal"),
                QStringLiteral("finished(Job::Error) public signal"),
                QStringLiteral("stateChanged(Job::State) public signal"),
                QStringLiteral("resultChanged() public signal"), QStringLiteral("fail(QString) protected slot"),
                QStringLiteral("setState(Job::State) protected slot") }));

        const QMetaProperty state = meta.property(meta.indexOfProperty("state"));
        QVERIFY(state.isWritable());
        QCOMPARE(state.notifySignal().methodSignature(), QByteArray("stateChanged(Job::State)"));
        QCOMPARE(meta.propertyCount() - meta.propertyOffset(), 3);
        QVERIFY(!meta.property(meta.indexOfProperty("error")).isWritable());
        QVERIFY(!meta.property(meta.indexOfProperty("errorString")).isWritable());
        QCOMPARE(QByteArray(state.typeName()), QByteArray("Job::State"));
        QCOMPARE(QByteArray(meta.property(meta.indexOfProperty("error")).typeName()), QByteArray("Job::Error"));
    }

    void metacast()
    {
        ManualTask task;
        QObject *object = &task;
        Task *asTask = &task;
        TaskSharedObject *shared = &task;
        // The shared part sits after the QObject part, so the two answers differ.
        QVERIFY(static_cast<void *>(shared) != static_cast<void *>(asTask));
        QCOMPARE(object->qt_metacast("Task"), static_cast<void *>(asTask));
        QCOMPARE(object->qt_metacast("TaskSharedObject"), static_cast<void *>(shared));
        QCOMPARE(object->qt_metacast("QObject"), static_cast<void *>(object));
        QCOMPARE(object->qt_metacast("TestSupport::ManualTask"), static_cast<void *>(&task));
        QCOMPARE(object->qt_metacast("Job"), static_cast<void *>(nullptr));
        QCOMPARE(qobject_cast<Task *>(object), asTask);
        QCOMPARE(shared->object(), object);
    }

    void sharedPointerCounts()
    {
        CountedTask::destroyed = 0;
        auto *task = new CountedTask;
        QPointer<Task> guard(task);
        {
            WorkQueue::TaskPtr a(task);
            QCOMPARE(task->ref.loadRelaxed(), 1);
            WorkQueue::TaskPtr b(a);
            QCOMPARE(task->ref.loadRelaxed(), 2);
            WorkQueue::TaskPtr c;
            c = b;
            QCOMPARE(task->ref.loadRelaxed(), 3);
            const WorkQueue::TaskPtr &same = c;
            c = same; // assigning the pointer it already holds keeps the count
            QCOMPARE(task->ref.loadRelaxed(), 3);
            c.reset();
            QCOMPARE(task->ref.loadRelaxed(), 2);
            b = WorkQueue::TaskPtr();
            QCOMPARE(task->ref.loadRelaxed(), 1);
            WorkQueue::TaskPtr moved(std::move(a));
            QCOMPARE(task->ref.loadRelaxed(), 1);
            // QSharedData's own counter is hidden and never used.
            QCOMPARE(task->QSharedData::ref.loadRelaxed(), 0);
        }
        // Last release: scheduled, not deleted, and the count is back at 1.
        QVERIFY(guard);
        QCOMPARE(task->ref.loadRelaxed(), 1);
        {
            WorkQueue::TaskPtr again(task);
            QCOMPARE(task->ref.loadRelaxed(), 2);
        }
        QCOMPARE(task->ref.loadRelaxed(), 1);
        WorkQueue::TaskPtr late(task);
        late = WorkQueue::TaskPtr();
        QCOMPARE(task->ref.loadRelaxed(), 1);
        QVERIFY(guard);
        QCOMPARE(CountedTask::destroyed, 0);

        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!guard);
        QCOMPARE(CountedTask::destroyed, 1);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(CountedTask::destroyed, 1);
    }

    void unreferencedTaskIsNotDeleted()
    {
        CountedTask::destroyed = 0;
        QObject owner;
        auto *owned = new CountedTask(&owner);
        auto *loose = new CountedTask;
        owned->doSetState(Job::Running);
        owned->doSetState(Job::Finished);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(CountedTask::destroyed, 0);
        QCOMPARE(owned->ref.loadRelaxed(), 0);
        QCOMPARE(owned->parent(), &owner);
        delete loose;
        QCOMPARE(CountedTask::destroyed, 1);
    }
};

QTEST_GUILESS_MAIN(tst_Task)
#include "tst_task.moc"
