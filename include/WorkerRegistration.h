#ifndef ERRAND_WORKERREGISTRATION_H
#define ERRAND_WORKERREGISTRATION_H

#include "errand_export.h"

#include <QtCore/QString>

class TaskCtor;
struct QMetaObject;

/**
 * Registers one task factory at load time, from an object at namespace scope:
 *
 * @code
 * static WorkerRegistration reg(Indexer::staticMetaObject, HashJob::staticMetaObject,
 *                               new TaskFactory<HashTask>);
 * @endcode
 *
 * Calls WorkerRegistry::registerTask with replace = false, so the first factory registered for
 * a worker/task pair stays in force. Works from any library, in any order of static
 * initialisation. The destructor undoes nothing.
 *
 * A factory that ends up not stored (refused as a duplicate, or offered after the registry was
 * destroyed) is left untouched and stays with the caller: the helper cannot know whether the
 * caller still owns it, and deleting an object it never referenced would be worse than a leak.
 * Hold such factories in a QExplicitlySharedDataPointer<TaskCtor> if a refusal is expected.
 */
class ERRAND_EXPORT WorkerRegistration
{
public:
    /** Worker name and task name are the class names of @p worker and @p job. */
    WorkerRegistration(const QMetaObject &worker, const QMetaObject &job, TaskCtor *ctor);
    WorkerRegistration(const QMetaObject &worker, const QString &task, TaskCtor *ctor);
    WorkerRegistration(const QString &worker, const QString &task, TaskCtor *ctor);

private:
    Q_DISABLE_COPY(WorkerRegistration)
};

#endif // ERRAND_WORKERREGISTRATION_H
