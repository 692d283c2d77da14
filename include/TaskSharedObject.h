#ifndef ERRAND_TASKSHAREDOBJECT_H
#define ERRAND_TASKSHAREDOBJECT_H

#include "errand_export.h"

#include <QtCore/QAtomicInt>
#include <QtCore/QSharedData>

class QObject;

/**
 * The reference-count part of a Task.
 *
 * WorkQueue::TaskPtr (QExplicitlySharedDataPointer<Task>) counts through the member @c ref,
 * which hides QSharedData's own counter (that one stays 0). The count starts at 0. Releasing
 * the last reference does not delete the task: it hands the owning object to deleteLater() and
 * puts the count back to 1, so later copies and releases never reach 0 again and a task is
 * scheduled for deletion at most once. A task that was never referenced is never scheduled;
 * its QObject parent or its creator owns it.
 */
class ERRAND_EXPORT TaskSharedObject : public QSharedData
{
public:
    /** The counter driven by QExplicitlySharedDataPointer through @c d->ref. */
    class ERRAND_EXPORT RefCount
    {
    public:
        explicit RefCount(QObject *object) noexcept : m_object(object) {}

        bool ref() noexcept { return m_count.ref(); }
        /**
         * Drops one reference. Always returns true, so the shared pointer never deletes:
         * the last release schedules deleteLater() on the owning object instead.
         */
        bool deref() noexcept;

        int loadRelaxed() const noexcept { return m_count.loadRelaxed(); }
        int loadAcquire() const noexcept { return m_count.loadAcquire(); }
        int load() const noexcept { return m_count.loadRelaxed(); }
        operator int() const noexcept { return m_count.loadRelaxed(); }
        QObject *object() const noexcept { return m_object; }

    private:
        Q_DISABLE_COPY(RefCount)

        QAtomicInt m_count;
        QObject *const m_object;
    };

    explicit TaskSharedObject(QObject *object) noexcept : ref(object) {}

    /** The task that contains this part. */
    QObject *object() const noexcept { return ref.object(); }

    /** The task's reference count; it also knows the object to hand to deleteLater(). */
    RefCount ref;

private:
    Q_DISABLE_COPY(TaskSharedObject)
};

#endif // ERRAND_TASKSHAREDOBJECT_H
