#ifndef ERRAND_DELETEGUARD_P_H
#define ERRAND_DELETEGUARD_P_H

#include "Task.h"

#include <QtCore/QExplicitlySharedDataPointer>

namespace Errand {

// Tells a call that emits a signal or runs application code (start(), abort(), a task factory)
// whether a handler deleted the object it works on meanwhile. The guard links itself, on the
// stack, into a chain whose head the object keeps in a member named m_deleteGuards (the class
// befriends DeleteGuard); the object's destructor flags every guard in the chain. Jobs, tasks,
// workers and queues are used from one thread, so unlike a QPointer this needs no atomics and
// no allocation, and guards leave the chain in the reverse order of their creation.
class DeleteGuard
{
public:
// The object keeps the address of a guard on the stack only until the guard's destructor takes
// it back; GCC's dangling-pointer analysis cannot see that after inlining.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdangling-pointer"
#endif
    template<class T>
    explicit DeleteGuard(const T &object) noexcept
        : m_head(&object.m_deleteGuards)
        , m_next(object.m_deleteGuards)
    {
        *m_head = this;
    }
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic pop
#endif
    ~DeleteGuard()
    {
        if (m_head)
            *m_head = m_next;
    }

    bool deleted() const noexcept { return !m_head; }

    // For the destructor of a guarded object.
    static void objectDeleted(DeleteGuard *head) noexcept
    {
        for (; head; head = head->m_next)
            head->m_head = nullptr;
    }

private:
    Q_DISABLE_COPY(DeleteGuard)

    DeleteGuard **m_head;
    DeleteGuard *const m_next;
};

// A task that its job or queue no longer claims, because a handler deleted it before it could,
// goes to deleteLater() as the release of their reference would have sent it.
inline void releaseUnclaimed(Task *task)
{
    const QExplicitlySharedDataPointer<Task> last(task);
}

} // namespace Errand

#endif // ERRAND_DELETEGUARD_P_H
