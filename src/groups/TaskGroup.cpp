#include "TaskGroup.h"

#include "Worker.h"
#include "groups/TaskGroup_p.h"
#include "jobs/DeleteGuard_p.h"

#include <QtCore/QMetaEnum>

TaskGroup::TaskGroup(const Job &job, Mode mode, QObject *parent)
    : Task(job, parent)
    , d(std::make_unique<TaskGroupPrivate>(this, mode))
{ }

// The children outlive the group (deleteLater()): none of their signals may reach the freed
// bookkeeping, for instance through a slot on the group's destroyed() that aborts one.
TaskGroup::~TaskGroup()
{
    for (const TaskGroupPrivate::Child &child : d->children) {
        if (child.task)
            QObject::disconnect(child.task.data(), nullptr, this, nullptr);
    }
}

TaskGroup::Mode TaskGroup::mode() const
{
    return d->mode;
}

TaskGroup::Policy TaskGroup::policy() const
{
    return d->policy;
}

void TaskGroup::setPolicy(Policy policy)
{
    if (!QMetaEnum::fromType<Policy>().valueToKey(policy)) {
        qWarning("[TaskGroup]: ignoring unknown policy %d", int(policy));
        return;
    }
    d->policy = policy;
}

int TaskGroup::maxParallel() const
{
    return d->maxParallel;
}

void TaskGroup::setMaxParallel(int count)
{
    if (count < 0) {
        qWarning("[TaskGroup]: ignoring negative maxParallel (%d)", count);
        return;
    }
    d->maxParallel = count;
    if (d->running() && !d->reporting)
        d->pump();
}

int TaskGroup::retries() const
{
    return d->retries;
}

void TaskGroup::setRetries(int count)
{
    if (count < 0) {
        qWarning("[TaskGroup]: ignoring negative retries (%d)", count);
        return;
    }
    d->retries = count;
}

bool TaskGroup::add(const WorkQueue::TaskPtr &task)
{
    if (!task) {
        qWarning("[TaskGroup]: ignoring a null child");
        return false;
    }
    if (d->refuse(task->name(), task.data(), nullptr))
        return false;
    const int i = d->append(-1);
    d->children[size_t(i)].task = task;
    d->heldTasks.insert(task.data());
    d->watchDestroyed(i, task.data());
    d->progress();
    if (d->running() && !d->reporting)
        d->pump();
    return true;
}

bool TaskGroup::add(Job &job, Worker &worker)
{
    if (d->refuse(job.name(), nullptr, &job))
        return false;
    d->sources.push_back({ &job, &worker });
    d->append(int(d->sources.size() - 1));
    d->heldJobs.insert(&job);
    d->progress();
    if (d->running() && !d->reporting)
        d->pump();
    return true;
}

int TaskGroup::childCount() const
{
    return int(d->children.size());
}

int TaskGroup::finishedCount() const
{
    return d->finished;
}

QList<WorkQueue::TaskPtr> TaskGroup::children() const
{
    QList<WorkQueue::TaskPtr> list;
    list.reserve(int(d->children.size()));
    for (const TaskGroupPrivate::Child &child : d->children)
        list.append(child.task);
    return list;
}

// A child's result is read once it has finished: its state, read with acquire ordering,
// publishes what its thread wrote.
QVariantList TaskGroup::result() const
{
    QVariantList list;
    list.reserve(int(d->children.size()));
    for (const TaskGroupPrivate::Child &child : d->children) {
        const Task *task = child.task.data();
        list.append(task && task->isFinished() ? task->property("result") : QVariant());
    }
    return list;
}

void TaskGroup::start()
{
    if (d->started || state() != Job::Ready) {
        qWarning("[TaskGroup]: a group runs only once");
        return;
    }
    d->started = true;
    const Errand::DeleteGuard self(*this);
    setState(Job::Running);
    if (self.deleted() || state() != Job::Running)
        return;
    d->progress();
    d->pump();
}

void TaskGroup::abort()
{
    const bool wasRunning = d->running();
    d->stopping = true;
    if (wasRunning) {
        const Errand::DeleteGuard self(*this);
        d->abortRunning();
        if (self.deleted() || state() != Job::Running)
            return;
    }
    Task::abort();
}
