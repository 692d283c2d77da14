#include "TestSupport.h"

#include <WorkQueueListModel.h>
#include <models/ChunkedVector_p.h>

#include <QtTest/QAbstractItemModelTester>
#include <QtTest/QtTest>

using namespace TestSupport;

namespace {

// The model is a flat list whose rowCount() ignores its parent: Qt's tester looks at it through
// a proxy that has no rows under a valid parent, as views must.
class ChildlessProxy : public QIdentityProxyModel
{
public:
    int rowCount(const QModelIndex &parent) const override { return parent.isValid() ? 0 : sourceModel()->rowCount(); }
};

void watch(WorkQueueListModel *model, SignalLog &log)
{
    auto *childless = new ChildlessProxy;
    childless->setParent(model);
    childless->setSourceModel(model);
    new QAbstractItemModelTester(childless, QAbstractItemModelTester::FailureReportingMode::QtTest, childless);
    const auto add = [&log](const char *what, int first, int last) {
        log.add(QStringLiteral("%1(%2,%3)").arg(QLatin1String(what)).arg(first).arg(last));
    };
    QObject::connect(
        model, &QAbstractItemModel::rowsInserted, &log, [add](auto, int f, int l) { add("inserted", f, l); });
    QObject::connect(
        model, &QAbstractItemModel::rowsRemoved, &log, [add](auto, int f, int l) { add("removed", f, l); });
    QObject::connect(
        model, &QAbstractItemModel::rowsMoved, &log, [add](auto, int f, auto, auto, int to) { add("moved", f, to); });
    QObject::connect(model, &QAbstractItemModel::dataChanged, &log,
        [add](auto from, auto to) { add("changed", from.row(), to.row()); });
    QObject::connect(model, &WorkQueueListModel::maxFinishedTasksChanged, &log,
        [&log](uint count) { log.add(QStringLiteral("max(%1)").arg(count)); });
}

// Each row's task, "*" for a finished one, "-" for a row without a task.
QString rowsOf(const WorkQueueListModel &model)
{
    QStringList out;
    for (int r = 0; r < model.rowCount(); ++r) {
        const WorkQueue::TaskPtr task = model.task(r);
        out.append(
            !task ? QStringLiteral("-") : task->objectName() + (task->isFinished() ? QStringLiteral("*") : QString()));
    }
    return out.join(QLatin1Char(' '));
}

} // namespace

class TstModel : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void followsQueue_data();
    void followsQueue();
    void editsByTheApplication();
    void retargetedWhileClearing();
    void rowStorageAgreesWithVector();
};

// A script drives a queue that a model follows. Its words: "name:priority[:f|x|a]" queues a
// task (finishing, failing or aborting inside start()), "done" finishes the current task,
// "!name" aborts a task, "auto" sets autoAbort, "lanes=N" lets N tasks run, "max=N" sets maxFinishedTasks, "+R" and "-R"
// insert and remove a row as an application may, "=R:name" puts a task into a row, "warn"
// expects the model's reorder warning.
// A second queue takes "2/name:priority"; "@1", "@2" and "@0" make the model follow the first,
// the second or no queue, "~" destroys the first queue and "clear" clears the model.
void TstModel::followsQueue_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("rows");
    QTest::addColumn<QStringList>("emitted"); // by the last word

    // "B" stands for a queue with a finished task and four waiting ones, "T" for one running
    // task above three finished ones.
    const auto row = [](const char *name, const char *script, const char *rows, const char *emitted) {
        QTest::newRow(name) << QString::fromLatin1(script)
                                   .replace(QLatin1Char('B'), QStringLiteral("f:100 done a:5 b:3 c:3 d:1"))
                                   .replace(QLatin1Char('T'), QStringLiteral("a:1 b:1 c:1 d:1 done done done"))
                            << QString::fromLatin1(rows)
                            << QString::fromLatin1(emitted).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    };
    row("equal priority goes after equals", "B n:3", "a b c n d f*", "inserted(3,3) changed(3,3)");
    row("highest goes first", "B n:9", "n a b c d f*", "inserted(0,0) changed(0,0)");
    row("lowest goes above finished", "B n:0", "a b c d n f*", "inserted(4,4) changed(4,4)");
    row("finish moves to finished block", "B done", "b c d a* f*", "moved(0,4)");
    row("last unfinished only changes", "a:1 done b:1 done", "b* a*", "changed(0,0)");
    row("waiting task leaves the middle", "B !c", "a b d c* f*", "moved(2,4)");
    row("prunes oldest", "max=2 a:1 b:1 c:1 done done done", "c* b*", "changed(0,0) removed(2,2)");
    row("max 0 drops each finish", "max=0 a:1 b:1 done", "b", "moved(0,2) removed(1,1)");
    row("max below", "T max=2", "d c* b*", "removed(3,3) max(2)");
    row("max same", "T max=10", "d c* b* a*", "");
    row("max equal", "T max=3", "d c* b* a*", "max(3)");
    row("max 2^31 keeps all", "T max=2147483648", "d c* b* a*", "max(2147483648)");
    row("insert cuts finished block", "T +2 max=0", "d c* -", "removed(3,4) max(0)");
    row("insert at the end", "T +4 max=0", "d c* b* a* -", "max(0)");
    row("a waiting task's row removed", "a:1 b:1 -1 warn done", "a*", "changed(0,0)");
    row("another queue replaces the rows", "a:1 b:1 done 2/p:1 2/q:2 @2", "q p",
        "removed(0,1) inserted(0,1) changed(0,0) changed(1,1)");
    row("the old queue is not followed", "a:1 2/p:1 @2 b:9 done", "p", "");
    row("rows start unfinished", "a:1 done b:1 @0 @1", "b", "inserted(0,0) changed(0,0)");
    row("a lost queue leaves the rows", "a:1 b:1 c:7 ~", "c a b", "");
    // A row holds the task put into it, once however often; replacing the task releases it.
    row("rows hold what is put in", "x:1:f y:1:f +0 =0:x =0:x =0:y max=0", "y*", "removed(1,2) max(0)");
    row("remove a finished row", "T -2 max=1", "d c*", "removed(2,2) max(1)");
    row("finishes in start", "a:1:f", "a*", "inserted(0,0) changed(0,0)");
    row("fails in start above older", "a:1 done b:2:x", "b* a*", "inserted(0,0) changed(0,0)");
    row("aborted by newcomer", "auto a:1 b:5", "b a*", "changed(0,0) inserted(0,0) changed(0,0)");
    row("aborted above a waiting task", "auto a:1 w:0 b:5:a", "w b* a*", "moved(0,2) inserted(1,1) changed(1,1)");
    row("aborted, waiting tasks drain", "a:1 w:1:f v:1:f auto b:5:f", "v* w* b* a*",
        "moved(0,3) inserted(2,2) changed(2,2) moved(0,2) changed(0,0)");
    row("max 1 prunes an early row", "max=1 a:1:f b:1:f", "b*", "inserted(0,0) changed(0,0) removed(1,1)");
    row("max 0, aborted, finishes in start", "max=0 auto a:1 b:5:f", "",
        "changed(0,0) removed(0,0) inserted(0,0) changed(0,0) removed(0,0)");
    // Several running tasks: any of them may finish first; a newcomer aborts the last of them.
    row("lanes: a middle one finishes", "lanes=3 a:5 b:3 c:1 d:1 !b", "a c d b*", "moved(1,4)");
    row("lanes: autoAbort takes the last", "lanes=2 auto a:5 b:1 w:0 c:3", "a c w b*",
        "moved(1,3) inserted(1,1) changed(1,1)");
}

void TstModel::followsQueue()
{
    QFETCH(QString, script);
    QFETCH(QString, rows);
    QFETCH(QStringList, emitted);

    NamedWorker worker;
    std::unique_ptr<WorkQueue> queues[] { std::make_unique<WorkQueue>(&worker), std::make_unique<WorkQueue>(&worker) };
    WorkQueue &queue = *queues[0];
    WorkQueueListModel model(&queue);
    SignalLog log;
    watch(&model, log);
    QHash<QString, QPointer<Task>> tasks;
    const QHash<QChar, ManualTask::StartMode> modes { { QLatin1Char('f'), ManualTask::FinishOnStart },
        { QLatin1Char('x'), ManualTask::FailOnStart }, { QLatin1Char('a'), ManualTask::AbortOnStart } };
    for (const QString &word : script.split(QLatin1Char(' '))) {
        log.take();
        const QStringList parts = word.split(QLatin1Char(':'));
        if (word.endsWith(QLatin1String("done")))
            static_cast<ManualTask *>(queues[word.size() > 4]->current())->doSetState(Job::Finished);
        else if (word == QLatin1String("auto"))
            queue.setAutoAbort(true);
        else if (word == QLatin1String("warn"))
            QTest::ignoreMessage(QtWarningMsg, "[WorkQueueListModel] failed to reorder tasks (internal error)");
        else if (word.startsWith(QLatin1Char('!')))
            tasks.value(word.mid(1))->abort();
        else if (word.startsWith(QLatin1String("lanes=")))
            queue.setMaxRunning(word.mid(6).toInt());
        else if (word.startsWith(QLatin1String("max=")))
            model.setMaxFinishedTasks(word.mid(4).toUInt());
        else if (word.startsWith(QLatin1Char('+')))
            QVERIFY(model.insertRows(word.mid(1).toInt(), 1));
        else if (word.startsWith(QLatin1Char('-')))
            QVERIFY(model.removeRows(word.mid(1).toInt(), 1));
        else if (word.startsWith(QLatin1Char('=')))
            QVERIFY(model.setData(model.index(word.mid(1).toInt(), 0),
                QVariant::fromValue<QObject *>(tasks.value(parts.at(1))), Qt::DisplayRole));
        else if (word.startsWith(QLatin1Char('@')))
            model.setWorkQueue(word == QLatin1String("@0") ? nullptr : queues[word.mid(1).toInt() - 1].get());
        else if (word == QLatin1String("~"))
            queues[0].reset();
        else if (word == QLatin1String("clear"))
            model.clear();
        else {
            const bool second = word.startsWith(QLatin1String("2/"));
            const auto mode = parts.size() > 2 ? modes.value(parts.at(2).at(0)) : ManualTask::RunOnStart;
            ManualTask *task
                = worker.add(*queues[second], qPrintable(parts.at(0).mid(second ? 2 : 0)), parts.at(1).toUInt(), mode);
            QVERIFY(task);
            tasks.insert(parts.at(0), task);
        }
    }
    QCOMPARE(rowsOf(model), rows);
    QCOMPARE(log.take(), emitted);

    // Rows hold their tasks; whatever no row and no queue holds is gone once the event loop ran.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(rowsOf(model), rows);
    QSet<const Task *> held;
    for (int r = 0; r < model.rowCount(); ++r)
        held.insert(model.task(r).data());
    for (const auto &queue : queues) {
        for (const WorkQueue::TaskPtr &task : queue ? queue->queue() : QList<WorkQueue::TaskPtr>())
            held.insert(task.data());
    }
    held.remove(nullptr);
    for (auto it = tasks.cbegin(); it != tasks.cend(); ++it)
        QVERIFY2(it->isNull() != held.contains(it->data()), qPrintable(it.key()));
}

void TstModel::editsByTheApplication()
{
    NamedWorker worker;
    WorkQueue queue(&worker);
    worker.add(queue, "a", 1);
    worker.add(queue, "b", 1);
    WorkQueueListModel model(&queue);
    SignalLog log;
    watch(&model, log);
    const QModelIndex row0 = model.index(0, 0);
    QCOMPARE(model.data(row0).toString(), queue.current()->name());
    QVERIFY(!model.data(row0, Qt::EditRole).isValid() && !model.data(model.index(2, 0)).isValid());
    QVERIFY(!model.task(2) && !model.task(-1));
    QVERIFY(!model.insertRows(0, 1, row0) && !model.removeRows(0, 1, row0));
    QVERIFY(!model.insertRows(0, 0) && !model.insertRows(3, 1) && !model.insertRows(-1, 1));
    QVERIFY(!model.removeRows(0, 0) && !model.removeRows(1, 2) && !model.removeRows(-1, 1));
    QObject plain;
    const auto value = [](QObject *object) { return QVariant::fromValue(object); };
    for (const QVariant &bad : { value(&plain), value(nullptr), QVariant(42) })
        QVERIFY(!model.setData(row0, bad, Qt::DisplayRole));
    QVERIFY(!model.setData(row0, value(queue.current()), Qt::EditRole));
    QVERIFY(!model.setData(QModelIndex(), value(queue.current()), Qt::DisplayRole));
    QCOMPARE(log.take(), QStringList());
    // A variant holding the task under its own class converts as one holding a QObject does.
    QVERIFY(model.setData(row0, QVariant::fromValue(static_cast<ManualTask *>(queue.current())), Qt::DisplayRole));
    QCOMPARE(log.take().size(), 1);
}

// While setWorkQueue() removes the old rows, a handler deletes the queue about to be followed
// (the model then follows none) or makes the model follow a third one (which it then keeps).
void TstModel::retargetedWhileClearing()
{
    NamedWorker worker;
    WorkQueue first(&worker), third(&worker);
    worker.add(third, "c", 1);
    for (const bool deleteIt : { true, false }) {
        auto target = std::make_unique<WorkQueue>(&worker);
        worker.add(first, "a", 1);
        WorkQueueListModel model(&first);
        connect(&model, &QAbstractItemModel::rowsRemoved, &model,
            [&] { deleteIt ? target.reset() : model.setWorkQueue(&third); });
        model.setWorkQueue(target.get());
        QCOMPARE(model.workQueue(), deleteIt ? nullptr : &third);
        if (target)
            worker.add(*target, "t", 1);
        QCOMPARE(rowsOf(model), deleteIt ? QString() : QStringLiteral("c"));
    }
}

// The rows' chunked storage, with tiny chunks so that splits and merges happen all the time,
// against a plain vector. Its values stay sorted so that partitionPoint() can be checked too; an
// update lowers a value to its predecessor's.
void TstModel::rowStorageAgreesWithVector()
{
    ChunkedVector<int, 4> rows;
    std::vector<int> plain;
    int maxChunks = 0;
    QRandomGenerator random(7);
    const auto pick = [&random](int bound) { return int(random.bounded(uint(bound) + 1)); };
    for (int step = 0; step < 4000; ++step) {
        const int n = int(plain.size());
        // Mostly growing, then shrinking to nothing: chunks split, then merge and vanish.
        const int op = step < 2500 ? pick(4) : 3;
        const int value = pick(50);
        const int end = pick(n);
        const auto below = [value](int v) { return v < value; };
        const int at = int(std::partition_point(plain.begin(), plain.begin() + end, below) - plain.begin());
        QCOMPARE(rows.partitionPoint(end, below), at);
        const int found = int(std::find(plain.begin() + std::min(at, end), plain.begin() + end, value) - plain.begin());
        QCOMPARE(rows.findFrom(std::min(at, end), end, [value](int v) { return v == value; }), found);
        if (op <= 2) {
            const auto place = std::lower_bound(plain.begin(), plain.end(), value);
            rows.insert(rows.partitionPoint(n, below), value);
            plain.insert(place, value);
        } else if (op == 3 && n > 0) {
            const int from = std::min(end, n - 1);
            const int count = 1 + pick(std::min(2, n - from - 1));
            rows.erase(from, count);
            plain.erase(plain.begin() + from, plain.begin() + from + count);
        } else if (op == 4 && n > 0) {
            rows.move(end == n ? 0 : end, at == n ? n - 1 : at);
            rows.move(at == n ? n - 1 : at, end == n ? 0 : end);
            rows.popBack();
            plain.pop_back();
        }
        if (value < 10 && end > 0 && end < rows.size()) {
            rows.update(end, [&](int &v) { v = plain[std::size_t(end - 1)]; });
            plain[std::size_t(end)] = plain[std::size_t(end - 1)];
        }
        QVERIFY(rows.checkInvariants());
        QCOMPARE(rows.size(), int(plain.size()));
        maxChunks = std::max(maxChunks, rows.chunkCount());
        for (int i = 0; i < rows.size(); ++i)
            QCOMPARE(rows[i], plain[std::size_t(i)]);
    }
    QVERIFY(maxChunks > 20 && rows.empty());
}

QTEST_GUILESS_MAIN(TstModel)
#include "tst_model.moc"
