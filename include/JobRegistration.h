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
 */
class ERRAND_EXPORT JobRegistration
{
public:
    /** Registers JobInfo(@p job) under @p job's class name, like Job::registerJob(@p job). */
    explicit JobRegistration(const QMetaObject &job);

private:
    Q_DISABLE_COPY(JobRegistration)
};

#endif // ERRAND_JOBREGISTRATION_H
