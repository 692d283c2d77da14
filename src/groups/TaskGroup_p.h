#ifndef ERRAND_TASKGROUP_P_H
#define ERRAND_TASKGROUP_P_H

#include "TaskGroup.h"

#include <QtCore/QPointer>
#include <QtCore/QSet>
#include <QtCore/QString>

#include <deque>
#include <optional>
#include <vector>

// The bookkeeping of a TaskGroup. Children are kept in the order added and never removed, so
// an index names a child for the group's whole life; the connections to a child capture its
// index and its task, and each call checks that the child still runs that task, since a
// queued call may arrive after the group moved on.
class TaskGroupPrivate
{
public:
    enum class Status : quint8 {
        Waiting, // not started yet, or failed and waiting for its retry
        Running,
        Done, // finished for good and reported
        Stopped, // aborted by the group when it stopped; no longer watched
    };

    struct Child
    {
        WorkQueue::TaskPtr task;
        int source = -1; // index in sources for a child added as a job
        int retried = 0;
        int permille = 0; // the running attempt's progress, never lower than it was
        Status status = Status::Waiting;
    };

    // Where a job child's tasks come from.
    struct Source
    {
        QPointer<Job> job;
        Worker *worker;
    };

    struct Outcome
    {
        Job::Error error;
        QString text;
    };

    TaskGroupPrivate(TaskGroup *q, TaskGroup::Mode mode)
        : q(q)
        , mode(mode)
    { }

    bool refuse(const QString &name, const Task *task, const Job *job) const;
    int append(int source);
    void watchDestroyed(int i, Task *task);

    void pump();
    void startChild(int i);
    bool makeTask(int i);
    void watch(int i, Task *task);
    void unwatch(Task *task);
    void childProgress(int i, const Task *task);
    void childDestroyed(int i, const Task *task);
    void childEnded(int i, const Task *task, Job::Error error, const QString &text = QString());
    void settle();
    void finishAll();
    void finishWith(const Outcome &outcome);
    void abortRunning();
    void callChild(Task *task, const char *where, void (Task::*op)());
    void progress();

    bool running() const { return q->state() == Job::Running && !stopping; }
    int limit() const;
    bool contains(const Task *task) const;

    TaskGroup *const q;
    const TaskGroup::Mode mode;
    TaskGroup::Policy policy = TaskGroup::StopOnError;
    int maxParallel = 0;
    int retries = 0;

    std::vector<Child> children;
    std::vector<Source> sources;
    // The tasks and jobs added, to refuse one added twice. A job may be deleted meanwhile and
    // leave its address to another; a held task cannot.
    QSet<const Task *> heldTasks;
    QSet<const Job *> heldJobs;
    std::deque<int> retrying;
    int next = 0; // the first child never started
    int runningCount = 0;
    int finished = 0;
    qint64 runningPermille = 0;
    int reporting = 0; // depth of childFinished() emissions: adding then starts nothing
    bool started = false;
    bool pumping = false;
    bool stopping = false;
    std::optional<Outcome> stopAt; // decided at a child's end, applied once its handlers return
    std::optional<Outcome> firstFailure;
    Outcome last { Job::NoError, QString() };
};

#endif // ERRAND_TASKGROUP_P_H
