#ifndef ERRAND_TESTSUPPORT_LATCH_H
#define ERRAND_TESTSUPPORT_LATCH_H

// Hand-over points between the test thread and pool threads. Built on the standard library's
// mutex and condition variable, which ThreadSanitizer sees, unlike Qt's.

#include <condition_variable>
#include <mutex>

namespace TestSupport {

// Closed until open(); wait() blocks until then. Opening is for good.
class Latch
{
public:
    void open()
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }
    void wait()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_open; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open = false;
};

} // namespace TestSupport

#endif // ERRAND_TESTSUPPORT_LATCH_H
