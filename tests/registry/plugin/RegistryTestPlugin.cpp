// A plug-in as an application would write one: everything it offers is registered by objects at
// namespace scope while the library is being loaded. The test reaches its classes only through
// the registry and two C entry points.

#include <JobRegistration.h>
#include <Task.h>
#include <TaskFactory.h>
#include <Worker.h>
#include <WorkerRegistration.h>

#include <QtCore/QVariant>

class PluginService : public QObject
{
    Q_OBJECT
};

class PluginJob : public Job
{
    Q_OBJECT
    Q_CLASSINFO("description", "Counts in a plug-in")
    Q_PROPERTY(int count MEMBER count)
public:
    int count = 0;
};

// Finishes at once; its result names what it was made from.
class PluginTask : public Task
{
    Q_OBJECT
    Q_PROPERTY(QVariant result READ result NOTIFY resultChanged)
public:
    PluginTask(Worker &worker, const PluginJob &job)
        : Task(job)
        , m_result(QStringLiteral("%1 for %2").arg(job.count).arg(worker.name()))
    { }
    explicit PluginTask(const Job &job)
        : Task(job)
        , m_result(QStringLiteral("probe"))
    { }

    QVariant result() const { return m_result; }
    void start() override
    {
        setState(Job::Running);
        Q_EMIT resultChanged();
        setState(Job::Finished);
    }

private:
    const QString m_result;
};

namespace {

WorkerRegistration s_service(
    PluginService::staticMetaObject, PluginJob::staticMetaObject, new TaskFactory<PluginTask, PluginJob>);

// Refused (the first registration for the pair stays); the plug-in keeps and releases it.
const QExplicitlySharedDataPointer<TaskCtor> s_late(makeTaskFactory([](const Job &) -> Task * { return nullptr; }));
WorkerRegistration s_duplicate(QStringLiteral("PluginService"), QStringLiteral("PluginJob"), s_late.data());

// Every class chain ends with QObject, so any worker serves this one.
WorkerRegistration s_probe(QObject::staticMetaObject, QStringLiteral("plugin.probe"),
    makeTaskFactory([](const Job &job) -> Task * { return new PluginTask(job); }));

JobRegistration s_job(PluginJob::staticMetaObject);

} // namespace

extern "C" Q_DECL_EXPORT QObject *errandTestPluginService()
{
    return new PluginService;
}

extern "C" Q_DECL_EXPORT Job *errandTestPluginJob(int count)
{
    auto *job = new PluginJob;
    job->count = count;
    return job;
}

#include "RegistryTestPlugin.moc"
