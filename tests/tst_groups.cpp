// TaskGroup: modes, policies, the parallel limit, retries of job children, children added while
// the group runs, abort, results and progress, bad input, and children in other threads.

#include "TestSupport.h"

#include <ErrandFuture.h>
#include <PoolTask.h>
#include <TaskGroup.h>

#include <QtCore/QAbstractEventDispatcher>
#include <QtCore/QThread>
#include <QtCore/QThreadPool>
#include <QtTest/QtTest>

#include <map>
#include <stdexcept>

using namespace TestSupport;
using L = QLatin1String;

namespace {

// A task whose start() throws after moving to Running when its name ends with '^'.
struct Thrower : ManualTask
{
    using ManualTask::ManualTask;
    void start() override
    {
        ManualTask::start();
        if (objectName().endsWith(QLatin1Char('^')))
            throw std::runtime_error("no disk");
    }
};

// A group and its children, named by one letter. play() reads space-separated steps: "par",
// "max2", "retry1", "continue", "success" set up the group (sequential, StopOnError by default);
// "+a" adds a task named a, "&a" a job whose task the scene makes when its turn comes; a suffix
// makes each task finish ("!"), fail ("?"), fail the first N times ("?N"), abort ("~") or throw
// ("^") in start(), or (jobs only) makes no task ("0"). "go" starts the group; "a.ok",
// "a.fail", "a.abort", "a.del", "a.timeout" drive a's task from outside, "a=30" sets its progress to 30 of
// 100, "-a" deletes job a, "G.abort" aborts the group, "G.del" deletes it; "on:<steps>" takes the
// steps (comma-separated) inside the next childFinished(). The log has "a.start", "a.end(<error>[: text])",
// "#a(<error>)" for childFinished() and "G.end(...)"; "%" logs the progress, "R" the results.
struct Scene : Worker
{
    QObject *object() override { return nullptr; }
    Task *createTask(const Job &job) override
    {
        const QString recipe = job.objectName();
        return recipe.endsWith(QLatin1Char('0')) ? nullptr : make(recipe, attempts[recipe]++);
    }
    ManualTask *make(const QString &recipe, int attempt)
    {
        const QString name = recipe.left(1), mode = recipe.mid(1);
        auto *task = new Thrower(job);
        task->setObjectName(recipe);
        task->setResult(name);
        const bool fails = mode.startsWith(QLatin1Char('?')) && (mode.size() == 1 || attempt < mode.mid(1).toInt());
        task->mode = fails                     ? ManualTask::FailOnStart
            : mode == L("~")                   ? ManualTask::AbortOnStart
            : mode.isEmpty() || mode == L("^") ? ManualTask::RunOnStart
                                               : ManualTask::FinishOnStart;
        // Logged in the scene's thread, also for a task moved to another.
        QObject::connect(task, &Task::started, &job, [=] { log.append(name + L(".start")); });
        QObject::connect(
            task, &Task::finished, &job, [=](Job::Error e) { log.append(name + L(".end") + end(task, e)); });
        return tasks[name] = task;
    }
    static QString end(const Task *task, Job::Error e)
    {
        const QString text = task && !task->errorString().isEmpty() ? L(": ") + task->errorString() : QString();
        return QLatin1Char('(') + Job::toString(e) + text + QLatin1Char(')');
    }

    void play(const QString &script)
    {
        if (!held) { // the first script makes the group
            group = new TaskGroup(job, script.startsWith(L("par")) ? TaskGroup::Parallel : TaskGroup::Sequential);
            held = WorkQueue::TaskPtr(group.data());
            QObject::connect(group, &Task::finished, [this](Job::Error e) { log.append(L("G.end") + end(group, e)); });
            QObject::connect(
                group, &TaskGroup::childFinished, group, [this](const WorkQueue::TaskPtr &c, Job::Error e) {
                    log.append(
                        QLatin1Char('#') + (c ? c->objectName().left(1) : QStringLiteral("null")) + end(nullptr, e));
                    for (const QString &s : onChild.isEmpty() ? QStringList() : onChild.takeFirst().split(L(",")))
                        step(s);
                });
        }
        for (const QString &s : script.split(QLatin1Char(' '), Qt::SkipEmptyParts))
            s.startsWith(L("on:")) ? onChild.append(s.mid(3)) : step(s);
    }

    void step(const QString &s)
    {
        ManualTask *task = tasks.value(s.left(1));
        const QString name = s.mid(1, 1), arg = s.mid(2);
        if (s == L("go") || s == L("G.abort") || s == L("G.del"))
            s == L("go") ? group->start() : s == L("G.abort") ? group->abort() : delete held.take();
        else if (s == L("continue") || s == L("success"))
            group->setPolicy(s == L("continue") ? TaskGroup::ContinueOnError : TaskGroup::StopOnSuccess);
        else if (s.startsWith(L("max")) || s.startsWith(L("retry")))
            s.startsWith(L("max")) ? group->setMaxParallel(s.mid(3).toInt()) : group->setRetries(s.mid(5).toInt());
        else if (s.startsWith(QLatin1Char('+')))
            group->add(WorkQueue::TaskPtr(make(s.mid(1), 0)));
        else if (s.startsWith(QLatin1Char('&'))) {
            jobs[name].reset(new PlainJob);
            jobs[name]->setObjectName(s.mid(1));
            group->add(*jobs[name], *this);
        } else if (s.startsWith(QLatin1Char('-')))
            jobs[name].reset();
        else if (s == L("%") && (QCoreApplication::sendPostedEvents(), true))
            log.append(L("%") + QString::number(group->processed()) + L("/") + QString::number(group->total()));
        else if (s == L("R"))
            log.append(L("R[") + QVariant(group->result()).toStringList().join(QLatin1Char(',')) + L("]"));
        else if (name == L("="))
            task->doSetProgress(arg.toInt(), 100);
        else if (arg == L("ok") || arg == L("fail"))
            arg == L("ok") ? task->doSetState(Job::Finished) : task->doFail(s.left(1) + L(" broke"));
        else if (arg == L("abort") || arg == L("del"))
            arg == L("abort") ? task->abort() : delete task;
        else if (arg == L("timeout") && (task->setTimeout(5), true)) // its clock runs out at once
            for (const auto &timer : QAbstractEventDispatcher::instance()->registeredTimers(task)) {
                QTimerEvent event(timer.timerId);
                QCoreApplication::sendEvent(task, &event);
            }
    }

    PlainJob job;
    QPointer<TaskGroup> group;
    WorkQueue::TaskPtr held;
    std::map<QString, std::unique_ptr<PlainJob>> jobs;
    QHash<QString, QPointer<ManualTask>> tasks;
    QHash<QString, int> attempts;
    QStringList onChild, log;
};

// Gives a queue one task made beforehand.
struct Giver : Worker
{
    QObject *object() override { return nullptr; }
    Task *createTask(const Job &) override { return std::exchange(task, nullptr); }
    Task *task = nullptr;
};

// Name | script | the log it writes | a warning it writes. The job's name in texts is "J".
const char *const scripts = R"(
empty | go | G.end(NoError)
empty, stop on success | success go | G.end(NoError)
in order | +a +b! go a.ok | a.start a.end(NoError) #a(NoError) b.start b.end(NoError) #b(NoError) G.end(NoError)
stop on error | +a? +b go | a.start a.end(Failed: failed on start) #a(Failed) G.end(Failed: failed on start)
continue on error | continue +a +b? +c! go a.fail | a.start a.end(Failed: a broke) #a(Failed) b.start b.end(Failed: failed on start) #b(Failed) c.start c.end(NoError) #c(NoError) G.end(Failed: a broke)
continue, aborted child | continue +a~ go | a.start a.end(Aborted) #a(Aborted) G.end(Failed: child "J" was aborted)
stop on error, aborted child | +a~ +b go | a.start a.end(Aborted) #a(Aborted) G.end(Aborted)
stop on error, timed out child | +a +b go a.timeout | a.start a.end(Aborted: timed out after 5 ms) #a(Aborted) G.end(Aborted: timed out after 5 ms)
stop on success | success +a? +b! +c go | a.start a.end(Failed: failed on start) #a(Failed) b.start b.end(NoError) #b(NoError) G.end(NoError)
stop on success, none | success +a? +b go b.fail | a.start a.end(Failed: failed on start) #a(Failed) b.start b.end(Failed: b broke) #b(Failed) G.end(Failed: b broke)
parallel, first failure in time | par +a +b +c go c.fail | a.start b.start c.start c.end(Failed: c broke) #c(Failed) b.end(Aborted) a.end(Aborted) G.end(Failed: c broke)
parallel, first success | par success max2 +a +b +c go b.ok | a.start b.start b.end(NoError) #b(NoError) a.end(Aborted) G.end(NoError)
parallel limit | par max2 +a +b +c go a.ok b.ok c.ok | a.start b.start a.end(NoError) #a(NoError) c.start b.end(NoError) #b(NoError) c.end(NoError) #c(NoError) G.end(NoError)
raising the limit | par max1 +a +b +c go max3 | a.start b.start c.start
sequential ignores the limit | max3 +a +b go | a.start
results in add order | par +a +b +c go c.ok R a.ok b.ok R | a.start b.start c.start c.end(NoError) #c(NoError) R[,,c] a.end(NoError) #a(NoError) b.end(NoError) #b(NoError) G.end(NoError) R[a,b,c]
progress | par +a +b % go a=30 % b.ok % +c % a=20 % | %0/2000 a.start b.start %300/2000 b.end(NoError) #b(NoError) %1300/2000 c.start %1300/3000 %1300/3000
progress of a retry | retry1 &a go a=50 % a.fail % | a.start %500/1000 a.end(Failed: a broke) a.start %0/1000
a step adds the next | +a! on:+b! on:+c! go | a.start a.end(NoError) #a(NoError) b.start b.end(NoError) #b(NoError) c.start c.end(NoError) #c(NoError) G.end(NoError)
added in a handler, started after it | +a go on:+b!,% a.ok | a.start a.end(NoError) #a(NoError) %1000/2000 b.start b.end(NoError) #b(NoError) G.end(NoError)
done is decided after the handlers | par +a +b go on:b.ok,% a.ok | a.start b.start a.end(NoError) #a(NoError) b.end(NoError) #b(NoError) %2000/2000 G.end(NoError)
added while running | par +a go +b b.ok a.ok | a.start b.start b.end(NoError) #b(NoError) a.end(NoError) #a(NoError) G.end(NoError)
added to a finished group | go +a | G.end(NoError) | [TaskGroup]: "J" not added, the group has finished
retried job | retry2 &a?2 go | a.start a.end(Failed: failed on start) a.start a.end(Failed: failed on start) a.start a.end(NoError) #a(NoError) G.end(NoError)
retries run out | retry1 &a? +b go | a.start a.end(Failed: failed on start) a.start a.end(Failed: failed on start) #a(Failed) G.end(Failed: failed on start)
a task is not retried | retry1 +a? go | a.start a.end(Failed: failed on start) #a(Failed) G.end(Failed: failed on start)
aborted is not retried | retry1 continue &a~ go | a.start a.end(Aborted) #a(Aborted) G.end(Failed: child "J" was aborted)
no task | continue retry1 &a0 &b! go | #null(Failed) b.start b.end(NoError) #b(NoError) G.end(Failed: no task for "J")
abort | par max2 +a +b +c go G.abort | a.start b.start b.end(Aborted) a.end(Aborted) G.end(Aborted)
abort before start | +a G.abort go | G.end(Aborted) | [TaskGroup]: a group runs only once
abort from a handler | par +a +b! on:G.abort go a.ok | a.start b.start b.end(NoError) #b(NoError) a.end(Aborted) G.end(Aborted)
child aborted from outside | par +a +b go a.abort | a.start b.start a.end(Aborted) #a(Aborted) b.end(Aborted) G.end(Aborted)
waiting child aborted from outside | continue +a +b go b.abort a.ok | a.start b.end(Aborted) a.end(NoError) #a(NoError) #b(Aborted) G.end(Failed: child "J" was aborted)
running child deleted | continue +a +b! go a.del | a.start #null(Failed) b.start b.end(NoError) #b(NoError) G.end(Failed: deleted) | [TaskGroup]: child 0 was deleted while the group held it
running job child deleted | continue &a +b! go -a a.del | a.start #null(Failed) b.start b.end(NoError) #b(NoError) G.end(Failed: deleted) | [TaskGroup]: child 0 was deleted while the group held it
start() throws | continue +a^ go | a.start a.end(Failed: no disk) #a(Failed) G.end(Failed: no disk) | [TaskGroup]: task "J" threw from start(): no disk
handler deletes the group | par +a! +b on:G.del go | a.start a.end(NoError) #a(NoError)
job deleted before its turn | continue retry2 &a &b! -a go | #null(Failed) b.start b.end(NoError) #b(NoError) G.end(Failed: job deleted) | [TaskGroup]: the job of child 0 was deleted before its turn
)";

} // namespace

class tst_Groups : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void play_data()
    {
        QTest::addColumn<QStringList>("row");
        for (const QString &line : QString::fromUtf8(scripts).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            const QStringList row = line.split(L(" | ")).replaceInStrings(L("\"J\""), L("\"TestSupport::PlainJob\""));
            QTest::newRow(qPrintable(row.first())) << row;
        }
    }

    void play()
    {
        QFETCH(QStringList, row);
#ifdef __SANITIZE_THREAD__
        // TsanQt orders emissions through a lock that the end of each emission releases; Qt does
        // not report the end of an emission whose sender was deleted, so the lock would stay taken.
        if (row.at(1).contains(L("G.del")))
            QSKIP("the group is deleted inside its own signal");
#endif
        static QStringList warnings; // each one, however often
        warnings.clear();
        const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext &, const QString &message) { warnings.append(message); });
        Scene scene;
        scene.play(row.at(1));
        qInstallMessageHandler(previous);
        QCOMPARE(scene.log.join(QLatin1Char(' ')), row.value(2));
        QCOMPARE(warnings.join(QLatin1Char('|')), row.value(3));
    }

    // A group refuses what would make it run twice or contain itself, at any depth.
    void refusals()
    {
        Scene outer, inner, leaf;
        for (Scene *scene : { &outer, &inner, &leaf })
            scene->play(QStringLiteral("&a"));
        QVERIFY(outer.group->add(inner.held) && inner.group->add(leaf.held));
        const char *contains = "[TaskGroup]: refusing \"TestSupport::PlainJob\", which would contain itself";
        const char *twice = "[TaskGroup]: \"TestSupport::PlainJob\" is already in the group";
        for (Scene *into : { &outer, &inner, &leaf }) {
            QTest::ignoreMessage(QtWarningMsg, contains);
            QVERIFY(!into->group->add(outer.held));
        }
        QTest::ignoreMessage(QtWarningMsg, twice);
        QVERIFY(!outer.group->add(inner.held));
        QTest::ignoreMessage(QtWarningMsg, twice);
        QVERIFY(!outer.group->add(*outer.jobs[L("a")], outer));
        QTest::ignoreMessage(QtWarningMsg, "[TaskGroup]: ignoring a null child");
        QVERIFY(!outer.group->add(WorkQueue::TaskPtr()));
        QCOMPARE(outer.group->children(), (QList<WorkQueue::TaskPtr> { WorkQueue::TaskPtr(), inner.held }));
        // Nothing is added, and nothing starts, while the group aborts its children.
        Scene aborting;
        aborting.play(QStringLiteral("par +a +b go"));
        QObject::connect(aborting.tasks.value(L("a")), &Task::finished, [&] { aborting.step(QStringLiteral("+c!")); });
        QTest::ignoreMessage(QtWarningMsg, "[TaskGroup]: \"TestSupport::PlainJob\" not added, the group has finished");
        aborting.step(QStringLiteral("G.abort"));
        QCOMPARE(aborting.group->childCount(), 2);
        // A worker that makes the group itself fails that child instead of waiting forever.
        Giver self;
        self.task = leaf.group;
        QVERIFY(leaf.group->add(*outer.jobs[L("a")], self));
        QTest::ignoreMessage(QtWarningMsg, contains);
        leaf.play(QStringLiteral("go a.ok"));
        QCOMPARE(leaf.group->errorString(), QStringLiteral("no task for \"TestSupport::PlainJob\""));
        // So does one that gives a task the group holds already: it would end one place only.
        Scene again;
        again.play(QStringLiteral("continue +a"));
        Giver giver;
        giver.task = again.tasks.value(L("a"));
        PlainJob job;
        QVERIFY(again.group->add(job, giver));
        QTest::ignoreMessage(QtWarningMsg, twice);
        again.play(QStringLiteral("go a.ok"));
        Scene made; // a task made for a job child is held too
        made.play(QStringLiteral("&a go"));
        QTest::ignoreMessage(QtWarningMsg, twice);
        QVERIFY(!made.group->add(WorkQueue::TaskPtr(made.tasks.value(L("a")))));
        QCOMPARE(again.log.join(QLatin1Char(' ')),
            QStringLiteral("a.start a.end(NoError) #a(NoError) #null(Failed) G.end(Failed: no task for \"TestSupport::PlainJob\")"));
    }

    // A group from a worker, run by a queue, nested in another; a handler deletes the queue.
    void nestedInQueue()
    {
        Scene inner;
        inner.play(QStringLiteral("par &a &b"));
        PlainJob job, c;
        Giver giver;
        auto *outer = new TaskGroup(job, TaskGroup::Sequential);
        giver.task = outer;
        c.setObjectName(QStringLiteral("c"));
        QVERIFY(outer->add(inner.held) && outer->add(c, inner));
        QPointer<WorkQueue> queue = new WorkQueue(&giver);
        QObject::connect(outer, &TaskGroup::childFinished, [&] { delete queue; });
        QVERIFY(queue->enqueue(job));
        inner.step(QStringLiteral("a.ok"));
        QVERIFY(queue && !inner.tasks.contains(L("c")));
        inner.step(QStringLiteral("b.ok"));
        QVERIFY(!queue && job.isRunning() && c.isRunning()); // the job mirrors the task made for it
        inner.step(QStringLiteral("c.ok"));
        QCOMPARE(job.result(), QVariant(QVariantList { QVariantList { L("a"), L("b") }, L("c") }));
    }

    // Children on a pool and in a thread of their own: their ends and progress come queued.
    void threads_data()
    {
        QTest::addColumn<int>("policy");
        QTest::addColumn<int>("limit");
        QTest::newRow("continue, 3 at once") << int(TaskGroup::ContinueOnError) << 3;
        QTest::newRow("stop on error, no limit") << int(TaskGroup::StopOnError) << 0;
    }

    void threads()
    {
        QFETCH(int, policy);
        QFETCH(int, limit);
#ifdef __SANITIZE_THREAD__
        // TsanQt holds its lock through the emission whose handler aborts the pool tasks, and
        // aborting one waits for its run, which holds its own lock while it posts through TsanQt.
        if (policy == TaskGroup::StopOnError)
            QSKIP("TsanQt's lock and a pool run's lock in opposite orders");
#endif
        Scene scene;
        scene.play(QStringLiteral("par max%1 +a").arg(limit));
        scene.group->setPolicy(TaskGroup::Policy(policy));
        QThread thread;
        thread.start();
        ManualTask *away = scene.tasks.value(L("a"));
        away->moveToThread(&thread);
        QObject::connect(away, &Task::started, away, [away] { away->doSetState(Job::Finished); });
        for (int i = 0; i < 40; ++i) {
            scene.group->add(WorkQueue::TaskPtr(new PoolTask(scene.job, [i](PoolTask::Context &context) {
                context.setProgress(1, 2);
                i % 8 == 5 ? context.fail(QStringLiteral("bad")) : void();
                return QVariant(i * i);
            })));
        }
        scene.play(QStringLiteral("go"));
        QVERIFY(Errand::waitForFinished(scene.held));
        QCOMPARE(scene.group->errorString(), QStringLiteral("bad"));
        for (int i = 0; policy == TaskGroup::ContinueOnError && i < 40; ++i)
            QCOMPARE(scene.group->result().at(i + 1), i % 8 == 5 ? QVariant() : QVariant(i * i));
        QVERIFY(policy != TaskGroup::ContinueOnError || scene.group->processed() == scene.group->total());
        QThreadPool::globalInstance()->waitForDone();
        scene.held.reset(); // the group goes, and then the task in the thread
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        thread.quit();
        thread.wait();
    }
};

QTEST_GUILESS_MAIN(tst_Groups)
#include "tst_groups.moc"
