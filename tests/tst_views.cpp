#include "TestSupport.h"

#include <WorkQueueListModel.h>
#include <WorkQueueTaskModel.h>

#include <QtTest/QAbstractItemModelTester>
#include <QtTest/QtTest>

#include <QtCore/QSortFilterProxyModel>

#include <functional>
#include <utility>

using namespace TestSupport;

namespace {

using Model = WorkQueueTaskModel;

// A list model that resets and changes its layout on request, as a subclass may.
struct ResettingRows : WorkQueueListModel
{
    using WorkQueueListModel::WorkQueueListModel;
    void reset() { beginResetModel(), endResetModel(); }
    void relayout() { Q_EMIT layoutAboutToBeChanged(), Q_EMIT layoutChanged(); }
};

// A queue whose tasks show every state: three ended in their start() (done, failed, aborted),
// "run" running (priority 5), "wait" and "low" waiting (7 and 1). Rows: wait run low, then the
// finished ones. "run" has done 7 of an unknown total ("step"), "wait" 999 of 1000, "low" 2 of 3.
// The task model comes with show(), after any slot a test connects to the rows, with model
// testers on it and on a QSortFilterProxyModel stacked on it.
struct Fixture
{
    explicit Fixture(bool table, bool shown = true)
        : table(table)
    {
        if (shown)
            show();
        worker.add(*queue, "done", 3, ManualTask::FinishOnStart);
        worker.add(*queue, "failed", 3, ManualTask::FailOnStart);
        worker.add(*queue, "aborted", 3, ManualTask::AbortOnStart);
        worker.add(*queue, "run", 5, ManualTask::RunOnStart)->setResult(42);
        worker.add(*queue, "wait", 7, ManualTask::RunOnStart);
        worker.add(*queue, "low", 1, ManualTask::RunOnStart);
        task("run")->doSetProgress(7, 0);
        task("run")->doSetProgressText(QStringLiteral("step"));
        task("wait")->doSetProgress(999, 1000);
        task("low")->doSetProgress(2, 3);
        log.clear();
    }
    void show()
    {
        model = new Model(rows, table, &owner);
        auto *proxy = new QSortFilterProxyModel(model);
        proxy->setSourceModel(model);
        for (QAbstractItemModel *tested : { static_cast<QAbstractItemModel *>(model), static_cast<QAbstractItemModel *>(proxy) })
            new QAbstractItemModelTester(tested, QAbstractItemModelTester::FailureReportingMode::QtTest, model);
        // Log dataChanged() as "<task>:<roles>" ("*" for all roles) and row moves.
        QObject::connect(model, &QAbstractItemModel::dataChanged, model,
            [this](const QModelIndex &from, const QModelIndex &to, const QVector<int> &roles) {
                QVERIFY(from.row() == to.row() && from.column() == 0 && to.column() == model->columnCount() - 1);
                QStringList names;
                for (int role : roles)
                    names << QString::fromLatin1(model->roleNames().value(role));
                log << model->task(from.row())->objectName() + QLatin1Char(':')
                        + (roles.isEmpty() ? QStringLiteral("*") : names.join(QLatin1Char(',')));
            });
        QObject::connect(model, &QAbstractItemModel::rowsMoved, model, [this] { log << QStringLiteral("moved"); });
    }
    ManualTask *task(const char *name) { return worker.made.value(QLatin1String(name)); }
    QString take() { return std::exchange(log, QStringList()).join(QLatin1Char(' ')); }
    // The model shows the source's rows, and each row's task reports a new result for its row.
    void verifyFollowsSource()
    {
        QCOMPARE(model->rowCount(), rows->rowCount());
        for (int row = 0; row < rows->rowCount(); ++row) {
            QVERIFY(model->task(row) && model->task(row) == rows->task(row).data());
            log.clear();
            static_cast<ManualTask *>(model->task(row))->setResult(row);
            QCOMPARE(log.value(0).section(QLatin1Char(':'), 0, 0), model->task(row)->objectName());
        }
        log.clear();
    }

    const bool table;
    NamedWorker worker;
    QObject owner; // deletes whatever the test left of queue, rows and model, in that order
    QPointer<WorkQueue> queue = new WorkQueue(&worker, false, &owner);
    QPointer<ResettingRows> rows = new ResettingRows(queue, &owner);
    QPointer<Model> model;
    QStringList log;
};

// The changes a list model reports, and the signal that reports each.
enum SourceChange { Insert, Remove, Move, Reset, Layout, Data, SourceChanges };
const char *const sourceChanges[] = { "insert", "remove", "move", "reset", "layout change", "data change" };
const char *const rowSignals[] = { SIGNAL(rowsInserted(QModelIndex,int,int)), SIGNAL(rowsRemoved(QModelIndex,int,int)),
    SIGNAL(rowsMoved(QModelIndex,int,int,QModelIndex,int)), SIGNAL(modelReset()),
    SIGNAL(layoutChanged(QList<QPersistentModelIndex>,QAbstractItemModel::LayoutChangeHint)),
    SIGNAL(dataChanged(QModelIndex,QModelIndex,QVector<int>)) };

} // namespace

class tst_Views : public QObject
{
    Q_OBJECT
public Q_SLOTS:
    // Runs the action a test set, once, on the first signal that reaches it.
    void fire()
    {
        if (const auto run = std::exchange(once, nullptr))
            run();
    }

private:
    std::function<void()> once;

private Q_SLOTS:

    void fields_data()
    {
        QTest::addColumn<int>("role");
        QTest::addColumn<QByteArray>("roleName");
        QTest::addColumn<int>("column");
        QTest::addColumn<QString>("header");
        QTest::addColumn<QString>("task");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("text"); // the table form's display in that column

        const auto row = [](const char *tag, Model::Role role, const char *name, Model::Column column,
                             const char *header, const char *task, const QVariant &value, const char *text) {
            QTest::newRow(tag) << int(role) << QByteArray(name) << int(column) << QString::fromLatin1(header)
                               << QString::fromLatin1(task) << value << QString::fromLatin1(text);
        };
        row("name", Model::NameRole, "name", Model::NameColumn, "Job", "wait", QStringLiteral("TestSupport::PlainJob"),
            "TestSupport::PlainJob");
        row("state ready", Model::StateRole, "state", Model::StateColumn, "State", "wait", int(Job::Ready), "Ready");
        row("running", Model::StateRole, "state", Model::StateColumn, "State", "run", int(Job::Running), "Running");
        row("state text", Model::StateTextRole, "stateText", Model::StateColumn, "State", "done",
            QStringLiteral("Finished"), "Finished");
        row("no error", Model::ErrorRole, "error", Model::ErrorColumn, "Error", "done", int(Job::NoError), "");
        row("failed", Model::ErrorRole, "error", Model::ErrorColumn, "Error", "failed", int(Job::Failed),
            "Failed: failed on start");
        row("aborted", Model::ErrorRole, "error", Model::ErrorColumn, "Error", "aborted", int(Job::Aborted), "Aborted");
        row("error text", Model::ErrorTextRole, "errorText", Model::ErrorColumn, "Error", "failed",
            QStringLiteral("failed on start"), "Failed: failed on start");
        row("result", Model::ResultRole, "result", Model::ResultColumn, "Result", "run", 42, "42");
        row("priority", Model::PriorityRole, "priority", Model::PriorityColumn, "Priority", "wait", 7u, "7");
        // Read while the queue held the task, kept once it has left the queue.
        row("kept", Model::PriorityRole, "priority", Model::PriorityColumn, "Priority", "aborted", 3u, "3");
        // The share done: -1 while unknown, rounded but not up to 100%, 1 once done, not if failed.
        row("busy", Model::ProgressRole, "progress", Model::ProgressColumn, "Progress", "run", -1.0, "7");
        row("almost", Model::ProgressRole, "progress", Model::ProgressColumn, "Progress", "wait", 0.999, "99%");
        row("waiting", Model::ProgressRole, "progress", Model::ProgressColumn, "Progress", "low", 2.0 / 3, "67%");
        row("done", Model::ProgressRole, "progress", Model::ProgressColumn, "Progress", "done", 1.0, "100%");
        row("not done", Model::ProgressRole, "progress", Model::ProgressColumn, "Progress", "failed", 0.0, "");
        row("processed", Model::ProcessedRole, "processed", Model::ProgressColumn, "Progress", "run", qint64(7), "7");
        row("total", Model::TotalRole, "total", Model::ProgressColumn, "Progress", "low", qint64(3), "67%");
        row("progress text", Model::ProgressTextRole, "progressText", Model::ProgressColumn, "Progress", "run",
            QStringLiteral("step"), "7");
    }

    void fields()
    {
        QFETCH(int, role);
        QFETCH(QByteArray, roleName);
        QFETCH(int, column);
        QFETCH(QString, header);
        QFETCH(QString, task);
        QFETCH(QVariant, value);
        QFETCH(QString, text);

        Fixture list(false), table(true);
        QCOMPARE(list.model->roleNames().value(role), roleName);
        const int row = list.model->rowOf(list.task(qPrintable(task)));
        QCOMPARE(list.model->index(row, 0).data(role), value);
        QCOMPARE(list.model->index(row, 0).data().toString(), PlainJob().name());
        QCOMPARE(list.model->index(row, 1), QModelIndex());

        QCOMPARE(table.model->headerData(column, Qt::Horizontal).toString(), header);
        QCOMPARE(table.model->headerData(Model::ColumnCount, Qt::Horizontal), QVariant(Model::ColumnCount + 1));
        QCOMPARE(table.model->index(row, column).data().toString(), text);
        for (int c = 0; c < Model::ColumnCount; ++c) // every column serves the roles
            QCOMPARE(table.model->index(row, c).data(role), value);
        QCOMPARE(qvariant_cast<QObject *>(table.model->index(row, column).data(Model::TaskRole)),
            static_cast<QObject *>(table.task(qPrintable(task))));
    }

    void liveUpdates_data()
    {
        QTest::addColumn<bool>("table");
        QTest::newRow("list") << false;
        QTest::newRow("table") << true;
    }

    // One dataChanged() per change of a task, for its row, naming the roles that changed; the
    // source's own reports are passed on; rows follow the source.
    void liveUpdates()
    {
        QFETCH(bool, table);
        Fixture f(table);
        const QString display = table ? QStringLiteral(",display") : QString();
        const QString news = QStringLiteral("processed,total,progress,progressText") + display;
        const QString state = QStringLiteral("state,stateText,error,errorText,") + news;

        // A running task's progress not yet delivered comes in its own change, before its finish.
        f.task("run")->setResult(43);
        f.task("run")->doSetState(Job::Finished); // moves below "low"; "wait" starts
        QCOMPARE(f.take(), QStringLiteral("run:result%1 run:%2 run:%3 moved wait:%3").arg(display, news, state));
        f.task("wait")->doFail(QStringLiteral("x")); // moves; "low" starts
        f.task("low")->abort(); // the last unfinished row: the source reports it in place
        QCOMPARE(f.take(), QStringLiteral("wait:%2 wait:%1 moved low:%1 low:%2 low:%1 low:*").arg(state, news)); // low wait run ...

        // A row whose task the source replaces: one report, with no roles; the old task, shown
        // nowhere now, no longer updates a row.
        QVERIFY(f.rows->setData(f.rows->index(0, 0), QVariant::fromValue<QObject *>(f.task("done")), Qt::DisplayRole));
        f.task("low")->doSetState(Job::Ready);
        f.task("done")->doSetState(Job::Ready); // shown twice now, reported once
        QCOMPARE(f.take(), QStringLiteral("done:* done:%1").arg(state));

        f.rows->setMaxFinishedTasks(2); // rows: done wait
        f.task("done")->doSetState(Job::Running); // its other row went: still listened to
        QCOMPARE(f.take(), QStringLiteral("done:%1").arg(state));
        f.model->setTableForm(!table);
        QCOMPARE(f.model->columnCount(), table ? 1 : int(Model::ColumnCount));
        QSignalSpy sourceChanged(f.model, &Model::sourceModelChanged);
        f.model->setSourceModel(nullptr);
        QVERIFY(f.model->rowCount() == 0 && sourceChanged.count() == 1);
        f.rows->setWorkQueue(nullptr); // its removals no longer reach the model
    }

    // However often a task reports, its row gets one update per pass with the progress roles,
    // also for what it reported in the pass it started in; the last one comes before its finish.
    void progressUpdates()
    {
        Fixture f(true);
        const QString roles = QStringLiteral("processed,total,progress,progressText,display");
        ManualTask *run = f.task("run");
        for (const qint64 last : { 100, 150 }) {
            for (qint64 i = 1; i <= last; ++i)
                run->doSetProgress(i, 200);
            run->doSetProgressText(QString::number(last));
            QCoreApplication::processEvents();
            QCOMPARE(f.take(), QStringLiteral("run:") + roles);
            QCOMPARE(f.model->index(f.model->rowOf(run), 0).data(Model::ProgressTextRole).toLongLong(), last);
        }
        QCoreApplication::processEvents();
        QCOMPARE(f.take(), QString());
        run->doSetProgress(200, 200);
        run->doSetState(Job::Finished); // "wait" starts
        QCoreApplication::processEvents();
        const QString state = QStringLiteral("state,stateText,error,errorText,") + roles;
        QCOMPARE(f.take(), QStringLiteral("run:%1 run:%2 moved wait:%2 wait:%1").arg(roles, state)); // what it kept
    }

    // Tasks that report no progress cost no event, with both models attached.
    void nothingPosted()
    {
        struct Counter : QObject
        {
            bool eventFilter(QObject *, QEvent *e) override
            {
                return events += e->type() == QEvent::MetaCall || e->type() >= QEvent::User, false;
            }
            int events = 0;
        } counter;
        NamedWorker worker;
        WorkQueue queue(&worker);
        WorkQueueListModel rows(&queue);
        const Model model(&rows, true);
        qApp->installEventFilter(&counter);
        ManualTask *tasks[] = { worker.add(queue, "a", 0, ManualTask::RunOnStart),
            worker.add(queue, "b", 0, ManualTask::RunOnStart) };
        QCoreApplication::processEvents();
        for (ManualTask *task : tasks) {
            task->doSetState(Job::Finished);
            QCoreApplication::processEvents();
        }
        qApp->removeEventFilter(&counter);
        QCOMPARE(model.rowCount(), 2);
        QCOMPARE(counter.events, 0);
    }

    void progressHandlers_data()
    {
        QTest::addColumn<int>("victim");
        const char *const victims[] = { "job", "queue", "list model", "task model", "task, before the model listens" };
        for (int victim = 0; victim < 5; ++victim)
            QTest::newRow(victims[victim]) << victim;
    }

    // A slot on a progress update deletes the job, the queue or a model; or the task goes with
    // its news before the model listens to it. What remains carries on.
    void progressHandlers()
    {
        QFETCH(int, victim);
        Fixture f(true);
        QPointer<PlainJob> job = new PlainJob;
        const QPointer<ManualTask> task = f.worker.add(*f.queue, "a", 9, ManualTask::RunOnStart, job);
        f.task("run")->doSetState(Job::Finished); // "a" starts
        task->doSetProgress(1, 2);
        QObject *const victims[] = { job, f.queue, f.rows, f.model };
        if (victim < 4) {
            connect(f.model, &QAbstractItemModel::dataChanged, victims[victim], [&] { delete victims[victim]; });
        } else {
            delete job;
            delete f.queue;
            f.rows->clear();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        QCoreApplication::processEvents();
        QCOMPARE(!job + !f.queue + !f.rows + !f.model + !task, victim < 4 ? 1 : 3);
        if (f.model && f.rows && task)
            QCOMPARE(f.model->index(f.model->rowOf(task), 0).data(Model::ProgressRole).toDouble(), 0.5);
        delete job;
    }

    // Slots that delete the model from its own signals.
    void hostileHandlers()
    {
        Fixture f(true);
        connect(f.model, &QAbstractItemModel::dataChanged, f.model, [&f] { delete f.model; });
        f.task("run")->doSetState(Job::Finished);
        QVERIFY(!f.model);
        f.model = new Model(f.rows, false, &f.owner);
        connect(f.model, &QAbstractItemModel::rowsInserted, f.model, [&f] { delete f.model; });
        f.worker.add(*f.queue, "late", 1, ManualTask::RunOnStart);
        QVERIFY(!f.model);
    }

    void destroyedSlots_data()
    {
        QTest::addColumn<int>("victim");
        QTest::addColumn<int>("deed");
        const char *const victims[] = { "queue", "rows", "model" };
        const char *const deeds[] = { "finish the running task", "queue a job", "delete the rows", "prune" };
        for (int victim = 0; victim < 3; ++victim)
            for (int deed = 0; deed < 4; ++deed)
                if (!(victim == 0 && deed == 1) && !(victim == 1 && deed >= 2)) // nothing left to act on
                    QTest::addRow("%s: %s", victims[victim], deeds[deed]) << victim << deed;
    }

    // A slot on destroyed() of the queue, the list model or the task model uses the others:
    // nothing reaches the object being destroyed, and those that remain agree.
    void destroyedSlots()
    {
        QFETCH(int, victim);
        QFETCH(int, deed);
        Fixture f(true);
        QSignalSpy reset(f.model, &QAbstractItemModel::modelReset), sourceChanged(f.model, &Model::sourceModelChanged);
        QObject *const objects[] = { f.queue, f.rows, f.model };
        connect(objects[victim], &QObject::destroyed, [&f, deed] {
            if (deed == 0)
                f.task("run")->doSetState(Job::Finished);
            else if (deed == 1)
                f.worker.add(*f.queue, "new", 9);
            else if (deed == 2)
                delete f.rows;
            else
                f.rows->setMaxFinishedTasks(0);
        });
        delete objects[victim];
        QCOMPARE(f.task("run")->isFinished(), deed == 0);
        if (f.model && f.rows)
            f.verifyFollowsSource();
        else if (f.model) // the source is gone: the model was reset to no rows
            QVERIFY(reset.count() == 1 && sourceChanged.count() == 1 && !f.model->rowCount() && !f.model->sourceModel());
    }

    void earlierSlotChangesSource_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("deed");
        const char *const deeds[] = { "queue above", "queue below", "dequeue", "finish the current",
            "finish a waiting", "remove", "reset", "layout change", "data change" };
        for (int signal = 0; signal < SourceChanges; ++signal)
            for (int deed = 0; deed < 9; ++deed)
                QTest::addRow("on %s: %s", sourceChanges[signal], deeds[deed]) << signal << deed;
    }

    // A slot connected to the list model before the task model changes the list model, or the
    // queue behind it, from one of the list model's signals, while the task model has not heard
    // of it yet (also while a queued task's row has no task yet). The task model and a proxy on
    // it pass the model testers; the rows keep the queue's order, finished ones below, and later
    // finishes move them without a warning; the task model follows the list model row by row.
    void earlierSlotChangesSource()
    {
        QFETCH(int, signal);
        QFETCH(int, deed);
        Fixture f(false, false);
        PlainJob job;
        f.worker.add(*f.queue, "job", 2, ManualTask::RunOnStart, &job); // rows: wait run job low, finished ones
        once = [&] {
            if (deed < 2)
                f.worker.add(*f.queue, deed == 0 ? "above" : "below", deed == 0 ? 4 : 0);
            else if (deed == 2)
                QVERIFY(f.queue->dequeue(job));
            else if (deed < 5)
                (deed == 3 ? static_cast<ManualTask *>(f.queue->current()) : f.task("low"))->abort();
            else if (deed == 5)
                f.rows->setMaxFinishedTasks(0);
            else if (deed < 8)
                deed == 6 ? f.rows->reset() : f.rows->relayout();
            else
                f.rows->setData(f.rows->index(0, 0), QVariant::fromValue<QObject *>(f.rows->task(0).data()));
        };
        f.rows->setMaxFinishedTasks(signal == Remove ? 0 : 10); // then a finishing task's row goes at once
        connect(f.rows, rowSignals[signal], this, SLOT(fire()));
        f.show();
        if (signal == Remove || signal == Move)
            f.task("run")->doSetState(Job::Finished);
        else if (signal == Reset || signal == Layout)
            signal == Reset ? f.rows->reset() : f.rows->relayout();
        else // rowsInserted(), then dataChanged() with its task
            f.worker.add(*f.queue, "trigger", 3);
        QVERIFY(!once);
        for (const bool drained : { false, true }) {
            QList<Task *> shown, held;
            for (const WorkQueue::TaskPtr &task : f.queue->queue())
                held << task.data();
            for (int row = 0; row < f.rows->rowCount(); ++row) {
                Task *task = f.rows->task(row).data();
                QVERIFY(task && (task->isFinished() || !row || !f.rows->task(row - 1)->isFinished())); // finished last
                held.contains(task) ? void(shown << task) : void();
            }
            QCOMPARE(shown, held);
            f.verifyFollowsSource();
            while (!drained && f.queue->current())
                static_cast<ManualTask *>(f.queue->current())->doSetState(Job::Finished);
        }
    }

    // taskFinished() follows finished() while the task is still held and current, before the next
    // task starts; taskRemoved() follows dequeue() once the task has left, after the next one
    // started. Each once, with the task and the error; a slot may delete the queue from either.
    void taskSignals()
    {
        NamedWorker worker;
        QPointer<WorkQueue> queue;
        SignalLog log;
        bool deleteQueue = false;
        const auto held = [&](const WorkQueue::TaskPtr &t) -> QString {
            const QList<WorkQueue::TaskPtr> tasks = queue->queue();
            return t->objectName() + QLatin1Char(' ') + QString::number(tasks.count(t))
                + QLatin1String(queue->current() == t.data() ? "*" : "");
        };
        const auto watch = [&] {
            queue = new WorkQueue(&worker);
            log.watchQueue(queue, QStringLiteral("Q"));
            connect(queue, &WorkQueue::taskFinished, this, [&](const WorkQueue::TaskPtr &t, Job::Error e) {
                log.add(QStringLiteral("taskFinished(%1) %2").arg(Job::toString(e), held(t)));
                if (deleteQueue)
                    delete queue;
            });
            connect(queue, &WorkQueue::taskRemoved, this, [&](const WorkQueue::TaskPtr &t) {
                log.add(QStringLiteral("taskRemoved ") + held(t));
                if (deleteQueue)
                    delete queue;
            });
        };
        const auto take = [&log] { return log.take().join(QLatin1String(", ")).remove(QStringLiteral("Q.")); };

        watch();
        PlainJob c, d, e;
        worker.add(*queue, "a", 1, ManualTask::FailOnStart); // ends inside its start()
        worker.add(*queue, "b", 1, ManualTask::RunOnStart);
        worker.add(*queue, "c", 1, ManualTask::RunOnStart, &c);
        worker.add(*queue, "d", 1, ManualTask::RunOnStart, &d);
        worker.add(*queue, "e", 0, ManualTask::RunOnStart, &e);
        QCOMPARE(take(),
            QStringLiteral("started, finished(Failed), taskFinished(Failed) a 1*, queued(a,1), started, queued(b,1), "
                           "queued(c,1), queued(d,1), queued(e,0)"));
        worker.made.value(QStringLiteral("b"))->doSetState(Job::Finished);
        QCOMPARE(take(), QStringLiteral("finished(NoError), taskFinished(NoError) b 1*, started"));
        QVERIFY(queue->dequeue(c)); // running: "d" starts first
        QVERIFY(queue->dequeue(e));
        QCOMPARE(take(), QStringLiteral("started, taskRemoved c 0, taskRemoved e 0"));
        QTest::ignoreMessage(QtWarningMsg, "[WorkQueue]: internal error, can't find task");
        QVERIFY(!queue->dequeue(c));
        QCOMPARE(take(), QString());

        deleteQueue = true;
        worker.add(*queue, "f", 0, ManualTask::RunOnStart);
        d.task()->abort();
        QVERIFY(!queue);
        QCOMPARE(take(), QStringLiteral("queued(f,0), finished(Aborted), taskFinished(Aborted) d 1*"));

        watch();
        worker.add(*queue, "g", 0, ManualTask::RunOnStart, &c);
        QVERIFY(queue->dequeue(c)); // the task was removed: true, though the queue is gone
        QVERIFY(!queue);
        QCOMPARE(take(), QStringLiteral("started, queued(g,0), taskRemoved g 0"));
    }
};

QTEST_GUILESS_MAIN(tst_Views)
#include "tst_views.moc"
