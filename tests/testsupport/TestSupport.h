#ifndef ERRAND_TESTSUPPORT_H
#define ERRAND_TESTSUPPORT_H

#include <Job.h>
#include <Task.h>
#include <WorkQueue.h>

#include <QtCore/QObject>
#include <QtCore/QStringList>
#include <QtCore/QVariant>

namespace TestSupport {

// Installs a message handler that fails the running test on any warning that the test did
// not announce with QTest::ignoreMessage (QtTest consumes announced ones before we see them).
void failOnUnexpectedWarnings();

// One ordered log of signals from any number of objects: "<tag>.<signal>(<args>)".
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
    QStringList take()
    {
        QStringList out = entries;
        entries.clear();
        return out;
    }
};

// A task whose start() only moves to Running (or finishes at once when asked to), and whose
// end is driven by the test. It has a "result" property.
class ManualTask : public Task
{
    Q_OBJECT
    Q_PROPERTY(QVariant result READ result NOTIFY resultChanged)
public:
    enum StartMode { RunOnStart, FinishOnStart, FailOnStart, AbortOnStart, StayReadyOnStart };

    explicit ManualTask(QObject *parent = nullptr) : Task(parent) {}
    explicit ManualTask(const Job &job, StartMode mode = RunOnStart, QObject *parent = nullptr)
        : Task(job, parent), mode(mode) {}

    void start() override;

    QVariant result() const { return m_result; }
    void setResult(const QVariant &value)
    {
        m_result = value;
        Q_EMIT resultChanged();
    }

    // Public forwards of the protected slots, for tests.
    void doFail(const QString &text) { fail(text); }
    void doSetState(Job::State state) { setState(state); }

    StartMode mode = RunOnStart;
    int startCalls = 0;

private:
    QVariant m_result;
};

class PlainJob : public Job
{
    Q_OBJECT
public:
    using Job::Job;
};

} // namespace TestSupport

#endif // ERRAND_TESTSUPPORT_H
