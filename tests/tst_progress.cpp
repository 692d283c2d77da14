// Progress, timeouts and abortAll(): a task's coalesced progress and its job's mirror of it, a
// queue's progress over its batch, timeouts of a task or of its queue, and aborting a whole
// queue. Progress reported from other threads is in tst_threads; handlers of progress that
// delete what they are told about are among the fuzzer's hooks.

#include "TestSupport.h"

#include <QtCore/QAbstractEventDispatcher>
#include <QtTest/QtTest>

#include <map>
#include <memory>

using namespace TestSupport;

namespace {

const auto pump = [] { QCoreApplication::sendPostedEvents(); };

// The intervals of the timers an object has registered in its thread, as "5,7".
const auto clocks = [](QObject *object) {
    QStringList intervals;
    for (const auto &timer : QAbstractEventDispatcher::instance()->registeredTimers(object))
        intervals.append(QString::number(timer.interval));
    return intervals.join(QLatin1Char(','));
};

// "(3/8 copy)": amounts as a signal carries them or a task or job reads them, with its text.
QString progress(const QObject &o, qint64 processed, qint64 total)
{
    const QString text = o.property("progressText").toString();
    return QStringLiteral("(%1/%2%3)").arg(processed).arg(total).arg(text.isEmpty() ? text : QLatin1Char(' ') + text);
}

// Logs its abort() calls; a late one finishes the task only from the event loop, as a task whose
// work runs elsewhere does.
struct Probe : ManualTask
{
    using ManualTask::ManualTask;
    void abort() override
    {
        log->append(objectName() + QStringLiteral(".abort"));
        if (!objectName().endsWith(QLatin1Char('~')))
            return ManualTask::abort();
        QMetaObject::invokeMethod(
            this, [this] { ManualTask::abort(); }, Qt::QueuedConnection);
    }
    QStringList *log = nullptr;
};

// A queue and its jobs, named by the test; a name ending in '~' makes a task with a late abort.
// play() reads space-separated steps: "+a" or "+a:2" queues job a (at priority 2), "-a" dequeues
// it, "*a" queues the task it holds again; "a=3/8" sets its task's progress, "a#copy" its text, "a!5" its timeout;
// "a.done", "a.fail", "a.abort", "a.Ready", "a.Running" drive it; "a>" runs out its clocks (twice); "a?" logs its
// progress and state, "a@" its clocks and timeout(). "O5" makes the factory set a timeout of 5,
// "T7" sets the queue's; "L3" lets 3 tasks run; "W" takes the queue's worker away, and with it every task; "abortAll";
// "loop" runs the posted
// events; "watch" logs the queue's progress, also as each finish is reported ("f0.500"), "?" reads it; "on:<step>"
// takes the step at the next finish the queue reports ("on:delete" deletes the queue). The log also has "a.start",
// "a.end(<error>[: <text>])" and the task's progress, "a(3/8 copy)".
struct Scene : Worker
{
    QObject *object() override { return nullptr; }
    Task *createTask(const Job &job) override
    {
        if (reuse) // the job keeps, and the queue takes, the task it holds
            return nullptr;
        const QString name = job.objectName();
        auto *task = new Probe(job);
        task->setObjectName(name);
        task->log = &log;
        task->setTimeout(ownTimeout);
        QObject::connect(task, &Task::started, [=] { log.append(name + QStringLiteral(".start")); });
        QObject::connect(task, &Task::finished, [=](Job::Error e) {
            const QString text = task->errorString().isEmpty() ? QString() : QStringLiteral(": ") + task->errorString();
            log.append(name + QStringLiteral(".end(") + Job::toString(e) + text + QLatin1Char(')'));
        });
        QObject::connect(
            task, &Task::progressChanged, [=](qint64 p, qint64 t) { log.append(name + progress(*task, p, t)); });
        return tasks[name] = task;
    }
    void play(const QString &steps)
    {
        for (const QString &step : steps.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            const QString name
                = step.section(QRegularExpression(QStringLiteral("[^a-z~]")), 0, 0, QString::SectionSkipEmpty);
            const QString op = step.mid(step.indexOf(name) + name.size());
            Probe *task = tasks.count(name) ? tasks[name].data() : nullptr;
            if (step.startsWith(QLatin1String("on:"))) {
                hook = step.mid(3);
            } else if (step.startsWith(QLatin1Char('+'))) {
                PlainJob *job = (jobs[name] = std::make_unique<PlainJob>()).get();
                job->setObjectName(name);
                QObject::connect(job, &Job::progressChanged,
                    [=](qint64 p, qint64 t) { jobLog.append(name + progress(*job, p, t)); });
                queue->enqueue(*job, op.mid(1).toUInt());
            } else if (step.startsWith(QLatin1Char('-'))) {
                queue->dequeue(*jobs[name]);
            } else if (step.startsWith(QLatin1Char('*'))) {
                reuse = true;
                queue->enqueue(*jobs[name]);
                reuse = false;
            } else if (QStringLiteral("OTLW").contains(step[0])) {
                const int n = step.mid(1).toInt();
                step[0] == QLatin1Char('O')       ? void(ownTimeout = n)
                    : step[0] == QLatin1Char('T') ? queue->setTaskTimeout(n)
                    : step[0] == QLatin1Char('L') ? queue->setMaxRunning(n)
                                                  : queue->setWorker(nullptr);
            } else if (op.startsWith(QLatin1Char('='))) {
                task->doSetProgress(op.mid(1).section(QLatin1Char('/'), 0, 0).toLongLong(),
                    op.section(QLatin1Char('/'), 1).toLongLong());
            } else if (op.startsWith(QLatin1Char('#'))) {
                task->doSetProgressText(op.mid(1));
            } else if (op.startsWith(QLatin1Char('!'))) {
                task->setTimeout(op.mid(1).toInt());
            } else if (op == QLatin1String(">")) {
                for (int i = 0; i < 2; ++i) {
                    for (const auto &timer : QAbstractEventDispatcher::instance()->registeredTimers(task)) {
                        QTimerEvent event(timer.timerId);
                        QCoreApplication::sendEvent(task, &event);
                    }
                }
            } else if (op == QLatin1String("?") && task) { // the job must read the same
                const auto now = [](const auto &o) { return progress(o, o.processed(), o.total()); };
                const QString read = now(*task) == now(*jobs[name]) ? now(*task) : QStringLiteral("!");
                log.append(
                    step + read + Job::toString(task->state()) + QLatin1Char('/') + Job::toString(task->error()));
            } else if (op == QLatin1String("@")) {
                log.append(step + clocks(task) + QLatin1Char(':') + QString::number(task->timeout()));
            } else if (op.startsWith(QLatin1Char('.'))) {
                op == QLatin1String(".done")       ? task->doSetState(Job::Finished)
                    : op == QLatin1String(".fail") ? task->doFail(QStringLiteral("boom"))
                    : op == QLatin1String(".abort")
                    ? task->abort()
                    : task->doSetState(Job::State(Job::StateMetaEnum().keyToValue(qPrintable(op.mid(1)))));
            } else if (step == QLatin1String("abortAll")) {
                queue->abortAll();
            } else if (step == QLatin1String("loop")) { // a task's news reaches its queue in the next pass
                pump();
                pump();
            } else if (step == QLatin1String("watch")) {
                const auto read
                    = [this](char tag) { log.append(QLatin1Char(tag) + QString::number(queue->progress(), 'f', 3)); };
                QObject::connect(queue.get(), &WorkQueue::progressChanged, [=] { read('p'); });
                QObject::connect(queue.get(), &WorkQueue::finished, [=] { read('f'); });
            } else if (step == QLatin1String("?")) {
                log.append(QStringLiteral("?") + QString::number(queue->progress(), 'f', 3));
            }
        }
    }

    std::unique_ptr<WorkQueue> queue = std::make_unique<WorkQueue>(this);
    std::map<QString, std::unique_ptr<PlainJob>> jobs;
    std::map<QString, QPointer<Probe>> tasks;
    QStringList log, jobLog;
    QString hook;
    int ownTimeout = 0;
    bool reuse = false;
};

} // namespace

class tst_Progress : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // Each row: a Scene's steps, its log, and the warnings they cause ('|' between two).
    void scene_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("log");
        QTest::addColumn<QString>("warning");
        const auto row = [](const char *name, const char *steps, const char *log, const char *warning = "") {
            QTest::newRow(name) << QString::fromLatin1(steps) << QString::fromLatin1(log)
                                << QString::fromLatin1(warning);
        };
        // clang-format off
        // A task's progress: coalesced, the last value before the end, reset by a move to Ready.
        row("coalesced", "+a a=3/10 a=5/10 a=7/10 loop a?", "a.start a(7/10) a?(7/10)Running/NoError");
        row("unchanged", "+a a=3/10 loop a=3/10 loop a=5/10 a=3/10 loop", "a.start a(3/10)");
        row("text", "+a a#copy loop a#copy a=2/0 loop a# loop", "a.start a(0/0 copy) a(2/0 copy) a(2/0)");
        row("at finish", "+a a=4/8 a.done loop", "a.start a(4/8) a.end(NoError)");
        row("nothing new at finish", "+a a=4/8 loop a=4/8 a.fail loop", "a.start a(4/8) a.end(Failed: boom)");
        row("reset", "+a a=1/2 a#x a.Ready loop a?", "a.start a(1/2 x) a.end(Aborted) a(0/0) a?(0/0)Ready/NoError");
        row("finished ignores", "+a a=9/4 a.abort a=5/5 a#late loop a?",
            "a.start a.abort a(9/4) a.end(Aborted) a?(9/4)Finished/Aborted",
            "[Task]: ignoring progress of a finished task");
        row("negative", "+a a=-1/5 a=2/-1 loop", "a.start a(2/-1)",
            "[Task]: ignoring setProgress() with a negative amount processed (-1)");
        // A queue's progress, "f" as its finished() handlers read it; dequeued tasks count nowhere.
        row("batch", "watch +a +b +c loop a=1/4 loop a.done loop b=1/1 loop",
            "a.start p0.000 a(1/4) p0.083 a.end(NoError) f0.333 b.start p0.333 b(1/1) p0.667");
        row("dequeued", "watch +a +b +c a.done b=1/2 -c loop ?",
            "a.start a.end(NoError) f0.333 b.start p0.750 b(1/2) ?0.750");
        row("over when empty", "watch +a a.done +b loop", "a.start a.end(NoError) f1.000 b.start p0.000");
        row("dropped", "watch +a +b loop W loop", "a.start p0.000 p1.000");
        row("capped, unknown", "watch +a +b a=5/4 a=3/0 a=6/4 loop a=3/0 loop", "a.start p0.500 a(6/4) a(3/0) p0.000");
        // Timeouts: the task's own (set by its factory, or while it runs, from then on), or the queue's.
        row("own", "O5 +a a@ a> a@", "a.start a@5:5 a.abort a.end(Aborted: timed out after 5 ms) a@:5");
        row("queue's", "T7 +a a@ a> a@", "a.start a@7:0 a.abort a.end(Aborted: timed out after 7 ms) a@:0");
        row("none", "+a a@ a> a?", "a.start a@:0 a?(0/0)Running/NoError");
        row("late abort", "O5 +a~ a~> a~@ loop", "a~.start a~.abort a~@:5 a~.end(Aborted: timed out after 5 ms)");
        row("in time", "O5 +a a.done a@ a>", "a.start a.end(NoError) a@:5");
        row("set while running", "O5 T7 +a a!9 a@ a!0 a@ a>",
            "a.start a@9:9 a@7:0 a.abort a.end(Aborted: timed out after 7 ms)");
        row("out of the queue", "T7 +a -a a.Ready a.Running a@ a.done a=1/1 a.Ready a=1/1 a.done a=2/2",
            "a.start a.end(Aborted) a.start a@:0 a.end(NoError) a(1/1) a.end(NoError)",
            "[Task]: ignoring progress of a finished task|[Task]: ignoring progress of a finished task");
        row("negative queue timeout", "T-1 +a a@", "a.start a@:0", "[WorkQueue]: ignoring negative task timeout (-1)");
        row("negative timeout", "O2 +a a!-2 a@", "a.start a@2:2", "[Task]: ignoring negative timeout (-2)");
        // abortAll(): waiting tasks from the last in queue order (b d a c here) to the first, then
        // the current one; none starts, during the call or because of it.
        row("queue order", "+a +b:2 +c +d:1 abortAll loop",
            "a.start c.abort c.end(Aborted) d.abort d.end(Aborted) b.abort b.end(Aborted) a.abort a.end(Aborted)");
        row("late waiting", "+a +b~ +c abortAll ? loop",
            "a.start c.abort c.end(Aborted) b~.abort a.abort a.end(Aborted) ?0.667 b~.end(Aborted)");
        row("late current", "+a~ +b +c abortAll +d loop",
            "a~.start c.abort c.end(Aborted) b.abort b.end(Aborted) a~.abort a~.end(Aborted) d.start");
        row("queued meanwhile", "on:+e +a +b abortAll",
            "a.start b.abort b.end(Aborted) a.abort a.end(Aborted) e.start");
        row("late, queued again", "+a +b~ abortAll loop b~.Ready *b~",
            "a.start b~.abort a.abort a.end(Aborted) b~.end(Aborted) b~.start");
        row("queue deleted", "on:delete +a +b +c abortAll loop", "a.start c.abort c.end(Aborted)");
        row("progress", "watch +a +b abortAll ? +c loop",
            "a.start b.abort b.end(Aborted) f0.500 a.abort a.end(Aborted) f1.000 ?1.000 c.start p0.000");
        // With lanes: every running task counts by its fraction; abortAll() aborts the waiting
        // tasks, then the running ones, each from the last in queue order (c, of priority 1,
        // comes first); none starts.
        row("lanes", "watch L2 +a +b +c:1 +d a=1/2 b=1/4 loop ? b.done loop L-1 abortAll",
            "a.start b.start p0.188 a(1/2) b(1/4) ?0.188 b.end(NoError) f0.375 c.start p0.375 d.abort d.end(Aborted) "
            "f0.625 a.abort a.end(Aborted) f0.750 c.abort c.end(Aborted) f1.000",
            "[WorkQueue]: ignoring maxRunning below 1 (-1)");
        // clang-format on
    }

    // The job re-emits exactly what its task emits.
    void scene()
    {
        QFETCH(QString, steps);
        QFETCH(QString, warning);
        Scene scene;
        connect(scene.queue.get(), &WorkQueue::finished, this, [&] {
            const QString step = std::exchange(scene.hook, QString());
            step == QLatin1String("delete") ? scene.queue.reset() : scene.play(step);
        });
        for (const QString &each : warning.split(QLatin1Char('|'), Qt::SkipEmptyParts))
            QTest::ignoreMessage(QtWarningMsg, qPrintable(each));
        scene.play(steps);
        QCOMPARE(scene.jobLog, scene.log.filter(QRegularExpression(QStringLiteral("^[a-z~]+\\("))));
        QTEST(scene.log.join(QLatin1Char(' ')), "log");
    }

    // Unused, progress and timeouts cost nothing: no timer, no connection to the task's progress,
    // no event while nothing listens; the first receiver gets the news it missed. A job forwards
    // its task's progress once something listens to the job, and follows the task it holds.
    void lazyAndFollowing()
    {
        struct Counter : QObject
        {
            bool eventFilter(QObject *o, QEvent *) override { return events += bool(qobject_cast<Task *>(o)), false; }
            int events = 0;
        } counter;
        NamedWorker worker;
        WorkQueue queue(&worker);
        PlainJob job;
        qApp->installEventFilter(&counter);
        ManualTask *first = worker.add(queue, "a", 0, ManualTask::RunOnStart, &job), *second = new ManualTask(job);
        first->doSetProgress(1, 3);
        second->doSetProgress(1, 5);
        pump();
        QCOMPARE(clocks(first) + QString::number(counter.events + first->progressReceivers()), QStringLiteral("0"));
        QSignalSpy spy(&job, &Job::progressChanged), told(second, &Task::progressChanged);
        pump(); // one event for each task's missed news
        first->doSetProgress(1, 3); // unchanged: no event
        second->doSetProgress(2, 5); // one event for both changes, nothing to emit
        second->doSetProgress(1, 5);
        pump();
        job.attach(second); // its progress differs: announced before resultChanged()
        job.attach(first);
        job.detach(); // says nothing
        pump();
        qApp->removeEventFilter(&counter);
        QStringList seen;
        for (const QVariantList &args : std::as_const(spy))
            seen.append(args.at(0).toString() + QLatin1Char('/') + args.at(1).toString());
        QCOMPARE(seen.join(QLatin1Char(' ')) + QStringLiteral("|%1|%2").arg(told.count()).arg(counter.events),
            QStringLiteral("1/3 1/5 1/3|1|3"));
    }
};

QTEST_GUILESS_MAIN(tst_Progress)
#include "tst_progress.moc"
