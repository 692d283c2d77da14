#include "WorkerRegistration.h"

#include "WorkerRegistry.h"

#include <QtCore/QMetaObject>

namespace {

// Names are computed only once the registry is known to exist.
WorkerRegistry *registryOrWarn()
{
    WorkerRegistry *registry = WorkerRegistry::instance();
    if (!registry)
        qWarning("[WorkerRegistration]: registry not ready");
    return registry;
}

} // namespace

WorkerRegistration::WorkerRegistration(const QMetaObject &worker, const QMetaObject &job, TaskCtor *ctor)
{
    if (WorkerRegistry *registry = registryOrWarn())
        registry->registerTask(QString::fromLatin1(worker.className()), QString::fromLatin1(job.className()), ctor, false);
}

WorkerRegistration::WorkerRegistration(const QMetaObject &worker, const QString &task, TaskCtor *ctor)
{
    if (WorkerRegistry *registry = registryOrWarn())
        registry->registerTask(QString::fromLatin1(worker.className()), task, ctor, false);
}

WorkerRegistration::WorkerRegistration(const QString &worker, const QString &task, TaskCtor *ctor)
{
    if (WorkerRegistry *registry = registryOrWarn())
        registry->registerTask(worker, task, ctor, false);
}
