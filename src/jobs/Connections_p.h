#ifndef ERRAND_CONNECTIONS_P_H
#define ERRAND_CONNECTIONS_P_H

#include <QtCore/QMetaObject>
#include <QtCore/QObject>

namespace Errand {

// Absolute method index of a normalized signature, looked up once per call site.
inline int methodIndex(const QMetaObject &meta, const char *normalizedSignature)
{
    const int index = meta.indexOfMethod(normalizedSignature);
    Q_ASSERT_X(index >= 0, "Errand::methodIndex", normalizedSignature);
    return index;
}

// The same connection that QObject::connect(sender, SIGNAL(..), receiver, SLOT(..)) makes
// (automatic type, argument types resolved lazily for queued delivery), without parsing and
// normalizing the signatures on every call. Both indexes are absolute method indexes, valid
// for every subclass of the classes they were taken from.
inline void connectByIndex(const QObject *sender, int signalIndex, const QObject *receiver, int methodIndex)
{
    QMetaObject::connect(sender, signalIndex, receiver, methodIndex, Qt::AutoConnection);
}

} // namespace Errand

#endif // ERRAND_CONNECTIONS_P_H
