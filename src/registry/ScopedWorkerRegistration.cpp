#include "ScopedWorkerRegistration.h"

#include "TaskCtor.h"
#include "WorkerRegistry.h"

#include <QtCore/QMetaObject>

class ScopedWorkerRegistrationPrivate
{
public:
    ScopedWorkerRegistrationPrivate(const QString &worker, const QString &task, TaskCtor *ctor)
        : worker(worker)
        , task(task)
        , ctor(ctor)
    {
        WorkerRegistry *registry = WorkerRegistry::instance();
        if (!registry)
            qWarning("[WorkerRegistration]: registry not ready");
        else
            registered = registry->registerTask(worker, task, ctor, false);
    }

    const QString worker;
    const QString task;
    const QExplicitlySharedDataPointer<TaskCtor> ctor;
    bool registered = false;
};

ScopedWorkerRegistration::ScopedWorkerRegistration(const QMetaObject &worker, const QMetaObject &job, TaskCtor *ctor)
    : d(new ScopedWorkerRegistrationPrivate(QString::fromLatin1(worker.className()), QString::fromLatin1(job.className()), ctor))
{
}

ScopedWorkerRegistration::ScopedWorkerRegistration(const QString &worker, const QString &task, TaskCtor *ctor)
    : d(new ScopedWorkerRegistrationPrivate(worker, task, ctor))
{
}

ScopedWorkerRegistration::~ScopedWorkerRegistration()
{
    // Only while the registry exists: at exit it may have been destroyed before us.
    if (d->registered && d->ctor) {
        if (WorkerRegistry *registry = WorkerRegistry::instance())
            registry->unregisterTask(d->worker, d->task, d->ctor.data());
    }
}

bool ScopedWorkerRegistration::isRegistered() const
{
    return d->registered;
}
