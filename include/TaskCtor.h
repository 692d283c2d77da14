#ifndef ERRAND_TASKCTOR_H
#define ERRAND_TASKCTOR_H

#include "errand_export.h"

#include <QtCore/QSharedData>

class Job;
class Task;
class Worker;

/**
 * An abstract, reference-counted task factory.
 *
 * The WorkerRegistry holds one reference per table entry that stores the factory and deletes
 * it (through the virtual destructor) when the last one goes. A factory the registry refuses
 * is not referenced and stays with whoever offered it.
 *
 * create() runs inside the registry's read lock, possibly on several threads at once: it must
 * be thread-safe and must not call back into the registry's worker operations. The factory's
 * destructor may run with the registry's write lock held and must not call the registry either.
 *
 * See TaskFactory.h for ready-made factories.
 */
class ERRAND_EXPORT TaskCtor : public QSharedData
{
public:
    TaskCtor() = default;
    virtual ~TaskCtor();

    /**
     * A new task (reference count 0) that executes @p job on behalf of @p worker, or null when
     * no task can be made (the worker then tries the next class of its object's chain).
     */
    virtual Task *create(Worker &worker, const Job &job) = 0;

private:
    Q_DISABLE_COPY(TaskCtor)
};

#endif // ERRAND_TASKCTOR_H
