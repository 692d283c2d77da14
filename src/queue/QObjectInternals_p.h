#ifndef ERRAND_QOBJECTINTERNALS_P_H
#define ERRAND_QOBJECTINTERNALS_P_H

// The parts of QObject's private data that the queue and the list model read to learn which
// sender is being delivered: QObjectPrivate::ConnectionData and QObjectPrivate::Sender. Their
// layout is the same in Qt 5.15 and Qt 6.4; Qt 6 declares them in a header of their own.
// Both suites that replay the fuzzer corpus check, on each Qt, that reading them gives the
// same answer as QObject::sender().

#include <QtCore/private/qobject_p.h>
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
#include <QtCore/private/qobject_p_p.h>
#endif

#endif // ERRAND_QOBJECTINTERNALS_P_H
