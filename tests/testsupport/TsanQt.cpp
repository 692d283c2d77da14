// ThreadSanitizer sees only code built with it, and Qt is not: the order that Qt's own locks
// give is invisible to it, and every access that such a lock orders would be reported as a race.
// Linked into every test of a ThreadSanitizer build, this file tells ThreadSanitizer about that
// order in the two places where the library and the tests rely on it. It interposes some of
// Qt's out-of-line functions (the library and the tests reach them through the dynamic linker,
// so the executable's definitions win) and forwards each call to Qt's own implementation.
//
// QReadWriteLock, which guards the registry: each lock and unlock is reported as the
// acquisition or release of a read or a write lock.
//
// Posted events: a queued signal, a queued invokeMethod() or a deleteLater() crosses threads
// through the receiver thread's posted-event list, guarded by a Qt mutex.
//  - a signal emission releases a token of its sender when it ends (Qt's signal-spy hooks);
//  - a post that instrumented code makes through QCoreApplication::postEvent(),
//    QObject::deleteLater() or a queued functor invokeMethod() releases a token of the
//    receiver;
//  - an event delivery acquires its receiver's token and, for a queued call, its sender's;
//  - connecting a functor releases a token of the sender, before Qt adds the connection, and
//    every emission acquires it first: Qt's connection lock orders a connection made in one
//    thread before the emission in another that calls it;
//  - a moveToThread() releases the tokens of the object and of its children, whose events Qt
//    itself may post from then on (a child QFutureWatcher's, say) and the new thread delivers.
// Tokens are slots of a static table picked by object address, so a deleted object's pending
// events still find theirs; two objects sharing a slot only add order. Emissions and posts run
// inside a recursive QMutex that every delivery takes first, so a delivery cannot overtake the
// release of the post it delivers. ThreadSanitizer does not see that mutex: it adds no order of
// its own and takes no part in deadlock detection. Two threads that exchange no events are
// not ordered at all, so their races are still reported.

#include <QtCore/QCoreApplication>
#include <QtCore/QMutex>
#include <QtCore/QObject>
#include <QtCore/QReadWriteLock>
#include <QtCore/private/qobject_p.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

extern "C" {
void AnnotateRWLockAcquired(const char *file, int line, const volatile void *lock, long isWrite);
void AnnotateRWLockReleased(const char *file, int line, const volatile void *lock, long isWrite);
void __tsan_acquire(void *address);
void __tsan_release(void *address);
}

namespace {

// Qt's own definition of an interposed function.
template<typename Function>
Function qtFunction(const char *symbol)
{
    void *address = dlsym(RTLD_NEXT, symbol);
    if (!address) {
        std::fprintf(stderr, "TsanQt: %s not found\n", symbol);
        std::abort();
    }
    Function function;
    std::memcpy(&function, &address, sizeof function);
    return function;
}

// --- QReadWriteLock ---------------------------------------------------------------------------

using LockFunction = void (*)(QReadWriteLock *);

// The locks this thread holds and whether for writing; the latest entry for a lock is the one
// an unlock() releases. Trivially destructible, since the registry's destructor locks at exit,
// after thread-local objects with destructors are gone.
struct Held
{
    const void *lock;
    bool isWrite;
};
thread_local Held t_held[16];
thread_local int t_heldCount = 0;

void acquired(const QReadWriteLock *lock, bool isWrite)
{
    AnnotateRWLockAcquired(__FILE__, __LINE__, lock, isWrite);
    if (t_heldCount == int(std::size(t_held))) {
        std::fprintf(stderr, "TsanQt: too many locks held\n");
        std::abort();
    }
    t_held[t_heldCount++] = { lock, isWrite };
}

// --- posted events ---------------------------------------------------------------------------

QRecursiveMutex &orderMutex()
{
    static QRecursiveMutex mutex;
    return mutex;
}

quint64 g_tokens[4096];

void *token(const void *object)
{
    return &g_tokens[(quintptr(object) >> 4) % std::size(g_tokens)];
}

// Emissions and posts: the whole call is inside the mutex, the release at its end.
class Post
{
public:
    explicit Post(const QObject *object) : m_object(object) { orderMutex().lock(); }
    ~Post()
    {
        __tsan_release(token(m_object));
        orderMutex().unlock();
    }
    Q_DISABLE_COPY(Post)

private:
    const QObject *const m_object;
};

void emissionBegins(QObject *sender, int, void **)
{
    orderMutex().lock();
    // Connections order through the second half of the sender's token: a synchronisation object
    // of its own for ThreadSanitizer, which tells them apart by address.
    __tsan_acquire(static_cast<char *>(token(sender)) + 4);
}

void emissionEnds(QObject *sender, int)
{
    __tsan_release(token(sender));
    orderMutex().unlock();
}

bool eventDelivered(void **data)
{
    const auto *receiver = static_cast<const QObject *>(data[0]);
    const auto *event = static_cast<const QEvent *>(data[1]);
    const QMutexLocker wait(&orderMutex());
    __tsan_acquire(token(receiver));
    if (event->type() == QEvent::MetaCall) {
        if (const QObject *sender = static_cast<const QAbstractMetaCallEvent *>(event)->sender())
            __tsan_acquire(token(sender));
    }
    return false; // let Qt deliver it
}

QSignalSpyCallbackSet g_hooks = { emissionBegins, nullptr, emissionEnds, nullptr };

// Installed before main(), while only this thread runs.
void installHooks()
{
    qt_register_signal_spy_callbacks(&g_hooks);
    QInternal::registerCallback(QInternal::EventNotifyCallback, eventDelivered);
}
Q_CONSTRUCTOR_FUNCTION(installHooks)

} // namespace

void QCoreApplication::postEvent(QObject *receiver, QEvent *event, int priority)
{
    using Function = void (*)(QObject *, QEvent *, int);
    static const Function qt = qtFunction<Function>("_ZN16QCoreApplication9postEventEP7QObjectP6QEventi");
    const Post post(receiver);
    qt(receiver, event, priority);
}

void QObject::deleteLater()
{
    using Function = void (*)(QObject *);
    static const Function qt = qtFunction<Function>("_ZN7QObject11deleteLaterEv");
    const Post post(this);
    qt(this);
}

QMetaObject::Connection QObject::connectImpl(const QObject *sender, void **signal, const QObject *receiver,
    void **slotPtr, QtPrivate::QSlotObjectBase *slot, Qt::ConnectionType type, const int *types,
    const QMetaObject *senderMetaObject)
{
    using Function = decltype(&QObject::connectImpl);
    static const Function qt = qtFunction<Function>(
        "_ZN7QObject11connectImplEPKS_PPvS1_S3_PN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPKiPK11QMetaObject");
    __tsan_release(static_cast<char *>(token(sender)) + 4);
    return qt(sender, signal, receiver, slotPtr, slot, type, types, senderMetaObject);
}

void QObject::moveToThread(QThread *thread)
{
    using Function = void (*)(QObject *, QThread *);
    static const Function qt = qtFunction<Function>("_ZN7QObject12moveToThreadEP7QThread");
    __tsan_release(token(this));
    for (const QObject *child : children())
        __tsan_release(token(child));
    qt(this, thread);
}

bool QMetaObject::invokeMethodImpl(QObject *object, QtPrivate::QSlotObjectBase *slot, Qt::ConnectionType type, void *ret)
{
    using Function = bool (*)(QObject *, QtPrivate::QSlotObjectBase *, Qt::ConnectionType, void *);
    static const Function qt = qtFunction<Function>(
            "_ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv");
    const Post post(object);
    return qt(object, slot, type, ret);
}

void QReadWriteLock::lockForRead()
{
    static const LockFunction qt = qtFunction<LockFunction>("_ZN14QReadWriteLock11lockForReadEv");
    qt(this);
    acquired(this, false);
}

void QReadWriteLock::lockForWrite()
{
    static const LockFunction qt = qtFunction<LockFunction>("_ZN14QReadWriteLock12lockForWriteEv");
    qt(this);
    acquired(this, true);
}

void QReadWriteLock::unlock()
{
    static const LockFunction qt = qtFunction<LockFunction>("_ZN14QReadWriteLock6unlockEv");
    for (int i = t_heldCount - 1; i >= 0; --i) {
        if (t_held[i].lock == this) {
            AnnotateRWLockReleased(__FILE__, __LINE__, this, t_held[i].isWrite);
            std::copy(t_held + i + 1, t_held + t_heldCount, t_held + i);
            --t_heldCount;
            break;
        }
    }
    qt(this);
}
