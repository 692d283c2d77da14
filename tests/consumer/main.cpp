// Builds against the installed headers and library only, and runs one job end to end.
#include <Job.h>
#include <JobInfo.h>
#include <ObjectWorker.h>
#include <Task.h>
#include <TaskFactory.h>
#include <WorkQueue.h>
#include <WorkQueueListModel.h>
#include <WorkerRegistration.h>
#include <WorkerRegistry.h>

#include <QtCore/QCoreApplication>
#include <cstdio>

class GreetJob : public Job
{
    Q_OBJECT
    Q_CLASSINFO("description", "Says hello")
    Q_PROPERTY(QString who MEMBER who)
public:
    QString who = QStringLiteral("world");
};

class GreetTask : public Task
{
    Q_OBJECT
    Q_PROPERTY(QString result MEMBER m_result NOTIFY resultChanged)
public:
    explicit GreetTask(const GreetJob &job) : Task(job), m_who(job.who) {}
    void start() override
    {
        setState(Job::Running);
        m_result = QStringLiteral("hello ") + m_who;
        Q_EMIT resultChanged();
        setState(Job::Finished);
    }

private:
    QString m_who;
    QString m_result;
};

static WorkerRegistration registration(QCoreApplication::staticMetaObject, GreetJob::staticMetaObject,
                                       new TaskFactory<GreetTask, GreetJob>);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Job::registerJob(GreetJob::staticMetaObject);

    ObjectWorker worker(&app);
    WorkQueueListModel model(&worker);
    GreetJob job;
    const bool queued = worker.enqueue(job, 1);
    const QString result = job.result().toString();
    const JobInfo info = WorkerRegistry::instance()->jobInfo(QStringLiteral("GreetJob"));

    const bool ok = queued && job.state() == Job::Finished && result == QStringLiteral("hello world")
        && model.rowCount() == 1 && info.description() == QStringLiteral("Says hello");
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", qPrintable(result));
    return ok ? 0 : 1;
}

#include "main.moc"
