// WorkerRegistry::createTask under its read lock, from one thread and from two at once.

#include "BenchSupport.h"

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

} // namespace

BENCHMARK(registryCreateTask)->Name("registry/createTask")->Threads(1)->Threads(2)->ComputeStatistics("min", fastest);
