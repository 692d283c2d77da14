// One job's whole life on an ObjectWorker, against two plain-Qt references measured in the same
// run: the same object and signal work written by hand, and the cheapest job plain Qt allows.

#include "BenchSupport.h"

#include <ObjectWorker.h>

#include <benchmark/benchmark.h>

#include <QtCore/QHash>
#include <QtCore/QMap>
#include <QtCore/QObject>

namespace {

using namespace Bench;

// Create a job, enqueue it (the registry makes the task, the job attaches it, the queue starts
// it and it finishes inside start()), destroy the job; the batch's tasks are deleted at its end.
void lifecycleLibrary(benchmark::State &state)
{
    const int batch = int(state.range(0));
    Target target;
    ObjectWorker worker(&target);
    for (auto _ : state) {
        for (int i = 0; i < batch; ++i) {
            QuickJob job;
            worker.enqueue(job, 0);
        }
        flushDeferredDeletes();
    }
    countJobs(state, batch);
}

// The floor: the objects, connections, signals and bookkeeping that one job needs, in the
// plainest Qt there is.
class FloorTask : public QObject
{
    Q_OBJECT
public:
    void run()
    {
        Q_EMIT stateChanged(Job::Running);
        Q_EMIT started();
        Q_EMIT stateChanged(Job::Finished);
        Q_EMIT finished(Job::NoError);
    }
Q_SIGNALS:
    void started();
    void finished(Job::Error error);
    void stateChanged(Job::State state);
    void resultChanged();
};

class FloorJob : public QObject
{
    Q_OBJECT
Q_SIGNALS:
    void started();
    void finished(Job::Error error);
    void stateChanged(Job::State state);
    void resultChanged();
};

class FloorQueue : public QObject
{
    Q_OBJECT
public:
    void enqueue(FloorTask *task)
    {
        connect(task, SIGNAL(finished(Job::Error)), this, SLOT(onTaskFinished(Job::Error)));
        connect(task, SIGNAL(started()), this, SIGNAL(started()));
        const quint64 key = ++counter;
        queue.insert(key, task);
        keys.insert(task, key);
        task->run();
    }

Q_SIGNALS:
    void started();
    void finished(Job::Error error);

private Q_SLOTS:
    void onTaskFinished(Job::Error error)
    {
        auto *task = static_cast<FloorTask *>(sender());
        Q_EMIT finished(error);
        queue.remove(keys.take(task));
    }

private:
    quint64 counter = 0;
    QMap<quint64, FloorTask *> queue;
    QHash<const FloorTask *, quint64> keys;
};

void lifecycleFloor(benchmark::State &state)
{
    const int batch = int(state.range(0));
    FloorQueue queue;
    for (auto _ : state) {
        for (int i = 0; i < batch; ++i) {
            FloorJob job;
            auto *task = new FloorTask;
            QObject::connect(task, SIGNAL(started()), &job, SIGNAL(started()));
            QObject::connect(task, SIGNAL(finished(Job::Error)), &job, SIGNAL(finished(Job::Error)));
            QObject::connect(task, SIGNAL(stateChanged(Job::State)), &job, SIGNAL(stateChanged(Job::State)));
            QObject::connect(task, SIGNAL(resultChanged()), &job, SIGNAL(resultChanged()));
            queue.enqueue(task);
            task->deleteLater();
        }
        flushDeferredDeletes();
    }
    countJobs(state, batch);
}

// The cheapest job a plain-Qt application could write: one object that reports its result to a
// receiver and deletes itself.
class OneObjectJob : public QObject
{
    Q_OBJECT
public:
    void start()
    {
        Q_EMIT result(0);
        deleteLater();
    }
Q_SIGNALS:
    void result(int error);
};

void lifecycleOneObject(benchmark::State &state)
{
    const int batch = int(state.range(0));
    QObject receiver;
    int succeeded = 0;
    for (auto _ : state) {
        for (int i = 0; i < batch; ++i) {
            auto *job = new OneObjectJob;
            QObject::connect(job, &OneObjectJob::result, &receiver, [&succeeded](int error) { succeeded += !error; });
            job->start();
        }
        flushDeferredDeletes();
    }
    if (succeeded != int(state.iterations()) * batch)
        state.SkipWithError("a result went missing");
    countJobs(state, batch);
}

} // namespace

BENCHMARK(lifecycleOneObject)->Name("lifecycle/one-object")->Arg(1000)->Arg(10000)->ComputeStatistics("min", fastest);
BENCHMARK(lifecycleFloor)->Name("lifecycle/floor")->Arg(1000)->Arg(10000)->ComputeStatistics("min", fastest);
BENCHMARK(lifecycleLibrary)->Name("lifecycle/library")->Arg(1000)->Arg(10000)->ComputeStatistics("min", fastest);

#include "bench_lifecycle.moc"
