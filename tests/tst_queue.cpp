#include "TestSupport.h"

#include <ObjectWorker.h>
#include <WorkQueuePrivate.h>
#include <WorkerRegistry.h>

#include <QtTest/QtTest>

#include <utility>

using namespace TestSupport;

// Makes, for job "J<n>", a ManualTask "T<n>" started in the mode the job's "mode" property holds
// (none for mode 4, "N" in the scripts below); `log`, when set, records the task's finished()
// as "T<n>:<error>".
struct ScriptedWorker : Worker
{
    QObject *object() override { return nullptr; }
    Task *createTask(const Job &job) override
    {
        if (job.property("mode").toInt() == 4)
            return nullptr;
        auto *task = new ManualTask(job, ManualTask::StartMode(job.property("mode").toInt()));
        task->setObjectName(QLatin1Char('T') + job.objectName().mid(1));
        made.insert(task->objectName(), task);
        if (log)
            QObject::connect(task, &Task::finished, log, [log = log, task](Job::Error e) {
                log->add(task->objectName() + QLatin1Char(':') + Job::toString(e));
            });
        return task;
    }

    SignalLog *log = nullptr;
    static inline QHash<QString, QPointer<ManualTask>> made;
};

class tst_Queue : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void scenario_data();
    void scenario();

    void longSynchronousChainDrainsInOrder_data()
    {
        QTest::addColumn<int>("lanes");
        QTest::newRow("one lane") << 1;
        QTest::newRow("three lanes") << 3; // opened behind T0: the others drain in two lanes at once
    }

    // Thousands of tasks that end inside start() drain within the call that ends the one running
    // ahead of them (or that opens lanes beside it), in key order, each started once, without
    // exhausting the stack.
    void longSynchronousChainDrainsInOrder()
    {
        QFETCH(int, lanes);
        ScriptedWorker worker;
        WorkQueue queue(&worker, false, nullptr);
        PlainJob job; // not attached by enqueue(const Job&): each task takes its name and mode
        QStringList log, expected[4]; // T0, then priorities 2, 1, 0
        connect(&queue, &WorkQueue::taskStarted, this, [&](const WorkQueue::TaskPtr &t) { log << t->objectName(); });
        for (int i = 0; i <= 20000; ++i) {
            job.setObjectName(QStringLiteral("J%1").arg(i));
            job.setProperty("mode", i == 0 ? ManualTask::RunOnStart : ManualTask::FinishOnStart);
            QVERIFY(queue.enqueue(std::as_const(job), i == 0 ? 9 : uint(i % 3)));
            expected[i == 0 ? 0 : 3 - i % 3] << QStringLiteral("T%1").arg(i);
        }
        queue.setMaxRunning(lanes);
        static_cast<ManualTask *>(queue.current())->doSetState(Job::Finished);
        QCOMPARE(log, expected[0] + expected[1] + expected[2] + expected[3]);
    }

    // The bound object is held weakly: objectChanged() reports each change of value, a deleted
    // object reads as null, silently. Tasks come from the factories registered for the object's
    // classes (each factory's tasks are named after its class), most-derived first; rebinding
    // redirects later jobs and leaves the running task alone.
    void objectWorker()
    {
        const QString job = QStringLiteral("TestSupport::PlainJob");
        for (QLatin1String c : { QLatin1String("QTimer"), QLatin1String("QObject") })
            QVERIFY(WorkerRegistry::instance()->registerTask(c, job, new CountingFactory(c)));
        QTimer timer;
        auto *loop = new QEventLoop;
        ObjectWorker worker;
        // The queue's worker is the object's Worker side, which is not at the object's address.
        QVERIFY(!worker.autoAbort() && worker.worker() == static_cast<Worker *>(&worker));

        SignalLog log;
        log.watchQueue(&worker, QStringLiteral("Q"));
        connect(&worker, &ObjectWorker::objectChanged, &log, [&](QObject *o) { // the new value
            log.add(QLatin1String(o == worker.object() && o ? o->metaObject()->className() : "null"));
        });
        for (QObject *object : QList<QObject *> { nullptr, &timer, nullptr, &timer, &timer })
            worker.setObject(object);
        QCOMPARE(worker.worker()->name(), QStringLiteral("QTimer"));
        QCOMPARE(worker.property("jobNames").toStringList(), QStringList({ job, job }));
        PlainJob first, second, third;
        QVERIFY(worker.enqueue(first, 0));
        worker.setObject(loop);
        QVERIFY(worker.enqueue(second, 0));
        delete loop;
        worker.setObject(nullptr); // no objectChanged(): it reads as null already
        QTest::ignoreMessage(QtWarningMsg, "[Worker]: invalid Object, please implement the object method");
        QVERIFY(!worker.enqueue(third, 0));
        static_cast<ManualTask *>(first.task())->doSetState(Job::Finished);
        QCOMPARE(log.take().join(QLatin1Char(' ')).remove(QStringLiteral("Q.")),
            QStringLiteral("QTimer null QTimer started queued(QTimer,0) QEventLoop queued(QObject,0) finished(NoError) "
                           "started"));
        QCOMPARE(worker.current(), second.task());
    }
};

// A script of operations on one queue and the one log they produce. Operations on job n (0-5,
// "J<n>", whose tasks are named "T<n>") take a priority p and a start mode m (R runs, F finishes,
// X fails, A aborts in start(), N the worker makes no task; R when left out):
//   e<n>/<p><m> enqueue(Job&)    c<n>/<p><m> enqueue(const Job&)    d<n> dequeue()
//   p<n>, r<n> the worker's prepare(), run()    f<n>, a<n> finish, abort T<n>
//   #<n> T<n>'s reference count (0 once deleted)    s<n> T<n>'s start() calls
//   q log "[T2(5),*T1(3),+T4(3)]": queue() with each task's priority(), * marks current(), +
//   the other running() tasks    L<n> setMaxRunning(n), expecting its warning for L0
//   D run deferred deletions    S startQueue()    W0, W1, W2 setWorker() null, own, other
//   C clearQueue()    U clear current    A setAutoAbort(true)    I onTaskFinished() without sender
//   T log tasks' finished() too    Y log taskStarted() ">T<n>" and taskFinished() "<T<n>" too
//   ! expect "can't find task" next
// The queue's signals are logged untagged, finished(err) followed by "@<current()>" (e and c
// log only refusals), and each queued() handler runs deferred deletions, so a task must still be
// held when the queue reports it. Each row: "<name>: <script> => <log>".
void tst_Queue::scenario_data()
{
    QTest::addColumn<QStringList>("f");
    const auto row = [](const char *row) {
        QStringList f = QString::fromLatin1(row).split(QRegularExpression(QStringLiteral(": | => ")));
        QTest::newRow(qPrintable(f.takeFirst())) << f;
    };

    // Higher priority first, first in first out within one; the running task stays. Tasks that end
    // inside start() are reported before their queued(); queued behind a running one, they drain
    // within the call that ends it. Then a job's running task is queued as it is, without a second
    // start().
    row("order: c1/3 c2/5 c3/3 c4/5 S q f1 f2 f4 f3 c1/0 c2/0F c3/0X c4/0A f1 r0 e0/1N s0 q => started queued(T1,3) "
        "queued(T2,5) queued(T3,3) queued(T4,5) [T2(5),T4(5),*T1(3),T3(3)] finished(NoError) @T1 started "
        "finished(NoError) @T2 started finished(NoError) @T4 started finished(NoError) @T3 started queued(T1,0) "
        "queued(T2,0) queued(T3,0) queued(T4,0) finished(NoError) @T1 started finished(NoError) @T2 started "
        "finished(Failed) @T3 started finished(Aborted) @T4 queued(T0,1) s0=1 [*T0(1)]");
    // A higher priority aborts the running task before queued() is emitted; an equal or lower one waits.
    row("autoAbort: T A c0/1 e1/2 c2/2 c3/0 q => started queued(T0,1) T0:Aborted finished(Aborted) @T0 started "
        "queued(T1,2) queued(T2,2) queued(T3,0) [*T1(2),T2(2),T3(0)]");
    // One reference per holder; queued() keeps its own; deletion is deferred.
    row("references: c1/0F #1 D #1 e2/0 c3/0 #2 #3 f2 #2 f3 #3 D #2 #3 => started finished(NoError) @T1 queued(T1,0) "
        "#1=1 #1=0 started queued(T2,0) queued(T3,0) #2=2 #3=1 finished(NoError) @T2 started #2=1 finished(NoError) "
        "@T3 #3=1 #2=1 #3=0");
    // Without a worker or a task enqueue refuses. dequeue() leaves the task unaborted and unwatched;
    // a task not held here, or none, is refused.
    row("refusals and dequeue: T W0 e1/0 c1/0 W1 e1/0 e2/0 e3/7 d3 a3 d1 f1 ! d1 r4 ! d4 e5/0N c5/0N d5 q => "
        "e1/0=false c1/0=false started queued(T1,0) queued(T2,0) queued(T3,7) d3=true T3:Aborted started d1=true "
        "T1:NoError d1=false d4=false e5/0N=false c5/0N=false d5=false [*T2(0)]");
    // setWorker() to the same one keeps the tasks; another drops them unaborted and unwatched. After
    // clearQueue() the tasks stay connected: a finish is ignored while the queue is empty, else
    // reported and then missed.
    row("setWorker and clearQueue: T e1/0 e2/0 W1 q W2 q e3/0 e4/0 f1 a2 C q f3 e5/0 ! a4 I q => started "
        "queued(T1,0) queued(T2,0) [*T1(0),T2(0)] [] started queued(T3,0) queued(T4,0) T1:NoError T2:Aborted [] "
        "T3:NoError started queued(T5,0) T4:Aborted finished(Aborted) @T5 [*T5(0)]");
    // startQueue() makes the head current, and starts it unless it runs already.
    row("startQueue: e1/0 e2/0 U q S q U d1 q S q => started queued(T1,0) queued(T2,0) [T1(0),T2(0)] [*T1(0),T2(0)] "
        "d1=true [T2(0)] started [*T2(0)]");
    // Several lanes take the first waiting tasks in queue order; current() is the first running
    // one. taskStarted() and taskFinished() name the task, with one lane too.
    row("lanes: Y c1/0 c2/0F f1 L3 c1/1 c2/1 c3/1 c4/5 c5/1 q f2 q f4 q => started >T1 queued(T1,0) queued(T2,0) "
        "finished(NoError) @T1 <T1 started >T2 finished(NoError) @T2 <T2 started >T1 queued(T1,1) started >T2 "
        "queued(T2,1) started >T3 queued(T3,1) queued(T4,5) queued(T5,1) [T4(5),*T1(1),+T2(1),+T3(1),T5(1)] "
        "finished(NoError) @T1 <T2 started >T4 [*T4(5),+T1(1),+T3(1),T5(1)] finished(NoError) @T4 <T4 started >T5 "
        "[*T1(1),+T3(1),+T5(1)]");
    // Lowering the maximum aborts nothing and starts nothing until fewer run; raising it starts
    // the next at once; 0 is refused. A running task dequeued frees its lane.
    row("lanes changed: L3 e1/0 e2/0 e3/0 e4/0 e5/0 L1 f1 f2 q L2 L0 q d4 q s5 => started queued(T1,0) started "
        "queued(T2,0) started queued(T3,0) queued(T4,0) queued(T5,0) finished(NoError) @T1 finished(NoError) @T2 "
        "[*T3(0),T4(0),T5(0)] started [*T3(0),+T4(0),T5(0)] started d4=true [*T3(0),+T5(0)] s5=1");
    // With every lane busy, a higher priority aborts the running task that comes last in queue
    // order; while a lane is free it aborts nothing.
    row("lanes and autoAbort: T A L2 c1/5 c2/1 c3/3 c4/9 c5/0 q => started queued(T1,5) started queued(T2,1) "
        "T2:Aborted finished(Aborted) @T1 started queued(T3,3) T3:Aborted finished(Aborted) @T1 started "
        "queued(T4,9) queued(T5,0) [*T4(9),+T1(5),T5(0)]");
}

void tst_Queue::scenario()
{
    QFETCH(QStringList, f);
    SignalLog log;
    ScriptedWorker w[2]; // the queue's own and another
    WorkQueue q(&w[0], false, nullptr);
    log.watchQueue(&q, QStringLiteral("Q"));
    connect(&q, &WorkQueue::finished, &log, [&] { log.add(QLatin1Char('@') + q.current()->objectName()); });
    const auto flush = [] { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); };
    connect(&q, &WorkQueue::queued, &log, flush);

    PlainJob jobs[6];
    QRegularExpressionMatch m;
    const auto job = [&]() -> PlainJob & { return jobs[m.captured(2).toInt()]; };
    const auto task = [&] { return ScriptedWorker::made.value(QLatin1Char('T') + m.captured(2)); };
    const auto say = [&](const QVariant &v) { return log.add(m.captured(0) + QLatin1Char('=') + v.toString()), true; };
    const auto list = [&] {
        QStringList o;
        for (const WorkQueue::TaskPtr &t : q.queue())
            o << QString::asprintf("%s%s(%u)", t == q.current() ? "*" : q.running().contains(t) ? "+" : "",
                qPrintable(t->objectName()), q.priority(t.data()));
        log.add(QLatin1Char('[') + o.join(QLatin1Char(',')) + QLatin1Char(']'));
    };
    const QMap<char, std::function<void()>> ops {
        { 'I', [&] { QMetaObject::invokeMethod(&q, "onTaskFinished", Q_ARG(Job::Error, Job::Failed)); } },
        { '!', [] { QTest::ignoreMessage(QtWarningMsg, "[WorkQueue]: internal error, can't find task"); } },
        { 'C', [&] { static_cast<WorkQueuePrivate *>(QObjectPrivate::get(&q))->clearQueue(); } },
        { 'U', [&] { static_cast<WorkQueuePrivate *>(QObjectPrivate::get(&q))->current = nullptr; } },
        { 'W', [&] { q.setWorker(m.captured(2).toInt() ? &w[m.captured(2).toInt() - 1] : nullptr); } },
        { 'c', [&] { q.enqueue(std::as_const(job()), m.captured(3).toUInt()) || say(false); } }, { 'D', flush },
        { 'e', [&] { q.enqueue(job(), m.captured(3).toUInt()) || say(false); } }, { 'r', [&] { w[0].run(job()); } },
        { '#', [&] { say(task() ? task()->ref.loadRelaxed() : 0); } }, { 's', [&] { say(task()->startCalls); } },
        { 'f', [&] { task()->doSetState(Job::Finished); } }, { 'T', [&] { w[0].log = w[1].log = &log; } },
        { 'A', [&] { q.setAutoAbort(true); } }, { 'S', [&] { q.startQueue(); } }, { 'a', [&] { task()->abort(); } },
        { 'L', [&] {
             if (m.captured(2) == QLatin1String("0"))
                 QTest::ignoreMessage(QtWarningMsg, "[WorkQueue]: ignoring maxRunning below 1 (0)");
             q.setMaxRunning(m.captured(2).toInt());
         } },
        { 'Y', [&] {
             connect(&q, &WorkQueue::taskStarted, &log, [&](const auto &t) { log.add(QLatin1Char('>') + t->objectName()); });
             connect(&q, &WorkQueue::taskFinished, &log, [&](const auto &t) { log.add(QLatin1Char('<') + t->objectName()); });
         } },
        { 'd', [&] { say(q.dequeue(job())); } }, { 'p', [&] { w[0].prepare(job()); } }, { 'q', list }
    };
    const QRegularExpression grammar(QStringLiteral("^(.)([0-5]?)(?:/(\\d+))?([RFXAN]?)$"));
    for (const QString &token : f[0].split(QLatin1Char(' '))) {
        m = grammar.match(token);
        QVERIFY2(m.hasMatch() && ops.contains(m.captured(1).at(0).toLatin1()), qPrintable(token));
        job().setObjectName(QLatin1Char('J') + m.captured(2));
        job().setProperty("mode", QStringLiteral("RFXAN").indexOf(m.captured(4))); // no letter: R
        ops[m.captured(1).at(0).toLatin1()]();
    }
    QCOMPARE(log.entries.join(QLatin1Char(' ')).remove(QStringLiteral("Q.")), f[1]);
}

QTEST_GUILESS_MAIN(tst_Queue)
#include "tst_queue.moc"
