#include "JobRegistration.h"

#include "Job.h"

JobRegistration::JobRegistration(const QMetaObject &job)
{
    Job::registerJob(job);
}
