// A plug-in as applications write them: its task factory and job description are registered by
// static objects when the library is loaded, and withdrawn by a static object when it is
// unloaded, so that the registry never keeps a factory whose code is gone.

#include <Job.h>
#include <JobRegistration.h>
#include <Task.h>
#include <TaskFactory.h>
#include <WorkerRegistration.h>
#include <WorkerRegistry.h>

#include <QtCore/QAtomicInt>

class StressPluginJob : public Job
{
    Q_OBJECT
    Q_CLASSINFO("description", "Job served by the stress plug-in")
    Q_PROPERTY(int size MEMBER size)
public:
    int size = 0;
};

class StressPluginTask : public Task
{
    Q_OBJECT
public:
    explicit StressPluginTask(const Job &job) : Task(job) {}
    void start() override
    {
        setState(Job::Running);
        setState(Job::Finished);
    }
};

namespace {

const char *const WorkerName = "StressPluginWorker";
const char *const JobName = "StressPluginJob";

QAtomicInt liveFactories;

class CountedFactory : public TaskFactory<StressPluginTask>
{
public:
    CountedFactory() { liveFactories.ref(); }
    ~CountedFactory() override { liveFactories.deref(); }
};

const WorkerRegistration taskRegistration(QLatin1String(WorkerName), QLatin1String(JobName), new CountedFactory);
const JobRegistration jobRegistration(StressPluginJob::staticMetaObject);

// WorkerRegistration undoes nothing: the plug-in withdraws its own entries before its code goes.
struct Withdraw
{
    ~Withdraw()
    {
        if (WorkerRegistry *registry = WorkerRegistry::instance()) {
            registry->unregisterTask(QLatin1String(WorkerName), QLatin1String(JobName));
            registry->unregisterJob(QLatin1String(JobName));
        }
    }
} const withdraw;

} // namespace

/** Factories of this plug-in that still exist (the registry holds the only one). */
extern "C" Q_DECL_EXPORT int errandStressPluginLiveFactories()
{
    return liveFactories.loadAcquire();
}

#include "StressPlugin.moc"
