#include "WorkerRegistry.h"

#include "Job.h"
#include "Worker.h"
#include "jobs/AppCall_p.h"

#include <QtCore/QGlobalStatic>
#include <QtCore/QMetaProperty>
#include <QtCore/QVarLengthArray>

Q_GLOBAL_STATIC(WorkerRegistry, s_registry)

namespace {

template<typename Hash>
QStringList keysOf(const Hash &hash)
{
    QStringList names;
    names.reserve(hash.size());
    for (auto it = hash.cbegin(), end = hash.cend(); it != end; ++it)
        names.append(it.key());
    return names;
}

// The registry keeps its own copy of every name. A QString made with QStringLiteral refers to
// the read-only data of the library that made it, and a plug-in's goes with the plug-in.
QString owned(const QString &name)
{
    return QString(name.constData(), name.size());
}

} // namespace

WorkerRegistry::WorkerRegistry()
    : m_workerLock(QReadWriteLock::NonRecursive)
    , m_jobLock(QReadWriteLock::NonRecursive)
{
}

WorkerRegistry::~WorkerRegistry()
{
    // Factories are released (and possibly deleted) under the write lock, like any removal.
    QWriteLocker locker(&m_workerLock);
    m_workers.clear();
}

WorkerRegistry *WorkerRegistry::instance()
{
    return s_registry();
}

bool WorkerRegistry::registerWorker(const QString &worker)
{
    if (worker.isEmpty()) {
        qWarning("[WorkerRegistry]: can't register unnamed worker");
        return false;
    }
    QWriteLocker locker(&m_workerLock);
    if (m_workers.contains(worker))
        return false;
    m_workers.insert(owned(worker), TaskTable());
    return true;
}

bool WorkerRegistry::unregisterWorker(const QString &worker)
{
    if (worker.isEmpty()) {
        qWarning("[WorkerRegistry]: can't unregister unnamed worker");
        return false;
    }
    QWriteLocker locker(&m_workerLock);
    return m_workers.remove(worker) > 0;
}

bool WorkerRegistry::containsWorker(const QString &worker)
{
    QReadLocker locker(&m_workerLock);
    return m_workers.contains(worker);
}

int WorkerRegistry::workerCount() const
{
    QReadLocker locker(&m_workerLock);
    return m_workers.size();
}

QStringList WorkerRegistry::workerNames() const
{
    QReadLocker locker(&m_workerLock);
    return keysOf(m_workers);
}

bool WorkerRegistry::registerTask(const QString &worker, const QString &task, TaskCtor *ctor, bool replace)
{
    if (!ctor) {
        qWarning("[WorkerRegistry]: trying to register a null TaskCtor");
        return false;
    }
    if (worker.isEmpty()) {
        qWarning("[WorkerRegistry]: can't registerTask for unknown worker");
        return false;
    }
    QWriteLocker locker(&m_workerLock);
    auto workerEntry = m_workers.find(worker);
    if (workerEntry == m_workers.end())
        workerEntry = m_workers.insert(owned(worker), TaskTable());
    TaskTable &tasks = *workerEntry;
    auto entry = tasks.find(task);
    if (entry == tasks.end()) {
        tasks.insert(owned(task), QExplicitlySharedDataPointer<TaskCtor>(ctor));
        return true;
    }
    if (entry->data() == ctor)
        return true;
    if (!replace)
        return false;
    *entry = ctor; // references ctor, then releases (maybe deletes) the previous factory
    return true;
}

bool WorkerRegistry::unregisterTask(const QString &worker, const QString &task, TaskCtor *ctor)
{
    QWriteLocker locker(&m_workerLock);
    const auto tasks = m_workers.find(worker);
    if (tasks == m_workers.end())
        return false;
    const auto entry = tasks->find(task);
    if (entry == tasks->end() || (ctor && entry->data() != ctor))
        return false;
    tasks->erase(entry);
    return true;
}

bool WorkerRegistry::containsTask(const QString &worker, const QString &task, const TaskCtor *ctor)
{
    QReadLocker locker(&m_workerLock);
    const auto tasks = m_workers.constFind(worker);
    if (tasks == m_workers.cend())
        return false;
    const auto entry = tasks->constFind(task);
    return entry != tasks->cend() && (!ctor || entry->data() == ctor);
}

int WorkerRegistry::taskCount(const QString &worker) const
{
    QReadLocker locker(&m_workerLock);
    return m_workers.value(worker).size();
}

QStringList WorkerRegistry::taskNames(const QString &worker) const
{
    QReadLocker locker(&m_workerLock);
    const auto tasks = m_workers.constFind(worker);
    return tasks == m_workers.cend() ? QStringList() : keysOf(*tasks);
}

Task *WorkerRegistry::createTask(Worker &worker, const QString &workerName, const Job &job) const
{
    QReadLocker locker(&m_workerLock);
    const auto tasks = m_workers.constFind(workerName);
    if (tasks == m_workers.cend())
        return nullptr;
    const auto entry = tasks->constFind(job.name());
    if (entry == tasks->cend())
        return nullptr;
    return (*entry)->create(worker, job);
}

Task *WorkerRegistry::createTask(Worker &worker, const Job &job) const
{
    return createTask(worker, worker.name(), job);
}

bool WorkerRegistry::registerJob(const QString &job, const JobInfo &info)
{
    QWriteLocker locker(&m_jobLock);
    auto entry = m_jobs.find(job);
    if (entry == m_jobs.end())
        entry = m_jobs.insert(owned(job), JobInfo());
    if (!info.isNull())
        *entry = info;
    return true;
}

bool WorkerRegistry::unregisterJob(const QString &job)
{
    QWriteLocker locker(&m_jobLock);
    m_jobClasses.remove(job);
    return m_jobs.remove(job) > 0;
}

JobInfo WorkerRegistry::jobInfo(const QString &job) const
{
    QReadLocker locker(&m_jobLock);
    return m_jobs.value(job);
}

int WorkerRegistry::jobCount() const
{
    QReadLocker locker(&m_jobLock);
    return m_jobs.size();
}

QStringList WorkerRegistry::jobNames() const
{
    QReadLocker locker(&m_jobLock);
    return keysOf(m_jobs);
}

Job *WorkerRegistry::createJob(const QString &name, const QVariantMap &parameters)
{
    const QMetaObject *meta = nullptr;
    {
        QReadLocker locker(&m_jobLock);
        meta = m_jobClasses.value(name);
    }
    const QByteArray quoted = '"' + name.toUtf8() + '"';
    if (!meta) {
        qWarning("[WorkerRegistry]: no job class registered as %s", quoted.constData());
        return nullptr;
    }
    bool constructible = false;
    for (int i = 0; i < meta->constructorCount() && !constructible; ++i)
        constructible = meta->constructor(i).parameterCount() == 0;
    if (!constructible) {
        qWarning("[WorkerRegistry]: job class %s has no invokable constructor", quoted.constData());
        return nullptr;
    }
    QVarLengthArray<QMetaProperty, 8> properties;
    for (auto it = parameters.cbegin(), end = parameters.cend(); it != end; ++it) {
        properties.append(meta->property(meta->indexOfProperty(it.key().toUtf8().constData())));
        if (!properties.last().isWritable()) { // also what an unknown name gives
            qWarning("[WorkerRegistry]: job class %s has no writable property \"%s\"", quoted.constData(),
                qUtf8Printable(it.key()));
            return nullptr;
        }
    }

    Job *job = nullptr;
    if (const auto thrown = Errand::thrownBy([&] { job = static_cast<Job *>(meta->newInstance()); })) {
        qWarning("[WorkerRegistry]: job class %s threw from its constructor: %s", quoted.constData(),
            qUtf8Printable(*thrown));
        return nullptr;
    }
    int i = 0;
    for (auto it = parameters.cbegin(), end = parameters.cend(); job && it != end; ++it, ++i) {
        if (!properties.at(i).write(job, it.value())) {
            qWarning("[WorkerRegistry]: job class %s refused the value of \"%s\"", quoted.constData(),
                qUtf8Printable(it.key()));
            delete job;
            job = nullptr;
        }
    }
    return job;
}

void WorkerRegistry::addJobClass(const QMetaObject &job)
{
    if (!job.inherits(&Job::staticMetaObject))
        return;
    QWriteLocker locker(&m_jobLock);
    m_jobClasses.insert(owned(QString::fromLatin1(job.className())), &job);
}

void WorkerRegistry::removeJobClass(const QMetaObject &job)
{
    QWriteLocker locker(&m_jobLock);
    const auto entry = m_jobClasses.find(QString::fromLatin1(job.className()));
    if (entry != m_jobClasses.end() && *entry == &job) // not one another library entered since
        m_jobClasses.erase(entry);
}
