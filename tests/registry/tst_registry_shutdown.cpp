// Registrations and worker calls made after the registry has been destroyed at exit.
//
// s_lateCheck below is constructed during this program's static initialisation, before main()
// first uses the registry; objects with static storage are destroyed in the reverse order of
// their construction, so its destructor runs after the registry's. That is where the checks
// run. They end the process with _Exit: 0 when everything held, 1 otherwise. main() itself
// returns 3, so an exit that never reached the checks fails as well.

#include "RegistryTestSupport.h"

#include <Job.h>
#include <JobRegistration.h>
#include <WorkerRegistration.h>
#include <WorkerRegistry.h>

#include <QtCore/QObject>
#include <QtCore/QStringList>

#include <cstdio>
#include <cstdlib>
#include <functional>

using namespace RegistryTest;

class ShutdownJob : public Job
{
    Q_OBJECT
public:
    QString name() const override { return QStringLiteral("shutdown.job"); }
};

namespace {

QStringList s_messages;
bool s_checksRan = false;

void captureMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    s_messages.append(message);
}

// Runs @p call and compares the messages it wrote with @p expected, which must be one line.
int expectOnly(const char *what, const QString &expected, const std::function<bool()> &call)
{
    s_messages.clear();
    const bool resultOk = call();
    const bool messagesOk = s_messages == QStringList(expected);
    std::printf("%s: %s", messagesOk && resultOk ? "PASS" : "FAIL", what);
    if (!resultOk)
        std::printf(" (unexpected result)");
    if (!messagesOk)
        std::printf(" (messages: \"%s\")", qPrintable(s_messages.join(QStringLiteral("\" \""))));
    std::printf("\n");
    return messagesOk && resultOk ? 0 : 1;
}

int runChecks()
{
    int failures = 0;
    if (WorkerRegistry::instance()) {
        std::printf("FAIL: the registry still exists\n");
        ++failures;
    }
    // The registry's destructor released the one reference it held on this factory.
    if (CountingFactory::live.loadRelaxed() != 0) {
        std::printf("FAIL: the registry did not release its factories\n");
        ++failures;
    }

    const QString registration = QStringLiteral("[WorkerRegistration]: registry not ready");
    const QString job = QStringLiteral("[Job]: registry not ready");
    const QString worker = QStringLiteral("[Worker]: registry not ready");
    CountingFactory factory; // never referenced, so it may live on the stack
    const QString name = QStringLiteral("late");

    failures += expectOnly("WorkerRegistration(meta, meta)", registration, [&] {
        WorkerRegistration r(QObject::staticMetaObject, ShutdownJob::staticMetaObject, &factory);
        return true;
    });
    failures += expectOnly("WorkerRegistration(meta, name)", registration, [&] {
        WorkerRegistration r(QObject::staticMetaObject, name, &factory);
        return true;
    });
    failures += expectOnly("WorkerRegistration(name, name)", registration, [&] {
        WorkerRegistration r(name, name, &factory);
        return true;
    });
    // A null factory or an empty name would be the registry's to report: it is not asked.
    failures += expectOnly("WorkerRegistration(name, name, null)", registration, [&] {
        WorkerRegistration r(QString(), name, nullptr);
        return true;
    });
    failures += expectOnly("JobRegistration", job, [] {
        JobRegistration r(ShutdownJob::staticMetaObject);
        return true;
    });
    failures += expectOnly("Job::registerJob(meta)", job, [] {
        Job::registerJob(ShutdownJob::staticMetaObject);
        return true;
    });
    failures += expectOnly("Job::registerJob()", job, [] {
        ShutdownJob j;
        j.registerJob();
        return true;
    });

    QObject object;
    TestWorker withObject(&object);
    TestWorker withoutObject(nullptr);
    ShutdownJob j;
    for (TestWorker *w : { &withObject, &withoutObject }) {
        const bool hasObject = w == &withObject;
        std::printf("-- worker %s object\n", hasObject ? "with" : "without");
        failures += expectOnly("Worker::createTask", worker, [&] { return w->createTask(j) == nullptr; });
        failures += expectOnly("Worker::jobNames", worker, [&] { return w->jobNames().isEmpty(); });
        failures += expectOnly("Worker::registerTask", worker, [&] { return !w->registerTask(name, &factory); });
        failures += expectOnly("Worker::unregisterTask", worker, [&] { return !w->unregisterTask(name); });
        failures += expectOnly("Worker::prepare", worker, [&] {
            w->prepare(j);
            return j.task() == nullptr;
        });
    }
    if (factory.refs() != 0) {
        std::printf("FAIL: a helper referenced the factory\n");
        ++failures;
    }
    return failures;
}

struct LateCheck
{
    // Must not touch the registry: it would then be created first and destroyed after us.
    LateCheck() = default;
    ~LateCheck()
    {
        s_checksRan = true;
        const int failures = runChecks();
        std::printf("%s: %d failure(s) after the registry was destroyed\n", failures ? "FAIL" : "PASS", failures);
        std::fflush(stdout);
        std::_Exit(failures ? 1 : 0);
    }
};

LateCheck s_lateCheck;

} // namespace

int main()
{
    qInstallMessageHandler(captureMessage);
    WorkerRegistry *registry = WorkerRegistry::instance();
    if (!registry || !registry->registerTask(QStringLiteral("w"), QStringLiteral("t"), new CountingFactory, false)) {
        std::printf("FAIL: no registry before exit\n");
        return 2;
    }
    if (!s_messages.isEmpty() || s_checksRan)
        return 2;
    std::fflush(stdout);
    return 3;
}

#include "tst_registry_shutdown.moc"
