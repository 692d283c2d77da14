#include "TaskSharedObject.h"

#include <QtCore/QObject>

bool TaskSharedObject::RefCount::deref() noexcept
{
    if (m_count.deref())
        return true;
    // Last reference gone: the event loop deletes the task. Putting the count back to 1 means
    // that no later copy and release can bring it to 0 again and schedule a second deletion.
    m_count.ref();
    if (m_object)
        m_object->deleteLater();
    return true;
}
