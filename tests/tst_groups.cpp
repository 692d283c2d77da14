// TaskGroup: modes, policies, the parallel limit, retries of job children, children added while
// the group runs, abort, results and progress, bad input, and children in other threads.

#include "TestSupport.h"

#include <ErrandFuture.h>
#include <PoolTask.h>
#include <TaskGroup.h>

#include <QtCore/QThread>
#include <QtCore/QThreadPool>
#include <QtTest/QtTest>

#include <map>
#include <stdexcept>

using namespace TestSupport;

namespace {

// A group and its children, named by the test. play() reads space-separated steps:
// "par", "max2", "retry1", "continue", "success" set up the group (sequential, StopOnError by
// default); "+a" adds a task named a, "&a" a job whose worker makes the task when its turn
// comes; a suffix makes each task finish ("!"), fail ("?"), fail the first N times ("?N"),
// abort ("~") or throw ("^") in start(), or (jobs only) makes no task ("0"). "go" starts the
// group; "a.ok", "a.fail", "a.abort", "a.del" drive a's task from outside, "a=30" sets its
// progress to 30 of 100, "G.abort" aborts the group, "G.del" deletes it; "on:<step>" takes the
// step inside the next childFinished(). The log has "a.start", "a.end(<error>[: text])",
// "#a(<error>)" for childFinished(), "G.end(<error>[: text])", and "%" reads the progress in
// thousandths as "%p/t", "R" the results as "R[a,b]".
struct Scene : Worker
{
    QObject *object() override { return nullptr; }
    Task *createTask(const Job &job) override
    {
        const QString spec = job.objectName();
        return spec.endsWith(QLatin1Char('0')) ? nullptr : make(spec, attempts[spec]++);
    }

    ManualTask *make(const QString &spec, int attempt)
    {
        const QString name = spec.left(spec.indexOf(QRegularExpression(QStringLiteral("[!?~^0]|$"))));
        const QString mode = spec.mid(name.size());
        auto *task = new Thrower(job, mode == QLatin1String("^"));
        task->setObjectName(name);
        task->setResult(name);
        task->mode = mode == QLatin1String("!") ? ManualTask::FinishOnStart
            : mode == QLatin1String("~")        ? ManualTask::AbortOnStart
            : mode.startsWith(QLatin1Char('?')) && (mode.size() == 1 || attempt < mode.mid(1).toInt())
            ? ManualTask::FailOnStart
            : mode.startsWith(QLatin1Char('?')) ? ManualTask::FinishOnStart
                                                : ManualTask::RunOnStart;
        QObject::connect(task, &Task::started, [=] { log.append(name + QStringLiteral(".start")); });
        QObject::connect(task, &Task::finished, [=](Job::Error e) { log.append(name + QStringLiteral(".end") + end(*task, e)); });
        return tasks[name] = task;
    }

    static QString end(const Task &task, Job::Error e)
    {
        const QString text = task.errorString().isEmpty() ? QString() : QStringLiteral(": ") + task.errorString();
        return QLatin1Char('(') + Job::toString(e) + text + QLatin1Char(')');
    }

    void play(const QString &script)
    {
        TaskGroup::Mode mode = script.startsWith(QLatin1String("par")) ? TaskGroup::Parallel : TaskGroup::Sequential;
        group = new TaskGroup(job, mode);
        held = WorkQueue::TaskPtr(group.data());
        QObject::connect(group, &Task::finished, [this](Job::Error e) { log.append(QStringLiteral("G.end") + end(*group, e)); });
        QObject::connect(group, &TaskGroup::childFinished, group, [this](const WorkQueue::TaskPtr &child, Job::Error e) {
            log.append(QLatin1Char('#') + (child ? child->objectName() : QStringLiteral("null")) + QLatin1Char('(') + Job::toString(e) + QLatin1Char(')'));
            if (!handlerSteps.isEmpty())
                step(handlerSteps.takeFirst());
        });
        for (const QString &s : script.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            if (s.startsWith(QLatin1String("on:")))
                handlerSteps.append(s.mid(3));
            else
                step(s);
        }
    }

    void step(const QString &s)
    {
        const QString name = s.section(QLatin1Char('.'), 0, 0).section(QLatin1Char('='), 0, 0);
        ManualTask *task = tasks.count(name) ? tasks[name].data() : nullptr;
        if (s == QLatin1String("par"))
            return;
        if (s == QLatin1String("go"))
            group->start();
        else if (s == QLatin1String("continue") || s == QLatin1String("success"))
            group->setPolicy(s == QLatin1String("continue") ? TaskGroup::ContinueOnError : TaskGroup::StopOnSuccess);
        else if (s.startsWith(QLatin1String("max")) || s.startsWith(QLatin1String("retry")))
            s.startsWith(QLatin1String("max")) ? group->setMaxParallel(s.mid(3).toInt()) : group->setRetries(s.mid(5).toInt());
        else if (s.startsWith(QLatin1Char('+')))
            group->add(WorkQueue::TaskPtr(make(s.mid(1), 0)));
        else if (s.startsWith(QLatin1Char('&'))) {
            jobs.emplace_back(new PlainJob);
            jobs.back()->setObjectName(s.mid(1));
            group->add(*jobs.back(), *this);
        } else if (s == QLatin1String("G.abort"))
            group->abort();
        else if (s == QLatin1String("G.del"))
            delete held.take();
        else if (s.startsWith(QLatin1Char('-')))
            std::find_if(jobs.begin(), jobs.end(), [&](auto &j) { return j->objectName() == s.mid(1); })->reset();
        else if (s == QLatin1String("%") && (QCoreApplication::sendPostedEvents(), true))
            log.append(QStringLiteral("%1/%2").arg(group->processed()).arg(group->total()).prepend(QLatin1Char('%')));
        else if (s == QLatin1String("R")) {
            QStringList results;
            for (const QVariant &r : group->result())
                results.append(r.toString());
            log.append(QStringLiteral("R[") + results.join(QLatin1Char(',')) + QLatin1Char(']'));
        } else if (s.contains(QLatin1Char('=')))
            task->doSetProgress(s.section(QLatin1Char('='), 1).toInt(), 100);
        else if (s.endsWith(QLatin1String(".ok")))
            task->doSetState(Job::Finished);
        else if (s.endsWith(QLatin1String(".fail")))
            task->doFail(name + QStringLiteral(" broke"));
        else if (s.endsWith(QLatin1String(".abort")))
            task->abort();
        else if (s.endsWith(QLatin1String(".del")))
            delete task;
        else
            QFAIL(qPrintable(QStringLiteral("unknown step ") + s));
    }

    // A task whose start() throws after moving to Running, when asked to.
    struct Thrower : ManualTask
    {
        Thrower(const Job &job, bool throws)
            : ManualTask(job)
            , throws(throws)
        { }
        void start() override
        {
            ManualTask::start();
            if (throws)
                throw std::runtime_error("no disk");
        }
        const bool throws;
    };

    PlainJob job;
    QPointer<TaskGroup> group;
    WorkQueue::TaskPtr held;
    std::vector<std::unique_ptr<PlainJob>> jobs;
    std::map<QString, QPointer<ManualTask>> tasks;
    QHash<QString, int> attempts;
    QStringList handlerSteps;
    QStringList log;
};

} // namespace

class tst_Groups : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void play_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("warning");
        const auto row = [](const char *name, const char *script, const char *expected, const char *warning = "") {
            QTest::newRow(name) << QString::fromLatin1(script) << QString::fromLatin1(expected) << QString::fromLatin1(warning);
        };
        // Sequential: one at a time in add order; the policies decide where it stops.
        row("empty", "go", "G.end(NoError)");
        row("empty, stop on success", "success go", "G.end(NoError)");
        row("in order", "+a +b! go a.ok", "a.start a.end(NoError) #a(NoError) b.start b.end(NoError) #b(NoError) G.end(NoError)");
        row("stop on error", "+a? +b go", "a.start a.end(Failed: failed on start) #a(Failed) G.end(Failed: failed on start)");
        row("continue on error", "continue +a +b? +c! go a.fail",
            "a.start a.end(Failed: a broke) #a(Failed) b.start b.end(Failed: failed on start) #b(Failed) c.start c.end(NoError) #c(NoError) G.end(Failed: a broke)");
        row("continue, aborted child", "continue +a~ go", "a.start a.end(Aborted) #a(Aborted) G.end(Failed: child \"TestSupport::PlainJob\" was aborted)");
        row("stop on error, aborted child", "+a~ +b go", "a.start a.end(Aborted) #a(Aborted) G.end(Aborted)");
        row("stop on success", "success +a? +b! +c go", "a.start a.end(Failed: failed on start) #a(Failed) b.start b.end(NoError) #b(NoError) G.end(NoError)");
        row("stop on success, none", "success +a? +b go b.fail", "a.start a.end(Failed: failed on start) #a(Failed) b.start b.end(Failed: b broke) #b(Failed) G.end(Failed: b broke)");
        // Parallel: the first end in time decides; the running ones are aborted, last first.
        row("parallel, first failure in time", "par +a +b +c go c.fail",
            "a.start b.start c.start c.end(Failed: c broke) #c(Failed) b.end(Aborted) a.end(Aborted) G.end(Failed: c broke)");
        row("parallel, first success", "par success max2 +a +b +c go b.ok",
            "a.start b.start b.end(NoError) #b(NoError) a.end(Aborted) G.end(NoError)");
        row("parallel limit", "par max2 +a +b +c go a.ok b.ok c.ok",
            "a.start b.start a.end(NoError) #a(NoError) c.start b.end(NoError) #b(NoError) c.end(NoError) #c(NoError) G.end(NoError)");
        row("raising the limit", "par max1 +a +b +c go max3", "a.start b.start c.start");
        row("sequential ignores the limit", "max3 +a +b go", "a.start");
        row("results in add order", "par +a +b +c go c.ok R a.ok b.ok R",
            "a.start b.start c.start c.end(NoError) #c(NoError) R[,,c] a.end(NoError) #a(NoError) b.end(NoError) #b(NoError) G.end(NoError) R[a,b,c]");
        // Progress: a running child by its own fraction; only adding or retrying goes back.
        row("progress", "par +a +b % go a=30 % b.ok % +c % a=20 %",
            "%0/2000 a.start b.start %300/2000 b.end(NoError) #b(NoError) %1300/2000 c.start %1300/3000 %1300/3000");
        row("progress of a retry", "retry1 &a go a=50 % a.fail %", "a.start %500/1000 a.end(Failed: a broke) a.start %0/1000");
        // Children added while running, also from childFinished(): done is decided after it.
        row("a step adds the next", "+a! on:+b! on:+c! go", "a.start a.end(NoError) #a(NoError) b.start b.end(NoError) #b(NoError) c.start c.end(NoError) #c(NoError) G.end(NoError)");
        row("added while running", "par +a go +b b.ok a.ok", "a.start b.start b.end(NoError) #b(NoError) a.end(NoError) #a(NoError) G.end(NoError)");
        row("added to a finished group", "go +a", "G.end(NoError)", "[TaskGroup]: \"TestSupport::PlainJob\" not added, the group has finished");
        // Retries remake a job's task; a task child or an aborted one is not retried.
        row("retried job", "retry2 &a?2 go", "a.start a.end(Failed: failed on start) a.start a.end(Failed: failed on start) a.start a.end(NoError) #a(NoError) G.end(NoError)");
        row("retries run out", "retry1 &a? +b go", "a.start a.end(Failed: failed on start) a.start a.end(Failed: failed on start) #a(Failed) G.end(Failed: failed on start)");
        row("a task is not retried", "retry1 +a? go", "a.start a.end(Failed: failed on start) #a(Failed) G.end(Failed: failed on start)");
        row("aborted is not retried", "retry1 continue &a~ go", "a.start a.end(Aborted) #a(Aborted) G.end(Failed: child \"TestSupport::PlainJob\" was aborted)");
        row("no task", "continue retry1 &a0 &b! go", "#null(Failed) b.start b.end(NoError) #b(NoError) G.end(Failed: no task for \"TestSupport::PlainJob\")");
        // abort(): the running children first, then the group, at once; nothing else starts.
        row("abort", "par max2 +a +b +c go G.abort", "a.start b.start b.end(Aborted) a.end(Aborted) G.end(Aborted)");
        row("abort before start", "+a G.abort go", "G.end(Aborted)", "[TaskGroup]: a group runs only once");
        row("abort from a handler", "par +a +b! on:G.abort go a.ok", "a.start b.start b.end(NoError) #b(NoError) a.end(Aborted) G.end(Aborted)");
        // Hostile: children driven, deleted or throwing; handlers that delete the group.
        row("child aborted from outside", "par +a +b go a.abort", "a.start b.start a.end(Aborted) #a(Aborted) b.end(Aborted) G.end(Aborted)");
        row("waiting child aborted from outside", "continue +a +b go b.abort a.ok", "a.start b.end(Aborted) a.end(NoError) #a(NoError) #b(Aborted) G.end(Failed: child \"TestSupport::PlainJob\" was aborted)");
        row("running child deleted", "continue +a +b! go a.del", "a.start #null(Failed) b.start b.end(NoError) #b(NoError) G.end(Failed: deleted)",
            "[TaskGroup]: child 0 was deleted while the group held it");
        row("start() throws", "continue +a^ go", "a.start a.end(Failed: no disk) #a(Failed) G.end(Failed: no disk)",
            "[TaskGroup]: task \"TestSupport::PlainJob\" threw from start(): no disk");
        row("handler deletes the group", "par +a! +b on:G.del go", "a.start a.end(NoError) #a(NoError)");
        row("job deleted before its turn", "continue &a &b! -a go", "#null(Failed) b.start b.end(NoError) #b(NoError) G.end(Failed: job deleted)",
            "[TaskGroup]: the job of child 0 was deleted before its turn");
    }

    void play()
    {
        QFETCH(QString, script);
        QFETCH(QString, expected);
        QFETCH(QString, warning);
        if (!warning.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
        Scene scene;
        scene.play(script);
        // From the first entry that differs.
        const QString log = scene.log.join(QLatin1Char(' '));
        const int same = int(std::mismatch(log.cbegin(), log.cend(), expected.cbegin(), expected.cend()).first - log.cbegin());
        const int from = log.lastIndexOf(QLatin1Char(' '), same - 1) + 1;
        QCOMPARE(log.mid(from), expected.mid(from));
    }

    // A group refuses what would make it run twice or contain itself, at any depth.
    void refusals()
    {
        PlainJob job, jobChild;
        TestWorker worker(nullptr);
        const auto group = [&](TaskGroup::Mode mode) { return WorkQueue::TaskPtr(new TaskGroup(job, mode)); };
        const auto as = [](const WorkQueue::TaskPtr &t) { return static_cast<TaskGroup *>(t.data()); };
        const WorkQueue::TaskPtr outer = group(TaskGroup::Parallel), inner = group(TaskGroup::Sequential), leaf = group(TaskGroup::Sequential);
        QVERIFY(as(outer)->add(inner) && as(inner)->add(leaf) && as(outer)->add(jobChild, worker));
        const char *contains = "[TaskGroup]: refusing \"TestSupport::PlainJob\", which would contain itself";
        for (const auto &into : { outer, inner, leaf }) {
            QTest::ignoreMessage(QtWarningMsg, contains);
            QVERIFY(!as(into)->add(outer));
        }
        QTest::ignoreMessage(QtWarningMsg, "[TaskGroup]: \"TestSupport::PlainJob\" is already in the group");
        QVERIFY(!as(outer)->add(inner));
        QTest::ignoreMessage(QtWarningMsg, "[TaskGroup]: \"TestSupport::PlainJob\" is already in the group");
        QVERIFY(!as(outer)->add(jobChild, worker));
        QTest::ignoreMessage(QtWarningMsg, "[TaskGroup]: ignoring a null child");
        QVERIFY(!as(outer)->add(WorkQueue::TaskPtr()));
        QTest::ignoreMessage(QtWarningMsg, "[TaskGroup]: ignoring negative maxParallel (-1)");
        as(outer)->setMaxParallel(-1);
        QCOMPARE(as(outer)->childCount(), 2);
        QCOMPARE(as(outer)->children(), (QList<WorkQueue::TaskPtr> { inner, WorkQueue::TaskPtr() }));
        // A worker that makes the group itself fails that child instead of waiting forever.
        struct Self : Worker {
            QObject *object() override { return nullptr; }
            Task *createTask(const Job &) override { return group; }
            Task *group = nullptr;
        } self;
        self.group = inner.data();
        QVERIFY(as(inner)->add(jobChild, self));
        leaf->start();
        QTest::ignoreMessage(QtWarningMsg, contains);
        inner->start();
        QCOMPARE(inner->errorString(), QStringLiteral("no task for \"TestSupport::PlainJob\""));
    }

    // A group from a factory, run by a queue, nested in another; a handler deletes the queue.
    void nestedInQueue()
    {
        PlainJob job;
        NamedWorker children;
        struct Groups : Worker {
            QObject *object() override { return nullptr; }
            Task *createTask(const Job &job) override
            {
                auto *outer = new TaskGroup(job, TaskGroup::Sequential), *inner = new TaskGroup(job, TaskGroup::Parallel);
                for (const char *name : { "a", "b" }) {
                    jobs.emplace_back(new PlainJob);
                    jobs.back()->setObjectName(QLatin1String(name));
                    inner->add(*jobs.back(), *children);
                }
                outer->add(WorkQueue::TaskPtr(inner));
                jobs.emplace_back(new PlainJob);
                jobs.back()->setObjectName(QStringLiteral("c"));
                outer->add(*jobs.back(), *children);
                return outer;
            }
            NamedWorker *children;
            std::vector<std::unique_ptr<PlainJob>> jobs;
        } groups;
        groups.children = &children;
        QPointer<WorkQueue> queue = new WorkQueue(&groups);
        QObject::connect(queue, &WorkQueue::started, [&] {
            QObject::connect(static_cast<TaskGroup *>(job.task()), &TaskGroup::childFinished, [&] { delete queue; });
        });
        QVERIFY(queue->enqueue(job));
        children.made[QStringLiteral("a")]->doSetState(Job::Finished);
        QVERIFY(queue && !children.made.contains(QStringLiteral("c")));
        children.made[QStringLiteral("b")]->doSetState(Job::Finished);
        QVERIFY(!queue && job.isRunning() && children.made[QStringLiteral("c")]->isRunning());
        children.made[QStringLiteral("c")]->setResult(3);
        children.made[QStringLiteral("c")]->doSetState(Job::Finished);
        QCOMPARE(job.error(), Job::NoError);
        QCOMPARE(job.result(), QVariant(QVariantList { QVariantList { QVariant(), QVariant() }, 3 }));
    }

    // Children on a pool and in a thread of their own: ends and progress arrive queued.
    void threads_data()
    {
        QTest::addColumn<int>("policy");
        QTest::addColumn<int>("limit");
        QTest::newRow("continue, 3 at once") << int(TaskGroup::ContinueOnError) << 3;
        QTest::newRow("continue, no limit") << int(TaskGroup::ContinueOnError) << 0;
        QTest::newRow("stop on error") << int(TaskGroup::StopOnError) << 4;
    }

    void threads()
    {
        QFETCH(int, policy);
        QFETCH(int, limit);
        PlainJob job;
        QThread thread;
        thread.start();
        const WorkQueue::TaskPtr group(new TaskGroup(job, TaskGroup::Parallel));
        auto *g = static_cast<TaskGroup *>(group.data());
        g->setPolicy(TaskGroup::Policy(policy));
        g->setMaxParallel(limit);
        auto *away = new ManualTask(job);
        away->moveToThread(&thread);
        QObject::connect(away, &Task::started, away, [away] { away->doSetState(Job::Finished); });
        g->add(WorkQueue::TaskPtr(away));
        const int n = 40;
        for (int i = 0; i < n; ++i) {
            g->add(WorkQueue::TaskPtr(new PoolTask(job, [i](PoolTask::Context &context) {
                context.setProgress(1, 2);
                if (i % 8 == 5)
                    context.fail(QStringLiteral("bad"));
                return QVariant(i * i);
            })));
        }
        g->start();
        QVERIFY(Errand::waitForFinished(group));
        QCOMPARE(g->errorString(), QStringLiteral("bad"));
        const QVariantList results = g->result();
        if (policy == TaskGroup::ContinueOnError) {
            QCOMPARE(g->finishedCount(), n + 1);
            QCOMPARE(g->processed(), g->total());
            for (int i = 0; i < n; ++i)
                QCOMPARE(results.at(i + 1), i % 8 == 5 ? QVariant() : QVariant(i * i));
        }
        QThreadPool::globalInstance()->waitForDone();
        thread.quit();
        thread.wait();
    }
};

QTEST_GUILESS_MAIN(tst_Groups)
#include "tst_groups.moc"
