#include "TestSupport.h"

#include <ObjectWorker.h>
#include <TaskFactory.h>
#include <WorkerRegistry.h>

#include <QtCore/QPointer>
#include <QtCore/private/qobject_p.h>
#include <QtTest/QtTest>

using namespace TestSupport;

// Host and job classes with names of their own, so that registrations made here never meet
// those of other suites.
class OwBaseHost : public QObject
{
    Q_OBJECT
};

class OwAlphaHost : public OwBaseHost
{
    Q_OBJECT
};

class OwBetaHost : public QObject
{
    Q_OBJECT
};

class OwJob : public Job
{
    Q_OBJECT
public:
    using Job::Job;
};

class OwOtherJob : public Job
{
    Q_OBJECT
public:
    using Job::Job;
};

namespace {

// Counts every signal emitted anywhere while installed (Qt's global signal spy hook), so that
// a constructor can be shown to emit nothing even before anyone could connect to it. Puts back
// whatever hook was installed before it.
int s_signals = 0;

void countSignal(QObject *, int, void **)
{
    ++s_signals;
}

struct SignalCounter
{
    SignalCounter()
    {
        s_signals = 0;
        qt_register_signal_spy_callbacks(&callbacks);
    }
    ~SignalCounter() { qt_register_signal_spy_callbacks(previous); }

    QSignalSpyCallbackSet *const previous = qt_signal_spy_callback_set.loadRelaxed();
    QSignalSpyCallbackSet callbacks { countSignal, nullptr, nullptr, nullptr };
};

TaskCtor *namedFactory(const QString &name)
{
    return makeTaskFactory([name](const Job &job) -> Task * {
        auto *task = new ManualTask(job);
        task->setObjectName(name);
        return task;
    });
}

QString nameOf(QObject *object)
{
    return object ? object->objectName() : QStringLiteral("null");
}

QString names(const QList<WorkQueue::TaskPtr> &tasks)
{
    QStringList out;
    for (const WorkQueue::TaskPtr &task : tasks)
        out << task->objectName();
    return out.join(QLatin1Char(','));
}

const QStringList kHosts { QStringLiteral("OwBaseHost"), QStringLiteral("OwAlphaHost"), QStringLiteral("OwBetaHost") };

} // namespace

class tst_ObjectWorker : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { failOnUnexpectedWarnings(); }
    void cleanup();

    void construction();
    void setObject_data();
    void setObject();
    void boundObjectDeleted();
    void metacast();
    void properties();
    void rebindingChangesFactories();
    void withoutObjectMakesNoTask();
};

void tst_ObjectWorker::cleanup()
{
    if (WorkerRegistry *registry = WorkerRegistry::instance()) {
        for (const QString &host : kHosts)
            registry->unregisterWorker(host);
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void tst_ObjectWorker::construction()
{
    QObject parent;
    OwAlphaHost host;
    ObjectWorker *unbound = nullptr;
    ObjectWorker *bound = nullptr;
    {
        SignalCounter counter;
        unbound = new ObjectWorker(nullptr, &parent);
        bound = new ObjectWorker(&host, &parent);
        QCOMPARE(s_signals, 0);
        bound->setObject(nullptr); // proves the counter sees this class's signals
        QCOMPARE(s_signals, 1);
        bound->setObject(&host);
    }

    QVERIFY(!unbound->object());
    QCOMPARE(bound->object(), &host);
    QCOMPARE(bound->parent(), &parent);
    QCOMPARE(host.parent(), nullptr);
    QVERIFY(!bound->autoAbort());
    QCOMPARE(bound->property("autoAbort"), QVariant(false));
    QCOMPARE(bound->worker(), static_cast<Worker *>(bound));
    QVERIFY(bound->queue().isEmpty());
    QVERIFY(!bound->current());

    // The worker never owns its object.
    delete bound;
    QCOMPARE(host.parent(), nullptr);
}

void tst_ObjectWorker::setObject_data()
{
    QTest::addColumn<QString>("initial"); // "", "A" or "dangling"
    QTest::addColumn<QString>("target"); // "", "A" or "B"
    QTest::addColumn<QStringList>("emitted");

    const QStringList none;
    QTest::newRow("null -> null") << ""
                                  << "" << none;
    QTest::newRow("null -> A") << ""
                               << "A" << QStringList { QStringLiteral("A") };
    QTest::newRow("A -> A") << "A"
                            << "A" << none;
    QTest::newRow("A -> B") << "A"
                            << "B" << QStringList { QStringLiteral("B") };
    QTest::newRow("A -> null") << "A"
                               << "" << QStringList { QStringLiteral("null") };
    QTest::newRow("dangling -> null") << "dangling"
                                      << "" << none;
    QTest::newRow("dangling -> B") << "dangling"
                                   << "B" << QStringList { QStringLiteral("B") };
}

void tst_ObjectWorker::setObject()
{
    QFETCH(QString, initial);
    QFETCH(QString, target);
    QFETCH(QStringList, emitted);

    QObject a;
    a.setObjectName(QStringLiteral("A"));
    QObject b;
    b.setObjectName(QStringLiteral("B"));
    const auto pick = [&](const QString &which) -> QObject * {
        return which == QLatin1String("A") ? &a : which == QLatin1String("B") ? &b : nullptr;
    };

    ObjectWorker worker(pick(initial));
    if (initial == QLatin1String("dangling")) {
        auto *gone = new QObject;
        worker.setObject(gone);
        delete gone;
    }
    QStringList seen;
    connect(&worker, &ObjectWorker::objectChanged, this, [&](QObject *object) {
        QCOMPARE(object, worker.object());
        seen << nameOf(object);
    });

    worker.setObject(pick(target));
    QCOMPARE(seen, emitted);
    QCOMPARE(worker.object(), pick(target));
}

void tst_ObjectWorker::boundObjectDeleted()
{
    auto *object = new QObject;
    ObjectWorker worker(object);
    int changes = 0;
    connect(&worker, &ObjectWorker::objectChanged, this, [&] { ++changes; });

    delete object;
    QVERIFY(!worker.object());
    QCOMPARE(worker.property("object").value<QObject *>(), nullptr);
    QCOMPARE(changes, 0);

    QTest::ignoreMessage(QtWarningMsg, "[Worker]: invalid Object, please implement the object method");
    QVERIFY(worker.name().isNull());
}

void tst_ObjectWorker::metacast()
{
    OwAlphaHost alpha;
    OwBetaHost beta;
    ObjectWorker worker(&alpha);
    QObject *object = &worker;

    auto *side = static_cast<Worker *>(object->qt_metacast("Worker"));
    QCOMPARE(side, static_cast<Worker *>(&worker));
    QVERIFY(static_cast<void *>(side) != static_cast<void *>(&worker));
    QCOMPARE(side, worker.worker());
    QCOMPARE(side->object(), worker.object());
    QCOMPARE(side->name(), QStringLiteral("OwAlphaHost"));
    worker.setObject(&beta);
    QCOMPARE(side->object(), &beta);
    QCOMPARE(side->name(), QStringLiteral("OwBetaHost"));

    QCOMPARE(object->qt_metacast("WorkQueue"), static_cast<void *>(static_cast<WorkQueue *>(&worker)));
    QCOMPARE(object->qt_metacast("ObjectWorker"), static_cast<void *>(&worker));
    QCOMPARE(object->qt_metacast("QObject"), static_cast<void *>(&worker));
    QVERIFY(!object->qt_metacast("Job"));
    QCOMPARE(qobject_cast<WorkQueue *>(object), static_cast<WorkQueue *>(&worker));
}

void tst_ObjectWorker::properties()
{
    WorkerRegistry *registry = WorkerRegistry::instance();
    QVERIFY(registry->registerTask(
        QStringLiteral("OwAlphaHost"), QStringLiteral("OwOtherJob"), namedFactory(QStringLiteral("alpha"))));
    QVERIFY(registry->registerTask(
        QStringLiteral("OwBaseHost"), QStringLiteral("OwJob"), namedFactory(QStringLiteral("base"))));

    OwAlphaHost alpha;
    ObjectWorker worker;
    const QMetaObject *meta = worker.metaObject();
    const int autoAbortIndex = meta->indexOfProperty("autoAbort");
    const int objectIndex = meta->indexOfProperty("object");
    const int jobNamesIndex = meta->indexOfProperty("jobNames");
    QVERIFY(autoAbortIndex >= 0);
    QVERIFY(autoAbortIndex < objectIndex);
    QVERIFY(objectIndex < jobNamesIndex);

    const QMetaProperty object = meta->property(objectIndex);
    QVERIFY(object.isWritable());
    QVERIFY(object.hasStdCppSet());
    QCOMPARE(object.notifySignal().name(), QByteArray("objectChanged"));
    QVERIFY(object.isDesignable() && object.isScriptable() && object.isStored());
    const QMetaProperty jobNames = meta->property(jobNamesIndex);
    QVERIFY(!jobNames.isWritable());
    QVERIFY(!jobNames.hasNotifySignal());
    QCOMPARE(jobNames.userType(), int(QMetaType::QStringList));
    QVERIFY(jobNames.isDesignable() && jobNames.isScriptable() && jobNames.isStored());

    int changes = 0;
    connect(&worker, &ObjectWorker::objectChanged, this, [&] { ++changes; });
    QVERIFY(worker.setProperty("object", QVariant::fromValue<QObject *>(&alpha)));
    QCOMPARE(changes, 1);
    QCOMPARE(worker.property("object").value<QObject *>(), &alpha);

    // The object's own class first, then its bases.
    const QStringList expected { QStringLiteral("OwOtherJob"), QStringLiteral("OwJob") };
    QCOMPARE(worker.property("jobNames").toStringList(), expected);
    QCOMPARE(worker.jobNames(), expected);
}

void tst_ObjectWorker::rebindingChangesFactories()
{
    WorkerRegistry *registry = WorkerRegistry::instance();
    QVERIFY(registry->registerTask(
        QStringLiteral("OwBaseHost"), QStringLiteral("OwJob"), namedFactory(QStringLiteral("base"))));
    QVERIFY(registry->registerTask(
        QStringLiteral("OwBetaHost"), QStringLiteral("OwJob"), namedFactory(QStringLiteral("beta"))));
    QVERIFY(registry->registerTask(
        QStringLiteral("OwAlphaHost"), QStringLiteral("OwOtherJob"), namedFactory(QStringLiteral("alpha"))));

    OwAlphaHost alpha;
    OwBetaHost beta;
    ObjectWorker worker(&alpha);
    SignalLog log;
    log.watchQueue(&worker, QStringLiteral("Q"));

    // Bound to alpha, a job is served by the factory of alpha's base class.
    OwJob first;
    QVERIFY(worker.enqueue(first, 0));
    QCOMPARE(first.task()->objectName(), QStringLiteral("base"));

    // Rebinding leaves the running task alone; later jobs go through beta's chain.
    worker.setObject(&beta);
    QCOMPARE(worker.current(), first.task());
    QVERIFY(first.task()->isRunning());
    OwJob second;
    QVERIFY(worker.enqueue(second, 0));
    QCOMPARE(second.task()->objectName(), QStringLiteral("beta"));
    QCOMPARE(worker.jobNames(), QStringList { QStringLiteral("OwJob") });

    OwOtherJob other;
    QTest::ignoreMessage(QtWarningMsg, "[Worker]: \"OwBetaHost\" has no registered tasks for \"OwOtherJob\"");
    QVERIFY(!worker.enqueue(other, 0));
    QVERIFY(!other.task());

    static_cast<ManualTask *>(first.task())->doSetState(Job::Finished);
    QVERIFY(second.task()->isRunning());
    QCOMPARE(log.take(),
        (QStringList { QStringLiteral("Q.started"), QStringLiteral("Q.queued(base,0)"),
            QStringLiteral("Q.queued(beta,0)"), QStringLiteral("Q.finished(NoError)"), QStringLiteral("Q.started") }));

    // And back: alpha's own class now serves the job beta could not.
    worker.setObject(&alpha);
    QVERIFY(worker.enqueue(qAsConst(other), 0));
    QCOMPARE(names(worker.queue()), QStringLiteral("beta,alpha"));
}

void tst_ObjectWorker::withoutObjectMakesNoTask()
{
    ObjectWorker worker;
    PlainJob job;
    QTest::ignoreMessage(QtWarningMsg, "[Worker]: invalid Object, please implement the object method");
    QVERIFY(!worker.enqueue(job, 0));
    QTest::ignoreMessage(QtWarningMsg, "[Worker]: invalid Object, please implement the object method");
    QVERIFY(!worker.enqueue(qAsConst(job), 0));
    QTest::ignoreMessage(QtWarningMsg, "[Worker]: invalid Object, please implement the object method");
    QVERIFY(worker.property("jobNames").toStringList().isEmpty());
    QVERIFY(!job.task());
    QVERIFY(worker.queue().isEmpty());
}

QTEST_GUILESS_MAIN(tst_ObjectWorker)
#include "tst_objectworker.moc"
