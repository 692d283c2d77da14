#include "BenchSupport.h"

#include <TaskFactory.h>
#include <WorkerRegistry.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QEvent>

#include <algorithm>
#include <ctime>

#include <malloc.h>

namespace Bench {

void registerTasks()
{
    static const bool registered = [] {
        WorkerRegistry *registry = WorkerRegistry::instance();
        const QString worker = QString::fromLatin1(Target::staticMetaObject.className());
        registry->registerTask(
            worker, QString::fromLatin1(QuickJob::staticMetaObject.className()), new TaskFactory<QuickTask, QuickJob>);
        registry->registerTask(worker, QString::fromLatin1(BlockerJob::staticMetaObject.className()),
            new TaskFactory<BlockerTask, BlockerJob>);
        registry->registerTask(worker, QString::fromLatin1(ProgressJob::staticMetaObject.className()),
            new TaskFactory<ProgressTask, ProgressJob>);
        registry->registerTask(
            worker, QString::fromLatin1(RelayJob::staticMetaObject.className()), new TaskFactory<RelayTask, RelayJob>);
        return true;
    }();
    Q_UNUSED(registered)
}

void RelayTask::start()
{
    setState(Job::Running);
    s_running.push_back(this);
    if (int(s_running.size()) >= lanes) {
        RelayTask *oldest = s_running.front();
        s_running.pop_front();
        oldest->setState(Job::Finished);
    }
}

void RelayTask::finishRunning()
{
    while (!s_running.empty()) {
        RelayTask *oldest = s_running.front();
        s_running.pop_front();
        oldest->setState(Job::Finished);
    }
}

void countJobs(benchmark::State &state, int jobs)
{
    state.SetItemsProcessed(state.iterations() * jobs);
    state.counters["jobs"] = benchmark::Counter(jobs, benchmark::Counter::kAvgThreads);
}

double fastest(const std::vector<double> &values)
{
    return values.empty() ? 0.0 : *std::min_element(values.begin(), values.end());
}

void flushDeferredDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::sendPostedEvents();
}

std::size_t heapInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

double threadCpuNs()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e9 + double(now.tv_nsec);
}

} // namespace Bench
