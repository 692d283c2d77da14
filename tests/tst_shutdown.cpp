// Calls made after main() has returned, once the registry has been destroyed with the other
// statics: each must write its own "registry not ready" warning, fail and not crash. They run in
// the destructor of s_lateChecks, constructed before main() first uses the registry and so
// destroyed after it. The exit code is the verdict; main() itself returns 3, so an exit that never
// reaches the checks fails as well.

#include "TestSupport.h"

#include <JobRegistration.h>
#include <ScopedWorkerRegistration.h>
#include <WorkerRegistration.h>
#include <WorkerRegistry.h>

#include <cstdio>
#include <cstdlib>

using namespace TestSupport;

static QString s_log; // every message written, one per line
static ScopedWorkerRegistration *s_scoped = nullptr; // made in main(), deleted once the registry is gone

static const struct LateChecks
{
    ~LateChecks()
    {
        // The registry released the factories registered in main(); the scoped registration
        // then releases its own, the last reference, and one made now only its factory.
        int failures = WorkerRegistry::instance() || CountingFactory::live.loadRelaxed() != 1;
        delete s_scoped;
        const QString name = QStringLiteral("late");
        failures += ScopedWorkerRegistration(name, name, new CountingFactory).isRegistered();
        failures += CountingFactory::live.loadRelaxed() != 0;
        CountingFactory factory;
        const QMetaObject &meta = QObject::staticMetaObject;
        WorkerRegistration(meta, meta, &factory);
        WorkerRegistration(meta, name, &factory);
        WorkerRegistration(QString(), name, nullptr); // the registry's own checks are not reached
        JobRegistration { PlainJob::staticMetaObject };
        PlainJob plain;
        plain.registerJob();
        QObject object;
        TestWorker withObject(&object), withoutObject(nullptr); // the registry is checked before the object
        for (TestWorker *worker : { &withObject, &withoutObject }) {
            failures += worker->createTask(plain) || !worker->jobNames().isEmpty()
                || worker->registerTask(name, &factory) || worker->unregisterTask(name);
            worker->run(plain);
        }
        failures += plain.task() || factory.refs() != 0;
        const QString expected = QStringLiteral("[WorkerRegistration]: registry not ready\n").repeated(4)
            + QStringLiteral("[Job]: registry not ready\n").repeated(2)
            + QStringLiteral("[Worker]: registry not ready\n").repeated(10);
        failures += s_log != expected;
        std::fprintf(stderr, "%d failure(s) once the registry was gone; messages:\n%s", failures, qPrintable(s_log));
        std::_Exit(failures ? 1 : 0);
    }
} s_lateChecks;

int main()
{
    qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext &, const QString &text) { s_log += text + QLatin1Char('\n'); });
    WorkerRegistry::instance()->registerTask(QStringLiteral("w"), QStringLiteral("t"), new CountingFactory);
    s_scoped = new ScopedWorkerRegistration(QStringLiteral("w"), QStringLiteral("s"), new CountingFactory);
    return 3;
}
