// ThreadSanitizer sees only code built with it, and Qt is not. A queued signal, a queued
// invokeMethod() or a deleteLater() crosses threads through the receiver thread's posted-event
// list, guarded by a Qt mutex that ThreadSanitizer cannot see, so every write made before a post
// and read after its delivery would be reported as a race. Linked into every test of a
// ThreadSanitizer build, this file tells ThreadSanitizer about that order:
//
//  - a signal emission releases a token of its sender when it ends (Qt's signal-spy hooks);
//  - a post that instrumented code makes through QCoreApplication::postEvent(),
//    QObject::deleteLater() or a queued functor invokeMethod() releases a token of the
//    receiver (interposed here: the library and the tests reach these through the dynamic
//    linker, so the definitions below win);
//  - an event delivery acquires its receiver's token and, for a queued call, its sender's.
//
// Tokens are slots of a static table picked by object address, so a deleted object's pending
// events still find theirs; two objects sharing a slot only add order. Emissions and posts run
// inside a recursive QMutex that every delivery takes first, so a delivery cannot overtake the
// release of the post it delivers. ThreadSanitizer does not see that mutex: it adds no order of
// its own and takes no part in deadlock detection. Two threads that exchange no events are
// not ordered at all, so their races are still reported.

#include <QtCore/QCoreApplication>
#include <QtCore/QMutex>
#include <QtCore/QObject>
#include <QtCore/private/qobject_p.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

extern "C" {
void __tsan_acquire(void *address);
void __tsan_release(void *address);
}

namespace {

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

template<typename Function>
Function qtFunction(const char *symbol)
{
    void *address = dlsym(RTLD_NEXT, symbol);
    if (!address) {
        std::fprintf(stderr, "TsanQtEvents: %s not found\n", symbol);
        std::abort();
    }
    Function function;
    std::memcpy(&function, &address, sizeof function);
    return function;
}

void emissionBegins(QObject *, int, void **)
{
    orderMutex().lock();
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

bool QMetaObject::invokeMethodImpl(QObject *object, QtPrivate::QSlotObjectBase *slot, Qt::ConnectionType type, void *ret)
{
    using Function = bool (*)(QObject *, QtPrivate::QSlotObjectBase *, Qt::ConnectionType, void *);
    static const Function qt = qtFunction<Function>(
            "_ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv");
    const Post post(object);
    return qt(object, slot, type, ret);
}
