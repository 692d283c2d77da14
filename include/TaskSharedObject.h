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
        /** A count of 0 for @p object, the QObject to hand to deleteLater() at the last release. */
        explicit RefCount(QObject *object) noexcept : m_object(object) {}

        /** Adds one reference (atomic increment); true unless the count wrapped to 0. */
        bool ref() noexcept { return m_count.ref(); }
        /**
         * Drops one reference. Always returns true, so the shared pointer never deletes:
         * the last release schedules deleteLater() on the owning object instead.
         */
        bool deref() noexcept;

        /** The current count, read with relaxed ordering. */
        int loadRelaxed() const noexcept { return m_count.loadRelaxed(); }
        /** The current count, read with acquire ordering. */
        int loadAcquire() const noexcept { return m_count.loadAcquire(); }
        /** The current count, read with relaxed ordering, as QAtomicInt::load() does. */
        int load() const noexcept { return m_count.loadRelaxed(); }
        /** The current count, read with relaxed ordering. */
        operator int() const noexcept { return m_count.loadRelaxed(); }
        /** The object handed to deleteLater() when the last reference goes. */
        QObject *object() const noexcept { return m_object; }

    private:
        Q_DISABLE_COPY(RefCount)

        QAtomicInt m_count;
        QObject *const m_object;
    };

    /** A reference count of 0 belonging to @p object, the task that contains this part. */
    explicit TaskSharedObject(QObject *object) noexcept : ref(object) {}

    /** The task that contains this part. */
    QObject *object() const noexcept { return ref.object(); }

    /** The task's reference count; it also knows the object to hand to deleteLater(). */
    RefCount ref;

private:
    Q_DISABLE_COPY(TaskSharedObject)
};

#endif // ERRAND_TASKSHAREDOBJECT_H
