// A plug-in as applications write them: static objects register its factory and job description
// while the library is loaded, and withdraw them before its code goes away.

#include <JobRegistration.h>
#include <Task.h>
#include <TaskFactory.h>
#include <ScopedWorkerRegistration.h>
#include <WorkerRegistry.h>

#include <QtCore/QScopeGuard>

// Made by name, through the registry.
class PluginJob : public Job
{
    Q_OBJECT
    Q_CLASSINFO("description", "Counts in a plug-in")
    Q_PROPERTY(int count MEMBER count)
public:
    Q_INVOKABLE PluginJob() = default;
    int count = 0;
};

// Has nothing to do: finishes inside start().
struct PluginTask : Task
{
    using Task::Task;
    void start() override { setState(Job::Finished); }
};

// Every factory holds a reference to this token: less this one, the number of factories alive.
static const QExplicitlySharedDataPointer<QSharedData> s_factoryToken(new QSharedData);

// Literal names: their text lives in this library's read-only data, and the registry must copy it.
static const ScopedWorkerRegistration s_task(QStringLiteral("PluginService"), QStringLiteral("PluginJob"),
    makeTaskFactory([token = s_factoryToken](const Job &job) { return new PluginTask(job); }));
static const JobRegistration s_job(PluginJob::staticMetaObject);

// A job registration undoes nothing: this withdraws it. (The registry is still up: it was created
// before the registrations above, by the application.)
static const auto s_withdraw = qScopeGuard([] { WorkerRegistry::instance()->unregisterJob(QStringLiteral("PluginJob")); });

// The plug-in's instance, and the object its jobs are queued on.
class PluginService : public QObject
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.errand.TestPlugin")
public:
    // How many of the plug-in's factories are alive.
    Q_INVOKABLE int liveFactories() const { return s_factoryToken->ref.loadAcquire() - 1; }
};

#include "TestPlugin.moc"
