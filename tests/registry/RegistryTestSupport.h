#ifndef ERRAND_REGISTRYTESTSUPPORT_H
#define ERRAND_REGISTRYTESTSUPPORT_H

// Helpers shared by the registry, worker and registration suites.

#include "TestSupport.h"

#include <TaskCtor.h>
#include <Worker.h>

#include <QtCore/QAtomicInt>
#include <QtCore/QObject>

namespace RegistryTest {

// A factory that counts its live instances, so that a leak or a double delete of a factory
// shows up as a wrong count (and, under ASan, as an error). Tasks it makes carry its tag as
// their objectName; with makesTasks false it makes none.
class CountingFactory : public TaskCtor
{
public:
    explicit CountingFactory(const QString &tag = QString(), bool makesTasks = true)
        : tag(tag)
        , makesTasks(makesTasks)
    {
        live.ref();
    }
    ~CountingFactory() override { live.deref(); }

    Task *create(Worker &, const Job &job) override
    {
        calls.ref();
        if (!makesTasks)
            return nullptr;
        auto *task = new TestSupport::ManualTask(job);
        task->setObjectName(tag);
        return task;
    }

    int refs() const { return ref.loadRelaxed(); }

    static inline QAtomicInt live;

    const QString tag;
    const bool makesTasks;
    QAtomicInt calls;
};

// A worker standing for whatever object it is given (possibly none).
class TestWorker : public Worker
{
public:
    explicit TestWorker(QObject *object)
        : m_object(object)
    { }
    QObject *object() override { return m_object; }

private:
    QObject *m_object;
};

} // namespace RegistryTest

#endif // ERRAND_REGISTRYTESTSUPPORT_H
