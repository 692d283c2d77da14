#ifndef ERRAND_SCOPEDWORKERREGISTRATION_H
#define ERRAND_SCOPEDWORKERREGISTRATION_H

#include "errand_export.h"

#include <QtCore/QScopedPointer>

class QString;
class TaskCtor;
struct QMetaObject;
class ScopedWorkerRegistrationPrivate;

/**
 * Registers one task factory for as long as the object lives, and removes exactly that
 * registration when it is destroyed: the clean way for a plug-in that can be unloaded.
 *
 * @code
 * // At namespace scope in the plug-in: gone, with its factory, before the plug-in's code is.
 * static const ScopedWorkerRegistration reg(Indexer::staticMetaObject, HashJob::staticMetaObject,
 *                                           new TaskFactory<HashTask>);
 * @endcode
 *
 * Registers like WorkerRegistration (replace = false, so an existing factory for the pair
 * stays in force). The destructor calls WorkerRegistry::unregisterTask with this object's own
 * factory: if another factory was registered for the pair meanwhile, or the registration was
 * refused, that one stays. The worker name stays registered, as after any unregisterTask().
 *
 * Unlike WorkerRegistration, the object takes a reference on the factory for its lifetime, so a
 * factory that nobody else references (a refused one, or one just removed) is deleted with it,
 * while the code of the factory is still loaded. Once the registry is gone (at the very end of
 * the process), the destructor only releases the factory.
 *
 * Before a plug-in is unloaded, none of its tasks may be alive and no thread may run its code:
 * release its jobs and let the event loop delete the tasks handed to deleteLater().
 */
class ERRAND_EXPORT ScopedWorkerRegistration
{
public:
    /** Worker name and task name are the class names of @p worker and @p job. */
    ScopedWorkerRegistration(const QMetaObject &worker, const QMetaObject &job, TaskCtor *ctor);
    /**
     * Registers @p ctor for the job name @p task under the worker name @p worker. Without a
     * registry, writes "[WorkerRegistration]: registry not ready" and registers nothing.
     */
    ScopedWorkerRegistration(const QString &worker, const QString &task, TaskCtor *ctor);
    /** Removes this object's own factory, if it was stored, then releases the factory. */
    ~ScopedWorkerRegistration();

    /** Whether the registry stored this object's factory when it was constructed. */
    bool isRegistered() const;

private:
    Q_DISABLE_COPY(ScopedWorkerRegistration)
    QScopedPointer<ScopedWorkerRegistrationPrivate> d;
};

#endif // ERRAND_SCOPEDWORKERREGISTRATION_H
