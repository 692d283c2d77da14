#include "TestSupport.h"
#include "models/ChildlessProxyModel.h"

#include <WorkQueueListModel.h>
#include <Worker.h>

#include <QtCore/QHash>
#include <QtCore/QPointer>
#include <QtCore/QRandomGenerator>
#include <QtCore/QSortFilterProxyModel>
#include <QtTest/QAbstractItemModelTester>
#include <QtTest/QtTest>

#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

using namespace TestSupport;

namespace {

// A job whose type name is chosen per instance, so every task shows a name of its own.
class NamedJob : public Job
{
public:
    explicit NamedJob(const QString &name)
        : m_name(name)
    { }
    QString name() const override { return m_name; }

private:
    QString m_name;
};

// Makes ManualTasks directly, without the registry; `mode` decides what their start() does.
class TestWorker : public Worker
{
public:
    QObject *object() override { return &m_object; }
    Task *createTask(const Job &job) override
    {
        auto *task = new ManualTask(job, mode);
        task->setObjectName(job.name());
        if (created)
            created(task);
        return task;
    }

    ManualTask::StartMode mode = ManualTask::RunOnStart;
    std::function<void(ManualTask *)> created;

private:
    QObject m_object;
};

// A queue with its worker and jobs, and what a model that follows it is expected to show as
// its finished block: the tasks the queue reported finished, newest first, trimmed to the
// model's maximum as it was at each finish.
class Rig
{
public:
    explicit Rig(bool autoAbort = false)
        : ownQueue(new WorkQueue(&worker, autoAbort))
        , queue(ownQueue.get())
    {
        worker.created = [this](ManualTask *task) {
            lastCreated = task;
            // Connected before the queue connects, so this runs while the queue still holds it.
            QObject::connect(task, &Task::finished, &context, [this, task] {
                if (holds(task)) {
                    shown.prepend(task);
                    trim();
                }
            });
        };
    }

    // Queues a job named @p name. An attached job keeps its task (and can be dequeued);
    // otherwise only the queue and the model hold it.
    ManualTask *add(
        const QString &name, uint priority, ManualTask::StartMode mode = ManualTask::RunOnStart, bool attached = false)
    {
        worker.mode = mode;
        lastCreated = nullptr;
        auto job = std::make_unique<NamedJob>(name);
        const bool ok
            = attached ? queue->enqueue(*job, priority) : queue->enqueue(static_cast<const Job &>(*job), priority);
        ManualTask *task = lastCreated;
        if (!ok)
            return nullptr;
        if (attached) {
            jobOf.insert(task, job.get());
            jobs.push_back(std::move(job));
        }
        return task;
    }

    ManualTask *current() const { return static_cast<ManualTask *>(queue->current()); }
    void finishCurrent() { current()->doSetState(Job::Finished); }

    void setLimit(WorkQueueListModel &model, uint count)
    {
        model.setMaxFinishedTasks(count);
        limit = count;
        trim();
    }

    bool holds(const Task *task) const
    {
        const QList<WorkQueue::TaskPtr> held = queue->queue();
        return std::any_of(
            held.cbegin(), held.cend(), [task](const WorkQueue::TaskPtr &p) { return p.data() == task; });
    }

    // Empty when the model's rows are what the queue and the finishes so far call for: the
    // unfinished block lists queue() in order (rows of tasks that left it unfinished aside),
    // the finished block is `shown`. Every row's task is touched, so a row that kept a task
    // deleted by the event loop trips the address sanitizer here.
    QString layoutProblem(const WorkQueueListModel &model) const
    {
        const int rows = model.rowCount();
        const int finishedFrom = rows - shown.size();
        QStringList actual, expected;
        for (int r = 0; r < rows; ++r) {
            const Task *task = model.task(r).data();
            if (!task)
                return QStringLiteral("row %1 has no task").arg(r);
            QString entry = task->name();
            if (r >= finishedFrom) {
                entry.append(QLatin1Char('*'));
                actual.append(entry);
            } else if (!stale.contains(task)) {
                actual.append(entry + (task->isFinished() ? QStringLiteral("(finished)") : QString()));
            }
        }
        const QList<WorkQueue::TaskPtr> held = queue->queue();
        for (const WorkQueue::TaskPtr &task : held)
            expected.append(task->name());
        for (const QPointer<Task> &task : shown)
            expected.append(task ? task->name() + QLatin1Char('*') : QStringLiteral("<deleted>"));
        if (finishedFrom < 0 || actual != expected)
            return QStringLiteral("rows [%1], expected [%2]")
                .arg(actual.join(QLatin1Char(' ')), expected.join(QLatin1Char(' ')));
        return QString();
    }

    TestWorker worker;
    std::unique_ptr<WorkQueue> ownQueue;
    WorkQueue *queue;
    std::vector<std::unique_ptr<NamedJob>> jobs;
    QHash<const Task *, NamedJob *> jobOf;
    QList<QPointer<Task>> shown;
    QList<const Task *> stale; // dequeued, in order: their rows stay in the unfinished block
    uint limit = 10;
    ManualTask *lastCreated = nullptr;
    QObject context; // last member: destroyed first, cutting the finish watchers

private:
    void trim()
    {
        while (shown.size() > qint64(limit))
            shown.removeLast();
    }
};

// Runs Qt's model tester on every change, directly (through a proxy that hides the rows the
// model repeats under each parent) and through a sorting proxy on top of that.
void watch(QAbstractItemModel *model)
{
    auto *childless = new ChildlessProxyModel(model);
    childless->setSourceModel(model);
    new QAbstractItemModelTester(childless, QAbstractItemModelTester::FailureReportingMode::QtTest, childless);
    auto *sorted = new QSortFilterProxyModel(model);
    sorted->setSourceModel(childless);
    sorted->setDynamicSortFilter(true);
    sorted->sort(0);
    new QAbstractItemModelTester(sorted, QAbstractItemModelTester::FailureReportingMode::QtTest, sorted);
}

void record(WorkQueueListModel *model, SignalLog &log)
{
    QObject::connect(model, &QAbstractItemModel::rowsInserted, &log, [&log](const QModelIndex &, int first, int last) {
        log.add(QStringLiteral("inserted(%1,%2)").arg(first).arg(last));
    });
    QObject::connect(model, &QAbstractItemModel::rowsRemoved, &log, [&log](const QModelIndex &, int first, int last) {
        log.add(QStringLiteral("removed(%1,%2)").arg(first).arg(last));
    });
    QObject::connect(model, &QAbstractItemModel::rowsMoved, &log,
        [&log](const QModelIndex &, int first, int last, const QModelIndex &, int row) {
            log.add(QStringLiteral("moved(%1,%2,%3)").arg(first).arg(last).arg(row));
        });
    QObject::connect(model, &QAbstractItemModel::dataChanged, &log,
        [&log](const QModelIndex &topLeft, const QModelIndex &bottomRight, const QVector<int> &roles) {
            log.add(QStringLiteral("changed(%1,%2%3)")
                        .arg(topLeft.row())
                        .arg(bottomRight.row())
                        .arg(roles.isEmpty() ? QString() : QStringLiteral(",roles")));
        });
    QObject::connect(model, &QAbstractItemModel::modelReset, &log, [&log] { log.add(QStringLiteral("reset")); });
    QObject::connect(
        model, &QAbstractItemModel::layoutChanged, &log, [&log] { log.add(QStringLiteral("layoutChanged")); });
    QObject::connect(model, &WorkQueueListModel::maxFinishedTasksChanged, &log,
        [&log](uint count) { log.add(QStringLiteral("maxChanged(%1)").arg(count)); });
}

// Each row's display text, "*" for a finished task, "-" for a row without a task.
QString rowsOf(const WorkQueueListModel &model)
{
    QStringList out;
    for (int r = 0; r < model.rowCount(); ++r) {
        const WorkQueue::TaskPtr task = model.task(r);
        if (!task) {
            out.append(QStringLiteral("-"));
            continue;
        }
        QString name = model.data(model.index(r, 0)).toString();
        if (task->isFinished())
            name.append(QLatin1Char('*'));
        out.append(name);
    }
    return out.join(QLatin1Char(' '));
}

QStringList words(const char *text)
{
    return QString::fromLatin1(text).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

void processDeferredDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

class tst_ListModel : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { failOnUnexpectedWarnings(); }
    void cleanup() { processDeferredDeletes(); }

    void withoutQueue();
    void showsQueueContents();
    void placement_data();
    void placement();
    void finishingMovesToFinishedBlock();
    void pruneOldest();
    void maxZeroRemovesEachFinishedRow();
    void setMaxFinishedTasks_data();
    void setMaxFinishedTasks();
    void clearDetaches();
    void setWorkQueue();
    void setData();
    void rowOperationsRefused();
    void insertInsideFinishedBlock_data();
    void insertInsideFinishedBlock();
    void queueDestroyed();
    void finishedBeforeAnnounced_data();
    void finishedBeforeAnnounced();
    void randomized_data();
    void randomized();
};

void tst_ListModel::withoutQueue()
{
    WorkQueueListModel model;
    watch(&model);
    QCOMPARE(model.rowCount(), 0);
    QCOMPARE(model.columnCount(), 1);
    QVERIFY(!model.workQueue());
    QCOMPARE(model.maxFinishedTasks(), 10u);
    QCOMPARE(model.property("maxFinishedTasks"), QVariant(10u));
    QVERIFY(!model.task(0));
    QVERIFY(!model.data(model.index(0, 0)).isValid());
}

void tst_ListModel::showsQueueContents()
{
    Rig rig;
    rig.add(QStringLiteral("a"), 1);
    rig.add(QStringLiteral("b"), 5);
    rig.add(QStringLiteral("c"), 3);

    WorkQueueListModel model(rig.queue);
    watch(&model);
    QCOMPARE(model.workQueue(), rig.queue);
    QCOMPARE(rowsOf(model), QStringLiteral("b c a")); // queue order, current task "a" in its place
    for (int r = 0; r < 3; ++r) {
        const QModelIndex index = model.index(r, 0);
        QCOMPARE(model.data(index, Qt::DisplayRole).type(), QVariant::String);
        QCOMPARE(model.data(index, Qt::DisplayRole).toString(), rig.queue->queue().at(r)->name());
        for (int role : { int(Qt::EditRole), int(Qt::ToolTipRole), int(Qt::DecorationRole), int(Qt::UserRole) })
            QVERIFY2(!model.data(index, role).isValid(), qPrintable(QString::number(role)));
    }
    QVERIFY(!model.data(QModelIndex()).isValid());
    QCOMPARE(rig.layoutProblem(model), QString());
}

void tst_ListModel::placement_data()
{
    QTest::addColumn<uint>("priority");
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("rows");

    QTest::newRow("equal goes after equals") << 3u << 3 << QStringLiteral("a b c n d f*");
    QTest::newRow("highest goes first") << 9u << 0 << QStringLiteral("n a b c d f*");
    QTest::newRow("lowest goes above finished") << 0u << 4 << QStringLiteral("a b c d n f*");
    QTest::newRow("equal to the running task") << 5u << 1 << QStringLiteral("a n b c d f*");
}

void tst_ListModel::placement()
{
    QFETCH(uint, priority);
    QFETCH(int, row);
    QFETCH(QString, rows);

    Rig rig;
    WorkQueueListModel model(rig.queue);
    watch(&model);
    SignalLog log;
    record(&model, log);

    rig.add(QStringLiteral("f"), 100);
    rig.finishCurrent();
    rig.add(QStringLiteral("a"), 5);
    rig.add(QStringLiteral("b"), 3);
    rig.add(QStringLiteral("c"), 3);
    rig.add(QStringLiteral("d"), 1);
    QCOMPARE(rowsOf(model), QStringLiteral("a b c d f*"));
    log.take();

    rig.add(QStringLiteral("n"), priority);
    QCOMPARE(log.take(),
        QStringList() << QStringLiteral("inserted(%1,%1)").arg(row) << QStringLiteral("changed(%1,%1)").arg(row));
    QCOMPARE(rowsOf(model), rows);
    QCOMPARE(rig.layoutProblem(model), QString());
}

void tst_ListModel::finishingMovesToFinishedBlock()
{
    Rig rig;
    WorkQueueListModel model(rig.queue);
    watch(&model);
    SignalLog log;
    record(&model, log);
    rig.add(QStringLiteral("a"), 5);
    rig.add(QStringLiteral("b"), 3);
    rig.add(QStringLiteral("c"), 1);
    QCOMPARE(rowsOf(model), QStringLiteral("a b c"));
    log.take();

    rig.finishCurrent();
    QCOMPARE(log.take(), words("moved(0,0,3)"));
    QCOMPARE(rowsOf(model), QStringLiteral("b c a*"));

    rig.current()->doFail(QStringLiteral("broken"));
    QCOMPARE(log.take(), words("moved(0,0,2)"));
    QCOMPARE(rowsOf(model), QStringLiteral("c b* a*"));

    // Already the last unfinished row: it stays where it is and only changes.
    rig.current()->abort();
    QCOMPARE(log.take(), words("changed(0,0)"));
    QCOMPARE(rowsOf(model), QStringLiteral("c* b* a*"));
    QCOMPARE(rig.layoutProblem(model), QString());

    // A waiting task that ends before its turn leaves from the middle of the block.
    rig.add(QStringLiteral("d"), 1);
    ManualTask *e = rig.add(QStringLiteral("e"), 1);
    rig.add(QStringLiteral("f"), 1);
    log.take();
    e->abort();
    QCOMPARE(log.take(), words("moved(1,1,3)"));
    QCOMPARE(rowsOf(model), QStringLiteral("d f e* c* b* a*"));
    QCOMPARE(rig.layoutProblem(model), QString());
}

void tst_ListModel::pruneOldest()
{
    Rig rig;
    WorkQueueListModel model(rig.queue);
    watch(&model);
    SignalLog log;
    record(&model, log);
    rig.setLimit(model, 2);
    QPointer<Task> a = rig.add(QStringLiteral("a"), 1);
    rig.add(QStringLiteral("b"), 1);
    rig.add(QStringLiteral("c"), 1);
    rig.finishCurrent();
    rig.finishCurrent();
    QCOMPARE(rowsOf(model), QStringLiteral("c b* a*"));
    log.take();

    rig.finishCurrent();
    QCOMPARE(log.take(), words("changed(0,0) removed(2,2)"));
    QCOMPARE(rowsOf(model), QStringLiteral("c* b*"));
    QCOMPARE(rig.layoutProblem(model), QString());
    QVERIFY(a); // the release only schedules the deletion
    processDeferredDeletes();
    QVERIFY(!a);
}

void tst_ListModel::maxZeroRemovesEachFinishedRow()
{
    Rig rig;
    WorkQueueListModel model(rig.queue);
    watch(&model);
    SignalLog log;
    record(&model, log);
    rig.setLimit(model, 0);
    rig.add(QStringLiteral("a"), 1);
    rig.add(QStringLiteral("b"), 1);
    log.take();

    rig.finishCurrent();
    QCOMPARE(log.take(), words("moved(0,0,2) removed(1,1)"));
    QCOMPARE(rowsOf(model), QStringLiteral("b"));
    rig.finishCurrent();
    QCOMPARE(log.take(), words("changed(0,0) removed(0,0)"));
    QCOMPARE(model.rowCount(), 0);
}

void tst_ListModel::setMaxFinishedTasks_data()
{
    QTest::addColumn<uint>("count");
    QTest::addColumn<QStringList>("emitted");
    QTest::addColumn<QString>("rows");
    QTest::addColumn<QString>("rowsAfterNextFinish");

    QTest::newRow("same") << 10u << QStringList() << QStringLiteral("d c* b* a*") << QStringLiteral("d* c* b* a*");
    QTest::newRow("above") << 20u << words("maxChanged(20)") << QStringLiteral("d c* b* a*")
                           << QStringLiteral("d* c* b* a*");
    QTest::newRow("below") << 2u << words("removed(3,3) maxChanged(2)") << QStringLiteral("d c* b*")
                           << QStringLiteral("d* c*");
    QTest::newRow("equal to finished") << 3u << words("maxChanged(3)") << QStringLiteral("d c* b* a*")
                                       << QStringLiteral("d* c* b*");
    QTest::newRow("zero") << 0u << words("removed(1,3) maxChanged(0)") << QStringLiteral("d") << QString();
    QTest::newRow("2^31 keeps all") << 0x80000000u << words("maxChanged(2147483648)") << QStringLiteral("d c* b* a*")
                                    << QStringLiteral("d* c* b* a*");
    QTest::newRow("uint max keeps all") << 0xffffffffu << words("maxChanged(4294967295)")
                                        << QStringLiteral("d c* b* a*") << QStringLiteral("d* c* b* a*");
}

void tst_ListModel::setMaxFinishedTasks()
{
    QFETCH(uint, count);
    QFETCH(QStringList, emitted);
    QFETCH(QString, rows);
    QFETCH(QString, rowsAfterNextFinish);

    Rig rig;
    WorkQueueListModel model(rig.queue);
    watch(&model);
    SignalLog log;
    record(&model, log);
    for (const char *name : { "a", "b", "c", "d" })
        rig.add(QLatin1String(name), 1);
    for (int i = 0; i < 3; ++i)
        rig.finishCurrent();
    QCOMPARE(rowsOf(model), QStringLiteral("d c* b* a*"));
    log.take();

    rig.setLimit(model, count);
    QCOMPARE(log.take(), emitted);
    QCOMPARE(rowsOf(model), rows);
    QCOMPARE(model.maxFinishedTasks(), count);

    rig.finishCurrent();
    QCOMPARE(rowsOf(model), rowsAfterNextFinish);
    QCOMPARE(rig.layoutProblem(model), QString());
}

void tst_ListModel::clearDetaches()
{
    Rig rig;
    WorkQueueListModel model(rig.queue);
    watch(&model);
    SignalLog log;
    record(&model, log);
    rig.add(QStringLiteral("a"), 1);
    rig.add(QStringLiteral("b"), 1);
    rig.add(QStringLiteral("c"), 1);
    rig.finishCurrent();
    log.take();

    model.clear();
    QCOMPARE(log.take(), words("removed(0,2)"));
    QCOMPARE(model.rowCount(), 0);
    QVERIFY(!model.workQueue());

    rig.add(QStringLiteral("d"), 9);
    rig.finishCurrent();
    QCOMPARE(log.take(), QStringList());
    QCOMPARE(model.rowCount(), 0);
    QCOMPARE(model.maxFinishedTasks(), 10u);
}

void tst_ListModel::setWorkQueue()
{
    Rig first, second;
    WorkQueueListModel model(first.queue);
    watch(&model);
    SignalLog log;
    record(&model, log);
    first.add(QStringLiteral("a"), 1);
    first.add(QStringLiteral("b"), 1);
    first.finishCurrent();
    second.add(QStringLiteral("p"), 1);
    second.add(QStringLiteral("q"), 2);
    log.take();

    model.setWorkQueue(first.queue);
    QCOMPARE(log.take(), QStringList());
    QCOMPARE(rowsOf(model), QStringLiteral("b a*"));

    model.setWorkQueue(second.queue);
    QCOMPARE(model.workQueue(), second.queue);
    QCOMPARE(log.take(), words("removed(0,1) inserted(0,1) changed(0,0) changed(1,1)"));
    QCOMPARE(rowsOf(model), QStringLiteral("q p"));

    first.add(QStringLiteral("c"), 7);
    first.finishCurrent();
    QCOMPARE(log.take(), QStringList());

    // The new queue's rows start unfinished and follow it from here on.
    second.add(QStringLiteral("r"), 3);
    second.finishCurrent();
    QCOMPARE(rowsOf(model), QStringLiteral("r q p*"));
    QCOMPARE(second.layoutProblem(model), QString());

    model.setWorkQueue(nullptr);
    QVERIFY(!model.workQueue());
    QCOMPARE(model.rowCount(), 0);
}

void tst_ListModel::setData()
{
    WorkQueueListModel model;
    watch(&model);
    SignalLog log;
    record(&model, log);
    QVERIFY(model.insertRows(0, 2));
    QCOMPARE(rowsOf(model), QStringLiteral("- -"));
    log.take();

    NamedJob job(QStringLiteral("x"));
    QPointer<ManualTask> first = new ManualTask(job);
    QPointer<ManualTask> second = new ManualTask(NamedJob(QStringLiteral("y")));
    QObject plain;
    const QModelIndex row1 = model.index(1, 0);

    QVERIFY(!model.setData(row1, QVariant::fromValue<QObject *>(&plain), Qt::DisplayRole));
    QVERIFY(!model.setData(row1, QVariant::fromValue<QObject *>(nullptr), Qt::DisplayRole));
    QVERIFY(!model.setData(row1, QVariant(42), Qt::DisplayRole));
    QVERIFY(!model.setData(row1, QVariant::fromValue<QObject *>(first.data()), Qt::EditRole));
    QVERIFY(!model.setData(QModelIndex(), QVariant::fromValue<QObject *>(first.data()), Qt::DisplayRole));
    QCOMPARE(log.take(), QStringList());
    QCOMPARE(rowsOf(model), QStringLiteral("- -"));

    QVERIFY(model.setData(row1, QVariant::fromValue<QObject *>(first.data()), Qt::DisplayRole));
    QCOMPARE(log.take(), words("changed(1,1)"));
    QCOMPARE(rowsOf(model), QStringLiteral("- x"));
    QCOMPARE(model.task(1).data(), first.data());
    QCOMPARE(first->ref.loadRelaxed(), 1);

    QVERIFY(model.setData(row1, QVariant::fromValue<QObject *>(first.data()), Qt::DisplayRole));
    QCOMPARE(log.take(), words("changed(1,1)"));
    QCOMPARE(first->ref.loadRelaxed(), 1);

    // Replacing releases the row's hold on the earlier task, which was the only one.
    QVERIFY(model.setData(row1, QVariant::fromValue<QObject *>(second.data()), Qt::DisplayRole));
    QCOMPARE(log.take(), words("changed(1,1)"));
    QCOMPARE(rowsOf(model), QStringLiteral("- y"));
    processDeferredDeletes();
    QVERIFY(!first);
    QVERIFY(second);

    QVERIFY(model.removeRows(1, 1));
    processDeferredDeletes();
    QVERIFY(!second);
}

void tst_ListModel::rowOperationsRefused()
{
    Rig rig;
    WorkQueueListModel model(rig.queue);
    watch(&model);
    rig.add(QStringLiteral("a"), 1);
    rig.add(QStringLiteral("b"), 1);
    SignalLog log;
    record(&model, log);

    const QModelIndex valid = model.index(0, 0);
    QVERIFY(valid.isValid());
    QVERIFY(!model.insertRows(0, 1, valid));
    QVERIFY(!model.removeRows(0, 1, valid));
    QVERIFY(!model.insertRows(0, 0));
    QVERIFY(!model.insertRows(0, -1));
    QVERIFY(!model.insertRows(3, 1));
    QVERIFY(!model.removeRows(0, 0));
    QVERIFY(!model.removeRows(1, 2));
    QVERIFY(!model.removeRows(-1, 1));
    QCOMPARE(log.take(), QStringList());
    QCOMPARE(rowsOf(model), QStringLiteral("a b"));

    QVERIFY(!model.task(model.rowCount()));
    QVERIFY(!model.task(-1));
    QVERIFY(!model.data(model.index(2, 0)).isValid());
    QVERIFY(!model.index(0, 1).isValid());
}

void tst_ListModel::insertInsideFinishedBlock_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QStringList>("emitted");
    QTest::addColumn<QString>("rows");

    // Starting from "d c* b* a*", insert a row without a task, then drop every finished row.
    QTest::newRow("at the top of the block")
        << 1 << words("inserted(1,1) removed(2,4) maxChanged(0)") << QStringLiteral("d -");
    QTest::newRow("inside") << 2 << words("inserted(2,2) removed(3,4) maxChanged(0)") << QStringLiteral("d c* -");
    QTest::newRow("above the last") << 3 << words("inserted(3,3) removed(4,4) maxChanged(0)")
                                    << QStringLiteral("d c* b* -");
    QTest::newRow("at the end") << 4 << words("inserted(4,4) maxChanged(0)") << QStringLiteral("d c* b* a* -");
}

void tst_ListModel::insertInsideFinishedBlock()
{
    QFETCH(int, row);
    QFETCH(QStringList, emitted);
    QFETCH(QString, rows);

    Rig rig;
    WorkQueueListModel model(rig.queue);
    watch(&model);
    SignalLog log;
    record(&model, log);
    for (const char *name : { "a", "b", "c", "d" })
        rig.add(QLatin1String(name), 1);
    for (int i = 0; i < 3; ++i)
        rig.finishCurrent();
    log.take();

    QVERIFY(model.insertRows(row, 1));
    model.setMaxFinishedTasks(0);
    QCOMPARE(log.take(), emitted);
    QCOMPARE(rowsOf(model), rows);
}

void tst_ListModel::queueDestroyed()
{
    Rig rig;
    WorkQueueListModel model(rig.queue);
    watch(&model);
    SignalLog log;
    record(&model, log);
    rig.add(QStringLiteral("a"), 1);
    rig.add(QStringLiteral("b"), 1);
    rig.finishCurrent();
    log.take();

    rig.ownQueue.reset();
    processDeferredDeletes();
    QVERIFY(!model.workQueue());
    QCOMPARE(log.take(), QStringList());
    QCOMPARE(rowsOf(model), QStringLiteral("b a*")); // the rows hold their tasks

    model.setMaxFinishedTasks(0);
    QCOMPARE(log.take(), words("removed(1,1) maxChanged(0)"));
    model.clear();
    QCOMPARE(log.take(), words("removed(0,0)"));
}

// Tasks that finish before the queue announces them: inside their own start(), or a running
// task aborted by a newcomer under autoAbort. The script's words: "name:priority[:mode]"
// queues a task (mode f finishes, x fails, a aborts inside start()), "done" finishes the
// current task, "auto" sets autoAbort, "max=N" sets maxFinishedTasks.
void tst_ListModel::finishedBeforeAnnounced_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("rows");
    QTest::addColumn<QStringList>("emitted");
    QTest::addColumn<QStringList>("deleted");

    QTest::newRow("finishes in start") << QStringLiteral("a:1:f") << QStringLiteral("a*")
                                       << words("inserted(0,0) changed(0,0)") << QStringList();
    QTest::newRow("then a normal task") << QStringLiteral("a:1:f b:1") << QStringLiteral("b a*")
                                        << words("inserted(0,0) changed(0,0) inserted(0,0) changed(0,0)")
                                        << QStringList();
    QTest::newRow("fails in start above older")
        << QStringLiteral("a:1 done b:2:x") << QStringLiteral("b* a*")
        << words("inserted(0,0) changed(0,0) changed(0,0) inserted(0,0) changed(0,0)") << QStringList();
    QTest::newRow("aborted by newcomer") << QStringLiteral("auto a:1 b:5") << QStringLiteral("b a*")
                                         << words("inserted(0,0) changed(0,0) changed(0,0) inserted(0,0) changed(0,0)")
                                         << QStringList();
    QTest::newRow("aborted, newcomer finishes in start")
        << QStringLiteral("auto a:1 b:5:f") << QStringLiteral("b* a*")
        << words("inserted(0,0) changed(0,0) changed(0,0) inserted(0,0) changed(0,0)") << QStringList();
    QTest::newRow("aborted above a waiting task")
        << QStringLiteral("auto a:1 w:0 b:5:a") << QStringLiteral("w b* a*")
        << words("inserted(0,0) changed(0,0) inserted(1,1) changed(1,1) moved(0,0,2) inserted(1,1) changed(1,1)")
        << QStringList();
    QTest::newRow("aborted, then waiting tasks drain")
        << QStringLiteral("a:1 w:1:f v:1:f auto b:5:f") << QStringLiteral("v* w* b* a*")
        << words("inserted(0,0) changed(0,0) inserted(1,1) changed(1,1) inserted(2,2) changed(2,2) "
                 "moved(0,0,3) inserted(2,2) changed(2,2) moved(0,0,2) changed(0,0)")
        << QStringList();
    QTest::newRow("max 1 prunes an early row")
        << QStringLiteral("max=1 a:1:f b:1:f") << QStringLiteral("b*")
        << words("maxChanged(1) inserted(0,0) changed(0,0) inserted(0,0) changed(0,0) removed(1,1)")
        << QStringList { QStringLiteral("a") };
    QTest::newRow("max 0, aborted and finishes in start")
        << QStringLiteral("max=0 auto a:1 b:5:f") << QString()
        << words("maxChanged(0) inserted(0,0) changed(0,0) changed(0,0) removed(0,0) inserted(0,0) changed(0,0) "
                 "removed(0,0)")
        << QStringList { QStringLiteral("a"), QStringLiteral("b") };
    QTest::newRow("max 0 after announcement")
        << QStringLiteral("a:1:f max=0 b:1:x") << QString()
        << words("inserted(0,0) changed(0,0) removed(0,0) maxChanged(0) inserted(0,0) changed(0,0) removed(0,0)")
        << QStringList { QStringLiteral("a"), QStringLiteral("b") };
}

void tst_ListModel::finishedBeforeAnnounced()
{
    QFETCH(QString, script);
    QFETCH(QString, rows);
    QFETCH(QStringList, emitted);
    QFETCH(QStringList, deleted);

    Rig rig;
    WorkQueueListModel model(rig.queue);
    watch(&model);
    SignalLog log;
    record(&model, log);
    QHash<QString, QPointer<Task>> tasks;
    const QHash<QString, ManualTask::StartMode> modes { { QStringLiteral("f"), ManualTask::FinishOnStart },
        { QStringLiteral("x"), ManualTask::FailOnStart }, { QStringLiteral("a"), ManualTask::AbortOnStart } };
    for (const QString &word : script.split(QLatin1Char(' '))) {
        if (word == QLatin1String("done")) {
            rig.finishCurrent();
        } else if (word == QLatin1String("auto")) {
            rig.queue->setAutoAbort(true);
        } else if (word.startsWith(QLatin1String("max="))) {
            rig.setLimit(model, word.mid(4).toUInt());
        } else {
            const QStringList parts = word.split(QLatin1Char(':'));
            const auto mode = parts.size() > 2 ? modes.value(parts.at(2)) : ManualTask::RunOnStart;
            tasks.insert(parts.at(0), rig.add(parts.at(0), parts.at(1).toUInt(), mode));
        }
    }
    QCOMPARE(rowsOf(model), rows);
    QCOMPARE(log.take(), emitted);

    // Every task the queue reported finished is a finished row, newest first; nothing finished
    // is left in the unfinished block. After the event loop has deleted what it was handed,
    // every row's task is still there to be read (the sanitizer watches), and pruned ones are gone.
    QCOMPARE(rig.layoutProblem(model), QString());
    processDeferredDeletes();
    QCOMPARE(rig.layoutProblem(model), QString());
    QCOMPARE(rowsOf(model), rows);
    for (auto it = tasks.cbegin(); it != tasks.cend(); ++it)
        QVERIFY2(bool(it.value()) != deleted.contains(it.key()), qPrintable(it.key()));
}

void tst_ListModel::randomized_data()
{
    QTest::addColumn<quint32>("seed");
    for (quint32 seed : { 1u, 7u, 1234u, 99991u })
        QTest::newRow(qPrintable(QString::number(seed))) << seed;
}

// Drives a queue at random and checks the model's rows against the queue after every step.
// Dequeues take only the last task of the queue's order: a row left behind by a dequeued task
// reads priority 0, which keeps placement right only while no task waits below it.
void tst_ListModel::randomized()
{
    QFETCH(quint32, seed);
    QRandomGenerator rng(seed);
    Rig rig;
    WorkQueueListModel model(rig.queue);
    watch(&model);
    const ManualTask::StartMode startModes[] = { ManualTask::RunOnStart, ManualTask::RunOnStart, ManualTask::RunOnStart,
        ManualTask::RunOnStart, ManualTask::RunOnStart, ManualTask::FinishOnStart, ManualTask::FinishOnStart,
        ManualTask::FailOnStart, ManualTask::AbortOnStart };
    int made = 0;

    for (int step = 0; step < 3000; ++step) {
        QString action;
        const QList<WorkQueue::TaskPtr> held = rig.queue->queue();
        const int roll = rng.bounded(100);
        if (roll < 40 && held.size() < 10) {
            const QString name = QStringLiteral("t%1").arg(++made);
            const uint priority = rng.bounded(5);
            const auto mode = startModes[rng.bounded(int(sizeof startModes / sizeof *startModes))];
            const bool attached = rng.bounded(2);
            action = QStringLiteral("enqueue %1 prio %2 mode %3%4")
                         .arg(name)
                         .arg(priority)
                         .arg(int(mode))
                         .arg(attached ? QStringLiteral(" attached") : QString());
            QVERIFY(rig.add(name, priority, mode, attached));
        } else if (roll < 65) {
            ManualTask *current = rig.current();
            action = QStringLiteral("finish current %1").arg(current ? current->name() : QStringLiteral("none"));
            if (current && current->isRunning()) {
                const int how = rng.bounded(4);
                if (how < 2)
                    current->doSetState(Job::Finished);
                else if (how == 2)
                    current->doFail(QStringLiteral("failed"));
                else
                    current->abort();
            }
        } else if (roll < 71) {
            action = QStringLiteral("abort a waiting task");
            if (held.size() > 1) {
                Task *task = held.at(rng.bounded(held.size())).data();
                if (task != rig.queue->current())
                    task->abort();
            }
        } else if (roll < 76) {
            rig.queue->setAutoAbort(!rig.queue->autoAbort());
            action = QStringLiteral("autoAbort %1").arg(rig.queue->autoAbort());
        } else if (roll < 80) {
            action = QStringLiteral("dequeue the last task");
            if (!held.isEmpty() && rig.jobOf.contains(held.last().data())) {
                const Task *task = held.last().data();
                QVERIFY(rig.queue->dequeue(*rig.jobOf.value(task)));
                rig.stale.append(task);
            }
        } else if (roll < 83) {
            action = QStringLiteral("finish a dequeued task");
            for (const Task *task : qAsConst(rig.stale)) {
                auto *manual = const_cast<ManualTask *>(static_cast<const ManualTask *>(task));
                if (!manual->isFinished()) {
                    manual->isRunning() ? manual->doSetState(Job::Finished) : manual->abort();
                    break;
                }
            }
        } else if (roll < 92) {
            uint count = rng.bounded(7);
            if (rng.bounded(10) == 0)
                count = rng.bounded(2) ? 0x80000000u : 0xffffffffu;
            action = QStringLiteral("maxFinishedTasks %1").arg(count);
            rig.setLimit(model, count);
        } else if (roll < 94) {
            action = QStringLiteral("reattach");
            model.setWorkQueue(nullptr);
            model.setWorkQueue(rig.queue);
            rig.shown.clear();
        } else {
            action = QStringLiteral("startQueue");
            rig.queue->startQueue();
        }
        if (QTest::currentTestFailed())
            return;

        // Jobs of finished tasks go, so that pruned rows release the last hold on them.
        for (auto it = rig.jobs.begin(); it != rig.jobs.end();) {
            const Task *task = (*it)->task();
            if (task->isFinished() && !rig.stale.contains(task)) {
                rig.jobOf.remove(task);
                it = rig.jobs.erase(it);
            } else {
                ++it;
            }
        }
        processDeferredDeletes();
        const QString problem = rig.layoutProblem(model);
        QVERIFY2(problem.isEmpty(), qPrintable(QStringLiteral("step %1 (%2): %3").arg(step).arg(action, problem)));
    }
}

QTEST_GUILESS_MAIN(tst_ListModel)
#include "tst_listmodel.moc"
