#include "JobRegistration.h"

#include "Job.h"
#include "WorkerRegistry.h"

JobRegistration::JobRegistration(const QMetaObject &job)
    : m_job(job)
{
    Job::registerJob(job);
    if (WorkerRegistry *registry = WorkerRegistry::instance())
        registry->addJobClass(job);
}

JobRegistration::~JobRegistration()
{
    if (WorkerRegistry *registry = WorkerRegistry::instance())
        registry->removeJobClass(m_job);
}
