#ifndef ERRAND_TESTSUPPORT_H
#define ERRAND_TESTSUPPORT_H

// Helpers shared by the suites. Unexpected warnings fail a suite through CTest, which rejects
// any "QWARN" line in its output: pin an expected warning with QTest::ignoreMessage.

#include <Job.h>
#include <Task.h>
#include <TaskCtor.h>
#include <WorkQueue.h>
#include <Worker.h>

#include <QtCore/QAtomicInt>
#include <QtCore/QHash>
#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QStringList>
#include <QtCore/QVariant>

#include <utility>

namespace TestSupport {

// One ordered log of signals from any number of objects: "<tag>.<signal>(<args>)". Watching a
// job's progressChanged() makes it forward its task's.
class SignalLog : public QObject
{
    Q_OBJECT
public:
    void watchJob(Job *job, const QString &tag);
    void watchTask(Task *task, const QString &tag);
    // queued() entries name the task by its objectName.
    void watchQueue(WorkQueue *queue, const QString &tag);

    QStringList entries;

    void add(const QString &entry) { entries.append(entry); }
    QStringList take() { return std::exchange(entries, QStringList()); }
};

// A task whose start() moves to Running (and ends at once when asked to), and whose end is
// driven by the test. It has a "result" property.
class ManualTask : public Task
{
    Q_OBJECT
    Q_PROPERTY(QVariant result READ result NOTIFY resultChanged)
public:
    enum StartMode { RunOnStart, FinishOnStart, FailOnStart, AbortOnStart };

    explicit ManualTask(const Job &job, StartMode mode = RunOnStart)
        : Task(job)
        , mode(mode)
    { }

    void start() override;

    QVariant result() const { return m_result; }
    void setResult(const QVariant &value)
    {
        m_result = value;
        Q_EMIT resultChanged();
    }

    // Public forwards of the protected members.
    void doFail(const QString &text) { fail(text); }
    void doSetState(Job::State state) { setState(state); }
    void doSetProgress(qint64 processed, qint64 total) { setProgress(processed, total); }
    void doSetProgressText(const QString &text) { setProgressText(text); }
    int progressReceivers() const { return receivers(SIGNAL(progressChanged(qint64, qint64))); }

    StartMode mode = RunOnStart;
    int startCalls = 0;

private:
    QVariant m_result;
};

class PlainJob : public Job
{
    Q_OBJECT
};

// A factory that counts its live instances, so that a leak or a double delete of a factory
// shows as a wrong count (and under ASan as an error). Its tasks are ManualTasks named after
// its tag; with makesTasks false it makes none.
class CountingFactory : public TaskCtor
{
public:
    explicit CountingFactory(const QString &tag = QString(), bool makesTasks = true)
        : tag(tag)
        , makesTasks(makesTasks)
    {
        live.ref();
    }
    ~CountingFactory() override { live.deref(); }

    Task *create(Worker &, const Job &job) override;
    int refs() const { return ref.loadRelaxed(); }

    static inline QAtomicInt live;
    const QString tag;
    const bool makesTasks;
    QAtomicInt calls;
};

// A worker standing for whatever object it is given (possibly none).
class TestWorker : public Worker
{
public:
    explicit TestWorker(QObject *object)
        : m_object(object)
    { }
    QObject *object() override { return m_object; }

private:
    QObject *m_object;
};

// Makes ManualTasks named after their job's objectName, in the start mode given to add().
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
    // Returns the task made, or null if the queue refused it.
    ManualTask *add(WorkQueue &queue, const char *name, uint priority,
        ManualTask::StartMode startMode = ManualTask::RunOnStart, Job *job = nullptr)
    {
        PlainJob plain;
        Job &j = job ? *job : plain;
        j.setObjectName(QLatin1String(name));
        mode = startMode;
        const bool queued = job ? queue.enqueue(j, priority) : queue.enqueue(std::as_const(j), priority);
        return queued ? made.value(j.objectName()) : nullptr;
    }
    ManualTask::StartMode mode = ManualTask::RunOnStart;
    QHash<QString, QPointer<ManualTask>> made;
};

} // namespace TestSupport

#endif // ERRAND_TESTSUPPORT_H
