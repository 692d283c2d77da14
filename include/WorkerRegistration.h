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
 * initialisation. The destructor undoes nothing. The registry's own refusals keep their
 * warnings ("[WorkerRegistry]: trying to register a null TaskCtor" for a null factory); once the
 * registry has been destroyed at exit, "[WorkerRegistration]: registry not ready" is written and
 * nothing is registered.
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
    /** Worker name is the class name of @p worker; @p task is the job name as given. */
    WorkerRegistration(const QMetaObject &worker, const QString &task, TaskCtor *ctor);
    /**
     * Both names as given. An empty @p worker is refused by the registry with
     * "[WorkerRegistry]: can't registerTask for unknown worker".
     */
    WorkerRegistration(const QString &worker, const QString &task, TaskCtor *ctor);

private:
    Q_DISABLE_COPY(WorkerRegistration)
};

#endif // ERRAND_WORKERREGISTRATION_H
