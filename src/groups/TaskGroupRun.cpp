// How a TaskGroup runs its children: turns, ends, retries, the policies and progress.

#include "Worker.h"
#include "groups/TaskGroup_p.h"
#include "jobs/AppCall_p.h"
#include "jobs/DeleteGuard_p.h"
#include "jobs/Task_p.h"

#include <QtCore/QMetaObject>
#include <QtCore/QThread>

#include <algorithm>
#include <climits>

namespace {

constexpr qint64 PerChild = 1000;

void warnContains(const QString &name)
{
    qWarning("[TaskGroup]: refusing \"%s\", which would contain itself", qUtf8Printable(name));
}

} // namespace

// Whether @p task is this group or a group that holds it, at any depth.
bool TaskGroupPrivate::contains(const Task *task) const
{
    if (task == q)
        return true;
    const auto *group = qobject_cast<const TaskGroup *>(task);
    if (!group)
        return false;
    return std::any_of(group->d->children.cbegin(), group->d->children.cend(),
        [this](const Child &child) { return child.task && contains(child.task.data()); });
}

bool TaskGroupPrivate::refuse(const QString &name, const Task *task, const Job *job) const
{
    if (stopping || q->isFinished()) {
        qWarning("[TaskGroup]: \"%s\" not added, the group has finished", qUtf8Printable(name));
        return true;
    }
    const auto sameJob = [job](const Source &source) { return source.job.data() == job; };
    if (task ? heldTasks.contains(task)
             : heldJobs.contains(job) && std::any_of(sources.cbegin(), sources.cend(), sameJob)) {
        qWarning("[TaskGroup]: \"%s\" is already in the group", qUtf8Printable(name));
        return true;
    }
    if (task && contains(task)) {
        warnContains(name);
        return true;
    }
    return false;
}

int TaskGroupPrivate::append(int source)
{
    Child child;
    child.source = source;
    children.push_back(std::move(child));
    return int(children.size() - 1);
}

void TaskGroupPrivate::watchDestroyed(int i, Task *task)
{
    QObject::connect(task, &QObject::destroyed, q, [this, i, task] { childDestroyed(i, task); });
}

int TaskGroupPrivate::limit() const
{
    if (mode == TaskGroup::Sequential)
        return 1;
    return maxParallel > 0 ? maxParallel : INT_MAX;
}

// Starts children while the limit allows. A child that finishes inside its start() comes back
// here through childEnded(), which then leaves the next turn to this loop rather than recurse,
// so that a long run of children that finish at once needs no deeper stack.
void TaskGroupPrivate::pump()
{
    if (pumping)
        return;
    const Errand::DeleteGuard self(*q);
    pumping = true;
    while (running() && !stopAt && runningCount < limit() && (!retrying.empty() || next < int(children.size()))) {
        int i;
        if (!retrying.empty()) {
            i = retrying.front();
            retrying.pop_front();
        } else {
            i = next++;
        }
        startChild(i);
        if (self.deleted())
            return;
    }
    pumping = false;
    if (running() && !stopAt && runningCount == 0 && retrying.empty() && next == int(children.size()))
        finishAll();
}

void TaskGroupPrivate::startChild(int i)
{
    children[size_t(i)].status = Status::Running;
    ++runningCount;
    if (children[size_t(i)].source >= 0 && !makeTask(i))
        return;
    Task *task = children[size_t(i)].task.data();
    if (!task)
        return childEnded(i, nullptr, Job::Failed, QStringLiteral("deleted"));
    // Watched first: a child of another thread may finish at any time.
    watch(i, task);
    if (task->isFinished())
        return childEnded(i, task, task->error());
    if (!task->isRunning())
        callChild(task, "start()", &Task::start);
}

// Makes the task of job child @p i; false if the child ended instead or the group is gone.
bool TaskGroupPrivate::makeTask(int i)
{
    const Source source = sources[size_t(children[size_t(i)].source)];
    Job *job = source.job.data();
    if (!job) {
        qWarning("[TaskGroup]: the job of child %d was deleted before its turn", i);
        childEnded(i, nullptr, Job::Failed, QStringLiteral("job deleted"));
        return false;
    }
    const QString name = job->name();
    const Errand::DeleteGuard self(*q), jobAlive(*job);
    Task *task = Errand::makeTask("TaskGroup", *job, [&] { return source.worker->createTask(*job); });
    // A task the group holds already would end one of its two places only.
    const bool gone = self.deleted() || jobAlive.deleted();
    const bool held = task && !gone && heldTasks.contains(task);
    const bool refused = held || (task && !gone && contains(task));
    if (held)
        qWarning("[TaskGroup]: \"%s\" is already in the group", qUtf8Printable(task->name()));
    else if (refused)
        warnContains(task->name());
    if (task && (gone || refused)) {
        Errand::releaseUnclaimed(task);
        task = nullptr;
    }
    if (self.deleted())
        return false;
    Child &child = children[size_t(i)];
    if (child.task) { // the attempt that failed is no longer the child's task
        QObject::disconnect(child.task.data(), nullptr, q, nullptr);
        heldTasks.remove(child.task.data());
        child.task.reset();
    }
    if (!task) {
        childEnded(i, nullptr, Job::Failed, QStringLiteral("no task for \"%1\"").arg(name));
        return false;
    }
    child.task = WorkQueue::TaskPtr(task);
    heldTasks.insert(task);
    watchDestroyed(i, task);
    // The job re-emits what the task emits from now on; its handlers may delete the group.
    job->attach(task);
    return !self.deleted() && children[size_t(i)].status == Status::Running && children[size_t(i)].task.data() == task;
}

void TaskGroupPrivate::watch(int i, Task *task)
{
    QObject::connect(task, &Task::finished, q, [this, i, task](Job::Error error) { childEnded(i, task, error); });
    QObject::connect(task, &Task::progressChanged, q, [this, i, task] { childProgress(i, task); });
    childProgress(i, task);
}

void TaskGroupPrivate::unwatch(Task *task)
{
    QObject::disconnect(task, &Task::finished, q, nullptr);
    QObject::disconnect(task, &Task::progressChanged, q, nullptr);
}

void TaskGroupPrivate::childProgress(int i, const Task *task)
{
    Child &child = children[size_t(i)];
    if (child.status != Status::Running || child.task.data() != task || q->isFinished())
        return;
    const qint64 total = task->total();
    const qint64 done = std::min(task->processed(), total);
    const int permille = total > 0 ? int(double(done) * PerChild / double(total)) : 0;
    if (permille <= child.permille)
        return;
    runningPermille += permille - child.permille;
    child.permille = permille;
    progress();
}

// Only reached when the application deleted a held task: the reference the group holds is
// then dangling and is dropped without being released.
void TaskGroupPrivate::childDestroyed(int i, const Task *task)
{
    Child &child = children[size_t(i)];
    if (child.task.data() != task)
        return;
    (void)child.task.take();
    heldTasks.remove(task);
    qWarning("[TaskGroup]: child %d was deleted while the group held it", i);
    if (child.status == Status::Running)
        childEnded(i, nullptr, Job::Failed, QStringLiteral("deleted"));
}

// The end of child @p i's attempt on @p task (null when it had no task, or was deleted).
void TaskGroupPrivate::childEnded(int i, const Task *task, Job::Error error, const QString &text)
{
    {
        Child &child = children[size_t(i)];
        if (child.status != Status::Running || (child.task.data() != task && task) || q->state() != Job::Running)
            return;
        if (child.task)
            unwatch(child.task.data());
        --runningCount;
        runningPermille -= child.permille;
        child.permille = 0;
        // A child whose job was deleted is not made again (it would only warn again).
        const bool remakable = child.source >= 0 && sources[size_t(child.source)].job;
        if (error == Job::Failed && remakable && child.retried < retries) {
            ++child.retried;
            child.status = Status::Waiting;
            retrying.push_back(i);
            progress();
            return settle();
        }
        child.status = Status::Done;
        ++finished;
    }
    const WorkQueue::TaskPtr child = task ? children[size_t(i)].task : WorkQueue::TaskPtr();
    last = Outcome { error, child ? child->errorString() : text };
    if (error != Job::NoError && !firstFailure) {
        firstFailure = last;
        if (error == Job::Aborted && last.text.isEmpty())
            firstFailure->text = QStringLiteral("child \"%1\" was aborted").arg(child->name());
    }
    const bool stops = policy == TaskGroup::StopOnError ? error != Job::NoError
        : policy == TaskGroup::StopOnSuccess            ? error == Job::NoError
                                                        : false;
    if (stops && !stopAt)
        stopAt = last;
    progress();

    const Errand::DeleteGuard self(*q);
    ++reporting;
    Q_EMIT q->resultChanged();
    if (!self.deleted())
        Q_EMIT q->childFinished(child, error);
    if (self.deleted())
        return;
    --reporting;
    settle();
}

void TaskGroupPrivate::settle()
{
    if (reporting || !running())
        return;
    if (stopAt)
        finishWith(*stopAt);
    else
        pump();
}

void TaskGroupPrivate::finishAll()
{
    switch (policy) {
    case TaskGroup::StopOnError:
        return finishWith({ Job::NoError, QString() });
    case TaskGroup::ContinueOnError:
        return finishWith(
            firstFailure ? Outcome { Job::Failed, firstFailure->text } : Outcome { Job::NoError, QString() });
    case TaskGroup::StopOnSuccess:
        return finishWith(last);
    }
}

void TaskGroupPrivate::finishWith(const Outcome &outcome)
{
    const Errand::DeleteGuard self(*q);
    stopping = true;
    abortRunning();
    if (self.deleted() || q->state() != Job::Running)
        return;
    switch (outcome.error) {
    case Job::Failed:
        return q->fail(outcome.text);
    case Job::Aborted: // with the child's text, if it had one (a timeout's)
        return Errand::TaskExtra::abortWith(*q, outcome.text);
    default:
        return q->setState(Job::Finished);
    }
}

// Stops watching the running children, then aborts them from the last added to the first.
void TaskGroupPrivate::abortRunning()
{
    std::vector<WorkQueue::TaskPtr> victims;
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
        if (it->status != Status::Running)
            continue;
        it->status = Status::Stopped;
        if (it->task) {
            unwatch(it->task.data());
            victims.push_back(it->task);
        }
    }
    runningCount = 0;
    runningPermille = 0;
    retrying.clear();
    const Errand::DeleteGuard self(*q);
    for (const WorkQueue::TaskPtr &task : victims) {
        if (!task->isFinished())
            callChild(task.data(), "abort()", &Task::abort);
        if (self.deleted())
            return;
    }
}

// A child is driven from its own thread: one of another thread gets the call through its
// event loop, and the group does not wait for it.
void TaskGroupPrivate::callChild(Task *task, const char *where, void (Task::*op)())
{
    if (task->thread() == QThread::currentThread())
        return Errand::callTask("TaskGroup", task, where, [task, op] { (task->*op)(); });
    QMetaObject::invokeMethod(
        task, [task, where, op] { Errand::callTask("TaskGroup", task, where, [task, op] { (task->*op)(); }); },
        Qt::QueuedConnection);
}

void TaskGroupPrivate::progress()
{
    if (q->isFinished())
        return;
    const qint64 total = PerChild * qint64(children.size());
    q->setProgress(PerChild * finished + runningPermille, total);
}
