// WorkerRegistry::createTask under its read lock, from one thread and from two at once; and a job
// made by its name with createJob(), against the same job made in code.

#include "BenchSupport.h"

#include <JobRegistration.h>
#include <Worker.h>
#include <WorkerRegistry.h>

#include <benchmark/benchmark.h>

namespace {

using namespace Bench;

// A worker that only lends its name; createTask() is asked of the registry directly.
class NamedWorker : public Worker
{
public:
    QObject *object() override { return &target; }
    Target target;
};

void registryCreateTask(benchmark::State &state)
{
    NamedWorker worker;
    const QString workerName = worker.name();
    const QuickJob job;
    WorkerRegistry *registry = WorkerRegistry::instance();
    for (auto _ : state) {
        Task *task = registry->createTask(worker, workerName, job);
        benchmark::DoNotOptimize(task);
        delete task; // never referenced: nobody else owns it
    }
    countJobs(state, 1);
}

class SizedJob : public Job
{
    Q_OBJECT
    Q_PROPERTY(int size MEMBER size)
public:
    Q_INVOKABLE SizedJob() = default;
    int size = 0;
};

const JobRegistration s_sizedJob(SizedJob::staticMetaObject);

void registryCreateJob(benchmark::State &state)
{
    const bool byName = state.range(0);
    WorkerRegistry *registry = WorkerRegistry::instance();
    const QString name = QStringLiteral("SizedJob");
    const QVariantMap parameters { { QStringLiteral("size"), 7 } };
    for (auto _ : state) {
        Job *job = byName ? registry->createJob(name, parameters) : new SizedJob;
        if (!byName)
            job->setProperty("size", 7);
        benchmark::DoNotOptimize(job);
        delete job;
    }
    countJobs(state, 1);
}

} // namespace

BENCHMARK(registryCreateJob)->Name("registry/createJob")->ArgName("by-name")->Arg(0)->Arg(1)->ComputeStatistics("min", fastest);
BENCHMARK(registryCreateTask)->Name("registry/createTask")->Threads(1)->Threads(2)->ComputeStatistics("min", fastest);

#include "bench_registry.moc"
