#include "TestSupport.h"

#include <ObjectWorker.h>
#include <TaskFactory.h>
#include <WorkQueueListModel.h>
#include <WorkerRegistry.h>

#include <QtTest/QtTest>

using namespace TestSupport;

namespace {

bool s_standardThrow = true;

// Throws, when @p now, a std::exception or (unless s_standardThrow) an int.
void raise(bool now)
{
    if (now)
        s_standardThrow ? throw std::runtime_error("boom") : throw 42;
}

} // namespace

// Handlers that delete the object whose call is running, or the queue, worker, job or list model
// involved.
class tst_Hostile : public QObject
{
    Q_OBJECT
public:
    enum Victim { Queue, ObjectWorkerQueue, TheJob, Model };
    Q_ENUM(Victim)
    // Inside the task factory (which then makes no task with FactoryGivesNone), or on the first
    // emission of a signal.
    // clang-format off
    enum Trigger { Factory, FactoryGivesNone, JobResultChanged, TaskStateChanged, JobStateChanged, TaskStarted,
                   JobStarted, QueueStarted, QueueTaskStarted, TaskFinished, JobFinished, QueueFinished, QueueQueued,
                   ModelInserted, ModelChanged, ModelRemoved };
    // clang-format on
    Q_ENUM(Trigger)
    // When the task ends: inside start(), after enqueue() returned, or it runs before it is attached.
    enum Mode { FinishInStart, FinishLater, RunningBeforeAttach };
    Q_ENUM(Mode)
    // Application code that throws: start() called by a queue or by Worker::run(), abort() called
    // by a queue (autoAbort) or by Job::abort(), a worker's prepare() that a queue calls, and a
    // factory that Worker::run() calls.
    enum Thrower { QueueStart, RunStart, AutoAbort, JobAbort, QueueFactory, RunFactory };
    Q_ENUM(Thrower)

private Q_SLOTS:
    void deleteFromHandler_data()
    {
        QTest::addColumn<Victim>("victim");
        QTest::addColumn<Trigger>("trigger");
        QTest::addColumn<Mode>("mode");
        const auto name = [](auto value) { return QMetaEnum::fromType<decltype(value)>().valueToKey(value); };
        for (Victim v : { Queue, ObjectWorkerQueue, TheJob, Model })
            for (int t = Factory; t <= ModelRemoved; ++t)
                for (Mode m : { FinishInStart, FinishLater, RunningBeforeAttach }) // a started task: no started()
                    if (m != RunningBeforeAttach || (t != TaskStarted && t != QueueStarted && t != QueueTaskStarted))
                        QTest::addRow("%s-%s-%s", name(v), name(Trigger(t)), name(m)) << v << Trigger(t) << m;
    }

    void deleteFromHandler()
    {
        QFETCH(Victim, victim);
        QFETCH(Trigger, trigger);
        QFETCH(Mode, mode);
        QTimer bound; // both kinds of worker stand for it
        TestWorker worker(&bound);
        const QPointer<WorkQueue> queue
            = victim == ObjectWorkerQueue ? new ObjectWorker(&bound) : new WorkQueue(&worker);
        const QPointer<Job> job = new PlainJob;
        const QPointer<WorkQueueListModel> model = new WorkQueueListModel(queue);
        model->setMaxFinishedTasks(0); // a finished row goes at once
        QPointer<ManualTask> task;
        const auto kill = [&] { // later: no-op
            victim == TheJob ? delete job.data() : victim == Model ? delete model.data() : delete queue.data();
        };
        const auto on = [&](Trigger t, auto *sender, auto signal) {
            if (t == trigger)
                connect(sender, signal, kill);
        };
        const auto factory = [&](const Job &j) -> Task * {
            if (trigger == FactoryGivesNone)
                return kill(), nullptr;
            task = new ManualTask(j, mode == FinishInStart ? ManualTask::FinishOnStart : ManualTask::RunOnStart);
            if (mode == RunningBeforeAttach)
                task->doSetState(Job::Running);
            on(TaskStateChanged, task.data(), &Task::stateChanged);
            on(TaskStarted, task.data(), &Task::started);
            on(TaskFinished, task.data(), &Task::finished);
            if (trigger == Factory)
                kill();
            return task;
        };
        QVERIFY(WorkerRegistry::instance()->registerTask(
            QStringLiteral("QTimer"), QStringLiteral("TestSupport::PlainJob"), makeTaskFactory(factory), true));
        on(JobResultChanged, job.data(), &Job::resultChanged);
        on(JobStateChanged, job.data(), &Job::stateChanged);
        on(JobStarted, job.data(), &Job::started);
        on(JobFinished, job.data(), &Job::finished);
        on(QueueStarted, queue.data(), &WorkQueue::started);
        on(QueueTaskStarted, queue.data(), &WorkQueue::taskStarted);
        on(QueueFinished, queue.data(), &WorkQueue::finished);
        on(QueueQueued, queue.data(), &WorkQueue::queued);
        on(ModelInserted, model.data(), &QAbstractItemModel::rowsInserted);
        on(ModelChanged, model.data(), &QAbstractItemModel::dataChanged);
        on(ModelRemoved, model.data(), &QAbstractItemModel::rowsRemoved);
        QSignalSpy jobFinished(job, &Job::finished), queueFinished(queue, &WorkQueue::finished);
        if ((victim == Queue || victim == Model) && trigger == FactoryGivesNone) // the worker goes on to QObject's factories
            QTest::ignoreMessage(
                QtWarningMsg, "[Worker]: \"QTimer\" has no registered tasks for \"TestSupport::PlainJob\"");

        // True once the task is queued, even if the queue is gone by the time enqueue() returns.
        const bool queued = victim == Model ? trigger != FactoryGivesNone
                                            : trigger > JobResultChanged && !(trigger == JobStarted && mode == RunningBeforeAttach);
        QCOMPARE(queue->enqueue(*job), queued);
        if (task && !task->isFinished())
            task->doSetState(Job::Finished);
        QVERIFY(victim == TheJob ? !job : victim == Model ? !model : !queue);
        if (model) // shows no task, or the one it still runs
            QVERIFY(model->rowCount() == (queue ? queue->queue().size() : 0) || !queue);
        if (queue) // holds nothing, having reported the task it held
            QVERIFY(queueFinished.count() == int(queued) && queue->queue().isEmpty() && !queue->current());
        if (job) // still mirrors its task, having reported its end
            QVERIFY(job->task() == task && jobFinished.count() == int(bool(task)));
        delete queue.data();
        delete job.data();
        delete model.data();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!task); // every reference was released
    }

    void throwingApplicationCode_data()
    {
        QTest::addColumn<Thrower>("thrower");
        QTest::addColumn<bool>("standard"); // a std::exception, or anything else
        QTest::addColumn<QString>("warning");
        const char *const where[] = { "WorkQueue]: %1 start()", "Worker]: %1 start()", "WorkQueue]: %1 abort()",
            "Job]: %1 abort()", "WorkQueue]: %1 its factory", "Worker]: %1 its factory" };
        for (int t = QueueStart; t <= RunFactory; ++t)
            for (const bool standard : { true, false })
                QTest::addRow("%s-%s", QMetaEnum::fromType<Thrower>().valueToKey(t), standard ? "std" : "int")
                    << Thrower(t) << standard
                    << QLatin1Char('[') + QString::fromLatin1(where[t]).arg(QLatin1String(R"(task "TestSupport::PlainJob" threw from)"))
                        + (standard ? QLatin1String(": boom") : QLatin1String(": unknown exception"));
    }

    // Application code that throws, called by a queue, a worker or a job: one warning naming the
    // task and the exception, the task failed with that text (a factory that throws makes none),
    // and the queue goes on with the next task, as often as it happens.
    void throwingApplicationCode()
    {
        QFETCH(Thrower, thrower);
        QFETCH(bool, standard);
        QFETCH(QString, warning);
        s_standardThrow = standard;
        struct ThrowingTask : ManualTask
        {
            using ManualTask::ManualTask;
            void start() override { ManualTask::start(), raise(throwStart); }
            void abort() override { raise(throwAbort), ManualTask::abort(); }
            bool throwStart = false, throwAbort = false;
        };
        struct ThrowingWorker : TestWorker // its own prepare(), which the queue calls
        {
            using TestWorker::TestWorker;
            void prepare(Job &job) override { raise(throwPrepare), TestWorker::prepare(job); }
            bool throwPrepare = true;
        };
        QTimer bound;
        ThrowingWorker worker(&bound);
        worker.throwPrepare = thrower == QueueFactory;
        WorkQueue queue(&worker, thrower == AutoAbort);
        bool throwing = true;
        QVERIFY(WorkerRegistry::instance()->registerTask(QStringLiteral("QTimer"), QStringLiteral("TestSupport::PlainJob"),
            makeTaskFactory([&](const Job &job) -> Task * {
                raise(throwing && thrower == RunFactory);
                auto *task = new ThrowingTask(job);
                task->throwStart = throwing && (thrower == QueueStart || thrower == RunStart);
                task->throwAbort = throwing && (thrower == AutoAbort || thrower == JobAbort);
                return task;
            }), true));
        PlainJob job, next;
        // Enough throws that a queue which lost count of its start depth would stop starting.
        for (int round = 0; round < (thrower == QueueStart ? 70 : 1); ++round) {
            QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
            if (thrower == QueueStart || thrower == QueueFactory)
                QCOMPARE(queue.enqueue(job, 1), thrower == QueueStart);
            else if (thrower == AutoAbort)
                QVERIFY(queue.enqueue(job, 1) && !(throwing = false) && queue.enqueue(next, 5) && next.isRunning());
            else
                worker.run(job), thrower == JobAbort ? job.abort() : void();
        }
        QCOMPARE(job.errorString(), thrower < QueueFactory ? warning.section(QLatin1String(": "), 2) : QStringLiteral("Job not initialized"));
        throwing = worker.throwPrepare = false;
        QVERIFY(queue.enqueue(next, 9) && next.isRunning() && queue.current() == next.task());
    }

    // The const form, whose factory deletes the queue: nothing was queued, and the task goes.
    void constEnqueueFactoryDeletesQueue()
    {
        QTimer bound;
        auto *queue = new ObjectWorker(&bound);
        QPointer<Task> made;
        QVERIFY(WorkerRegistry::instance()->registerTask(QStringLiteral("QTimer"), QStringLiteral("TestSupport::PlainJob"),
            makeTaskFactory([&](const Job &j) { return delete queue, made = new ManualTask(j); }), true));
        QVERIFY(!queue->enqueue(static_cast<const Job &>(PlainJob())));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!made);
    }
};

QTEST_GUILESS_MAIN(tst_Hostile)
#include "tst_hostile.moc"
