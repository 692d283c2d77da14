#ifndef ERRAND_METATYPES_P_H
#define ERRAND_METATYPES_P_H

#include "Job.h"

namespace Errand {

// Queued connections look argument types up by name when the signal is emitted, and moc only
// registers Job::State and Job::Error once something asks the meta-object for them. Objects
// that emit or receive these types therefore make sure of the registration when they are
// built, so that a task moved to another thread can report back from its first signal on.
inline void registerEnumMetaTypes()
{
    static const bool registered = (qRegisterMetaType<Job::State>(), qRegisterMetaType<Job::Error>(), true);
    Q_UNUSED(registered)
}

} // namespace Errand

#endif // ERRAND_METATYPES_P_H
