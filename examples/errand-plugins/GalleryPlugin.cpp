// A plug-in as applications write them. While it is loaded, its statics register a job class
// with its description and a task factory; when it is unloaded, they withdraw them. The host
// (main.cpp) knows none of its classes: it finds the job's name in the registry and makes the
// job from it.

#include <JobRegistration.h>
#include <ScopedWorkerRegistration.h>
#include <Task.h>
#include <TaskFactory.h>
#include <WorkerRegistry.h>

#include <QtCore/QScopeGuard>

// The host sets the parameters by name, through the properties.
class ThumbnailJob : public Job
{
    Q_OBJECT
    Q_CLASSINFO("description", "Names the thumbnail of an image")
    Q_PROPERTY(QString path MEMBER path)
    Q_PROPERTY(int size MEMBER size)
public:
    Q_INVOKABLE ThumbnailJob() = default;
    QString path;
    int size = 128;
};

// Ends inside start(), with the file name of the thumbnail as its result.
class ThumbnailTask : public Task
{
    Q_OBJECT
    Q_PROPERTY(QString result MEMBER m_result NOTIFY resultChanged)
public:
    explicit ThumbnailTask(const ThumbnailJob &job)
        : Task(job)
        , m_path(job.path)
        , m_size(job.size)
    { }
    void start() override
    {
        setState(Job::Running);
        if (m_size <= 0)
            return fail(QStringLiteral("a thumbnail needs a size"));
        m_result = QStringLiteral("%1.%2px.png").arg(m_path).arg(m_size);
        Q_EMIT resultChanged();
        setState(Job::Finished);
    }

private:
    QString m_path;
    int m_size;
    QString m_result;
};

// The plug-in's root object, which QPluginLoader::instance() gives: the host queues the
// plug-in's jobs on a worker bound to it, so the factory is registered under its class name.
class Gallery : public QObject
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.errand.examples.Gallery")
};

static const ScopedWorkerRegistration s_task(
    Gallery::staticMetaObject, ThumbnailJob::staticMetaObject, new TaskFactory<ThumbnailTask, ThumbnailJob>);
// Withdraws the class when the plug-in unloads; the description stays until it is removed.
static const JobRegistration s_job(ThumbnailJob::staticMetaObject);
static const auto s_withdrawJob = qScopeGuard([] {
    if (WorkerRegistry *registry = WorkerRegistry::instance())
        registry->unregisterJob(QStringLiteral("ThumbnailJob"));
});

#include "GalleryPlugin.moc"
