#include "TestSupport.h"

#include <WorkQueueListModel.h>
#include <WorkQueueTaskModel.h>

#include <QtTest/QAbstractItemModelTester>
#include <QtTest/QtTest>

using namespace TestSupport;

namespace {

using Model = WorkQueueTaskModel;

// Makes ManualTasks named after their job's objectName, in the start mode of the moment.
struct NamedWorker : Worker
{
    QObject *object() override { return nullptr; }
    Task *createTask(const Job &job) override
    {
        auto *task = new ManualTask(job, mode);
        task->setObjectName(job.objectName());
        made.insert(job.objectName(), task);
        return task;
    }
    // Through @p job when given (it then holds the task), else through a passing const job.
    ManualTask *add(WorkQueue &queue, const char *name, uint priority, ManualTask::StartMode startMode,
        Job *job = nullptr)
    {
        PlainJob plain;
        Job &j = job ? *job : plain;
        j.setObjectName(QLatin1String(name));
        mode = startMode;
        job ? queue.enqueue(j, priority) : queue.enqueue(qAsConst(j), priority);
        return made.value(j.objectName());
    }
    ManualTask::StartMode mode = ManualTask::RunOnStart;
    QHash<QString, QPointer<ManualTask>> made;
};

// A queue whose tasks show every state: three ended in their start() (done, failed, aborted),
// "run" running (priority 5), "wait" and "low" waiting (7 and 1). Rows: wait run low, then the
// finished ones.
struct Fixture
{
    explicit Fixture(bool table)
        : model(new Model(&rows, table))
    {
        new QAbstractItemModelTester(model, QAbstractItemModelTester::FailureReportingMode::QtTest, model);
        worker.add(queue, "done", 3, ManualTask::FinishOnStart);
        worker.add(queue, "failed", 3, ManualTask::FailOnStart);
        worker.add(queue, "aborted", 3, ManualTask::AbortOnStart);
        worker.add(queue, "run", 5, ManualTask::RunOnStart)->setResult(42);
        worker.add(queue, "wait", 7, ManualTask::RunOnStart);
        worker.add(queue, "low", 1, ManualTask::RunOnStart);
    }
    ~Fixture() { delete model; }
    ManualTask *task(const char *name) { return worker.made.value(QLatin1String(name)); }
    QString names() const
    {
        QStringList out;
        for (int row = 0; row < model->rowCount(); ++row)
            out << model->task(row)->objectName();
        return out.join(QLatin1Char(' '));
    }

    NamedWorker worker;
    WorkQueue queue{&worker};
    WorkQueueListModel rows{&queue};
    QPointer<Model> model;
};

// Logs a model's dataChanged() as "<task>:<roles>" ("*" for all roles) and its row moves.
QStringList *record(Model *model)
{
    auto *log = new QStringList;
    QObject::connect(model, &QObject::destroyed, [log] { delete log; });
    QObject::connect(model, &QAbstractItemModel::dataChanged, model,
        [model, log](const QModelIndex &from, const QModelIndex &to, const QVector<int> &roles) {
            QVERIFY(from.row() == to.row() && from.column() == 0 && to.column() == model->columnCount() - 1);
            QStringList names;
            for (int role : roles)
                names << QString::fromLatin1(role == Qt::DisplayRole ? "display" : model->roleNames().value(role));
            *log << model->task(from.row())->objectName() + QLatin1Char(':') +
                    (roles.isEmpty() ? QStringLiteral("*") : names.join(QLatin1Char(',')));
        });
    QObject::connect(model, &QAbstractItemModel::rowsMoved, model, [log] { *log << QStringLiteral("moved"); });
    return log;
}

} // namespace

class tst_Views : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void fields_data();
    void fields();
    void liveUpdates_data();
    void liveUpdates();
    void hostileHandlers();
    void taskSignals();
};

void tst_Views::fields_data()
{
    QTest::addColumn<int>("role");
    QTest::addColumn<QByteArray>("roleName");
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("header");
    QTest::addColumn<QString>("task");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("text"); // the table form's display in that column

    const QString job = PlainJob().name();
    const auto row = [](const char *tag, Model::Role role, const char *name, Model::Column column, const char *header,
                         const char *task, const QVariant &value, const char *text) {
        QTest::newRow(tag) << int(role) << QByteArray(name) << int(column) << QString::fromLatin1(header)
                           << QString::fromLatin1(task) << value << QString::fromLatin1(text);
    };
    row("name", Model::NameRole, "name", Model::NameColumn, "Job", "wait", job, "TestSupport::PlainJob");
    row("state ready", Model::StateRole, "state", Model::StateColumn, "State", "wait", int(Job::Ready), "Ready");
    row("state running", Model::StateRole, "state", Model::StateColumn, "State", "run", int(Job::Running), "Running");
    row("state text", Model::StateTextRole, "stateText", Model::StateColumn, "State", "done", QStringLiteral("Finished"), "Finished");
    row("no error", Model::ErrorRole, "error", Model::ErrorColumn, "Error", "done", int(Job::NoError), "");
    row("failed", Model::ErrorRole, "error", Model::ErrorColumn, "Error", "failed", int(Job::Failed),
        "Failed: failed on start");
    row("aborted", Model::ErrorRole, "error", Model::ErrorColumn, "Error", "aborted", int(Job::Aborted), "Aborted");
    row("error text", Model::ErrorTextRole, "errorText", Model::ErrorColumn, "Error", "failed", QStringLiteral("failed on start"),
        "Failed: failed on start");
    row("result", Model::ResultRole, "result", Model::ResultColumn, "Result", "run", 42, "42");
    row("no result", Model::ResultRole, "result", Model::ResultColumn, "Result", "wait", QVariant(), "");
    row("priority", Model::PriorityRole, "priority", Model::PriorityColumn, "Priority", "wait", 7u, "7");
    // Read while the queue held the task, kept once it has left the queue.
    row("priority, finished", Model::PriorityRole, "priority", Model::PriorityColumn, "Priority", "aborted", 3u, "3");
}

void tst_Views::fields()
{
    QFETCH(int, role);
    QFETCH(QByteArray, roleName);
    QFETCH(int, column);
    QFETCH(QString, header);
    QFETCH(QString, task);
    QFETCH(QVariant, value);
    QFETCH(QString, text);

    Fixture list(false), table(true);
    QCOMPARE(list.names(), QStringLiteral("wait run low aborted failed done"));
    QCOMPARE(list.model->roleNames().value(role), roleName);
    const int row = list.model->rowOf(list.task(qPrintable(task)));
    QCOMPARE(row, table.model->rowOf(table.task(qPrintable(task))));
    QCOMPARE(list.model->index(row, 0).data(role), value);
    QCOMPARE(list.model->index(row, 0).data().toString(), PlainJob().name());
    QCOMPARE(list.model->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Job"));
    QCOMPARE(list.model->index(row, 1), QModelIndex());

    QCOMPARE(table.model->columnCount(), int(Model::ColumnCount));
    QCOMPARE(table.model->headerData(column, Qt::Horizontal).toString(), header);
    QCOMPARE(table.model->index(row, column).data().toString(), text);
    for (int c = 0; c < Model::ColumnCount; ++c) // every column serves the roles
        QCOMPARE(table.model->index(row, c).data(role), value);
    QCOMPARE(qvariant_cast<QObject *>(table.model->index(row, column).data(Model::TaskRole)),
        static_cast<QObject *>(table.task(qPrintable(task))));
}

void tst_Views::liveUpdates_data()
{
    QTest::addColumn<bool>("table");
    QTest::newRow("list") << false;
    QTest::newRow("table") << true;
}

// One dataChanged() per change of a task, for its row, naming the roles that changed; the
// source's own report of a finish is not repeated; rows follow the source.
void tst_Views::liveUpdates()
{
    QFETCH(bool, table);
    Fixture f(table);
    QStringList *log = record(f.model);
    const QString display = table ? QStringLiteral(",display") : QString();
    const QString state = QStringLiteral("state,stateText,error,errorText") + display;

    f.task("run")->setResult(43);
    f.task("run")->doSetState(Job::Finished); // moves below "low"; "wait" starts
    QCOMPARE(*log, QStringList({ QStringLiteral("run:result") + display, QStringLiteral("run:") + state,
                       QStringLiteral("moved"), QStringLiteral("wait:") + state }));
    log->clear();
    f.task("wait")->doFail(QStringLiteral("x")); // moves; "low" starts
    f.task("low")->abort(); // the last unfinished row: the source reports it in place
    QCOMPARE(*log, QStringList({ QStringLiteral("wait:") + state, QStringLiteral("moved"),
                       QStringLiteral("low:") + state, QStringLiteral("low:") + state }));
    QCOMPARE(f.names(), QStringLiteral("low wait run aborted failed done"));
    QCOMPARE(f.model->index(1, 0).data(Model::ErrorTextRole).toString(), QStringLiteral("x"));

    // A row whose task the source replaces: one report, with no roles; the old task is no
    // longer listened to.
    log->clear();
    QVERIFY(f.rows.setData(f.rows.index(0, 0), QVariant::fromValue<QObject *>(f.task("done")), Qt::DisplayRole));
    f.task("low")->doSetState(Job::Ready);
    QCOMPARE(*log, QStringList({ QStringLiteral("done:*") }));

    f.rows.setMaxFinishedTasks(2);
    QCOMPARE(f.names(), QStringLiteral("done wait"));
    f.model->setTableForm(!table);
    QCOMPARE(f.model->columnCount(), table ? 1 : int(Model::ColumnCount));
    f.rows.setWorkQueue(nullptr);
    QCOMPARE(f.model->rowCount(), 0);
}

// The queue or the source deleted under the model, and slots that delete the model.
void tst_Views::hostileHandlers()
{
    NamedWorker worker;
    auto *queue = new WorkQueue(&worker);
    auto *rows = new WorkQueueListModel(queue);
    QPointer<Model> model = new Model(rows, true);
    new QAbstractItemModelTester(model, QAbstractItemModelTester::FailureReportingMode::QtTest, model);
    ManualTask *run = worker.add(*queue, "run", 5, ManualTask::RunOnStart);
    ManualTask *wait = worker.add(*queue, "wait", 7, ManualTask::RunOnStart);
    delete queue; // the rows stay, and still follow their tasks
    wait->doSetState(Job::Running);
    QCOMPARE(model->index(0, 0).data(Model::StateRole), QVariant(int(Job::Running)));
    QCOMPARE(model->index(0, 0).data(Model::PriorityRole), QVariant(7u));

    connect(model, &QAbstractItemModel::dataChanged, model, [&model] { delete model; });
    run->doSetState(Job::Finished);
    QVERIFY(!model);
    queue = new WorkQueue(&worker);
    rows->setWorkQueue(queue);
    model = new Model(rows);
    connect(model, &QAbstractItemModel::rowsInserted, model, [&model] { delete model; });
    worker.add(*queue, "late", 1, ManualTask::RunOnStart);
    QVERIFY(!model);

    model = new Model(rows);
    QCOMPARE(model->rowCount(), 1);
    QSignalSpy reset(model, &QAbstractItemModel::modelReset), changed(model, &QAbstractItemModel::dataChanged);
    delete rows;
    QCOMPARE(reset.count(), 1);
    QCOMPARE(model->rowCount(), 0);
    QVERIFY(!model->sourceModel());
    worker.made.value(QStringLiteral("late"))->doSetState(Job::Finished);
    QCOMPARE(changed.count(), 0);
    delete model;
    delete queue;
}

// taskFinished() follows finished() while the task is still held and current, before the next
// task starts; taskRemoved() follows dequeue() once the task has left, after the next one
// started. Each once, with the task and the error; a slot may delete the queue from either.
void tst_Views::taskSignals()
{
    NamedWorker worker;
    QPointer<WorkQueue> queue;
    QStringList log;
    QString deleteFrom;
    const auto held = [&](const WorkQueue::TaskPtr &t) -> QString {
        const QList<WorkQueue::TaskPtr> tasks = queue->queue();
        return QString::number(tasks.count(t)) + QLatin1String(queue->current() == t.data() ? "*" : "");
    };
    const auto watch = [&] {
        queue = new WorkQueue(&worker);
        connect(queue, &WorkQueue::started, this, [&] { log << QLatin1String("started ") + queue->current()->objectName(); });
        connect(queue, &WorkQueue::finished, this, [&](Job::Error e) { log << QLatin1String("finished ") + Job::toString(e); });
        connect(queue, &WorkQueue::queued, this, [&](const WorkQueue::TaskPtr &t) { log << QLatin1String("queued ") + t->objectName(); });
        connect(queue, &WorkQueue::taskFinished, this, [&](const WorkQueue::TaskPtr &t, Job::Error e) {
            log << QStringLiteral("taskFinished %1 %2 held %3").arg(t->objectName(), Job::toString(e), held(t));
            if (deleteFrom == QLatin1String("taskFinished"))
                delete queue;
        });
        connect(queue, &WorkQueue::taskRemoved, this, [&](const WorkQueue::TaskPtr &t) {
            log << QStringLiteral("taskRemoved %1 held %2").arg(t->objectName(), held(t));
            if (deleteFrom == QLatin1String("taskRemoved"))
                delete queue;
        });
    };
    const auto take = [&log] { return std::exchange(log, QStringList()).join(QLatin1String(", ")); };

    watch();
    PlainJob c, d, e;
    worker.add(*queue, "a", 1, ManualTask::FailOnStart); // ends inside its start()
    worker.add(*queue, "b", 1, ManualTask::RunOnStart);
    worker.add(*queue, "c", 1, ManualTask::RunOnStart, &c);
    worker.add(*queue, "d", 1, ManualTask::RunOnStart, &d);
    worker.add(*queue, "e", 0, ManualTask::RunOnStart, &e);
    QCOMPARE(take(), QStringLiteral("started a, finished Failed, taskFinished a Failed held 1*, queued a, started b, "
                                    "queued b, queued c, queued d, queued e"));
    worker.made.value(QStringLiteral("b"))->doSetState(Job::Finished);
    QCOMPARE(take(), QStringLiteral("finished NoError, taskFinished b NoError held 1*, started c"));
    QVERIFY(queue->dequeue(c)); // running: "d" starts first
    QVERIFY(queue->dequeue(e));
    QCOMPARE(take(), QStringLiteral("started d, taskRemoved c held 0, taskRemoved e held 0"));
    QTest::ignoreMessage(QtWarningMsg, "[WorkQueue]: internal error, can't find task");
    QVERIFY(!queue->dequeue(c));
    QCOMPARE(take(), QString());

    deleteFrom = QStringLiteral("taskFinished");
    worker.add(*queue, "f", 0, ManualTask::RunOnStart);
    d.task()->abort();
    QVERIFY(!queue);
    QCOMPARE(take(), QStringLiteral("queued f, finished Aborted, taskFinished d Aborted held 1*"));

    watch();
    deleteFrom = QStringLiteral("taskRemoved");
    worker.add(*queue, "g", 0, ManualTask::RunOnStart, &c);
    QVERIFY(queue->dequeue(c)); // the task was removed: true, though the queue is gone
    QVERIFY(!queue);
    QCOMPARE(take(), QStringLiteral("started g, queued g, taskRemoved g held 0"));
}

QTEST_GUILESS_MAIN(tst_Views)
#include "tst_views.moc"
