#include "Worker.h"

#include "Job.h"
#include "Task.h"
#include "WorkerRegistry.h"
#include "jobs/AppCall_p.h"
#include "jobs/DeleteGuard_p.h"

#include <QtCore/QDebug>
#include <QtCore/QMetaObject>
#include <QtCore/QObject>

namespace {

void warnNoObject()
{
    qWarning("[Worker]: invalid Object, please implement the object method");
}

WorkerRegistry *registryOrWarn()
{
    WorkerRegistry *registry = WorkerRegistry::instance();
    if (!registry)
        qWarning("[Worker]: registry not ready");
    return registry;
}

} // namespace

Worker::Worker() = default;
Worker::~Worker()
{
    Errand::DeleteGuard::objectDeleted(m_deleteGuards);
}

// The factory may have deleted the job; such a task goes unclaimed.
void Worker::prepare(Job &job)
{
    const Errand::DeleteGuard jobAlive(job);
    Task *task = Errand::makeTask("Worker", job, [&] { return createTask(job); });
    if (task && jobAlive.deleted())
        Errand::releaseUnclaimed(task);
    else if (task)
        job.attach(task);
}

void Worker::run(Job &job)
{
    const Errand::DeleteGuard jobAlive(job);
    if (Task *task = Errand::makeTask("Worker", job, [&] { return createTask(job); })) {
        if (jobAlive.deleted())
            return Errand::releaseUnclaimed(task);
        // Attach first, so that the job re-emits whatever start() emits.
        job.attach(task);
        if (!jobAlive.deleted())
            Errand::callTask("Worker", task, "start()", [task] { task->start(); });
    }
}

QString Worker::name() const
{
    // object() is not const by contract; asking for it changes nothing.
    const QObject *object = const_cast<Worker *>(this)->object();
    if (!object) {
        warnNoObject();
        return QString();
    }
    return QString::fromLatin1(object->metaObject()->className());
}

QStringList Worker::jobNames() const
{
    QStringList names;
    WorkerRegistry *registry = WorkerRegistry::instance();
    const QObject *object = const_cast<Worker *>(this)->object();
    if (!registry) {
        qWarning("[Worker]: registry not ready");
        return names;
    }
    if (!object) {
        warnNoObject();
        return names;
    }
    for (const QMetaObject *meta = object->metaObject(); meta; meta = meta->superClass())
        names += registry->taskNames(QString::fromLatin1(meta->className()));
    return names;
}

Task *Worker::createTask(const Job &job)
{
    WorkerRegistry *registry = registryOrWarn();
    if (!registry)
        return nullptr;
    QObject *object = this->object();
    if (!object) {
        warnNoObject();
        return nullptr;
    }
    const Errand::DeleteGuard self(*this), jobAlive(job);
    for (const QMetaObject *meta = object->metaObject(); meta; meta = meta->superClass()) {
        Task *task = nullptr;
        const auto thrown = Errand::thrownBy([&] { task = registry->createTask(*this, QString::fromLatin1(meta->className()), job); });
        if (thrown) { // made no task, and the classes after it are not asked
            Errand::warnThrown("Worker", jobAlive.deleted() ? QString() : job.name(), "its factory", *thrown);
            return nullptr;
        }
        if (task)
            return task;
        // A factory that made no task may still have deleted this worker or the job.
        if (self.deleted() || jobAlive.deleted())
            return nullptr;
    }
    const QString jobName = job.name();
    const QString workerName = name();
    qWarning() << "[Worker]:" << workerName << "has no registered tasks for" << jobName;
    return nullptr;
}

bool Worker::registerTask(const QString &task, TaskCtor *ctor, bool replace)
{
    WorkerRegistry *registry = registryOrWarn();
    return registry && registry->registerTask(name(), task, ctor, replace);
}

bool Worker::unregisterTask(const QString &task)
{
    WorkerRegistry *registry = registryOrWarn();
    return registry && registry->unregisterTask(name(), task, nullptr);
}
