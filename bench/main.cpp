#include "BenchSupport.h"

#include <benchmark/benchmark.h>

#include <QtCore/QCoreApplication>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Bench::registerTasks();
    benchmark::AddCustomContext("qt", qVersion()); // read back by plot.py
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Bench::releaseQueues();
    return 0;
}
