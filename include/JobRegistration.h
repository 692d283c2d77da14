#ifndef ERRAND_JOBREGISTRATION_H
#define ERRAND_JOBREGISTRATION_H

#include "errand_export.h"

#include <QtCore/QtGlobal>

struct QMetaObject;

/**
 * Registers the description of a job class at load time, from an object at namespace scope:
 *
 * @code
 * static JobRegistration reg(HashJob::staticMetaObject);
 * @endcode
 *
 * Enters JobInfo(job) under the class name; a later registration of the same name replaces the
 * description. Writes "[Job]: registry not ready" once the registry has been destroyed.
 *
 * It also enters the class itself, so that WorkerRegistry::createJob() can make jobs of it by
 * name, and withdraws the class (only the class: the description stays) when it is destroyed,
 * as a plug-in's statics are when it unloads.
 */
class ERRAND_EXPORT JobRegistration
{
public:
    /** Registers JobInfo(@p job) and, for a Job subclass, the class under @p job's class name. */
    explicit JobRegistration(const QMetaObject &job);
    /** Withdraws the class, unless another registration has replaced it since. */
    ~JobRegistration();

private:
    Q_DISABLE_COPY(JobRegistration)

    const QMetaObject &m_job;
};

#endif // ERRAND_JOBREGISTRATION_H
