// ThreadSanitizer sees only code built with it, and Qt is not: a QReadWriteLock taken by the
// registry is invisible to it, so every table access that the lock orders would be reported as
// a race. Linked into every test of a ThreadSanitizer build, this file interposes the
// lock's out-of-line members (the library reaches them through the dynamic linker, so the
// executable's definitions win), forwards each call to Qt's own implementation and tells
// ThreadSanitizer what was acquired and released, as a read or a write lock.

#include <QtCore/QReadWriteLock>

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

extern "C" {
void AnnotateRWLockAcquired(const char *file, int line, const volatile void *lock, long isWrite);
void AnnotateRWLockReleased(const char *file, int line, const volatile void *lock, long isWrite);
}

namespace {

using LockFunction = void (*)(QReadWriteLock *);

LockFunction qtFunction(const char *symbol)
{
    void *address = dlsym(RTLD_NEXT, symbol);
    if (!address) {
        std::fprintf(stderr, "TsanReadWriteLock: %s not found\n", symbol);
        std::abort();
    }
    LockFunction function;
    std::memcpy(&function, &address, sizeof function);
    return function;
}

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
        std::fprintf(stderr, "TsanReadWriteLock: too many locks held\n");
        std::abort();
    }
    t_held[t_heldCount++] = { lock, isWrite };
}

} // namespace

void QReadWriteLock::lockForRead()
{
    static const LockFunction qt = qtFunction("_ZN14QReadWriteLock11lockForReadEv");
    qt(this);
    acquired(this, false);
}

void QReadWriteLock::lockForWrite()
{
    static const LockFunction qt = qtFunction("_ZN14QReadWriteLock12lockForWriteEv");
    qt(this);
    acquired(this, true);
}

void QReadWriteLock::unlock()
{
    static const LockFunction qt = qtFunction("_ZN14QReadWriteLock6unlockEv");
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
