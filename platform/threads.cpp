// Threads and time on top of the C++ standard library, which every supported toolchain
// provides (mingw-w64 with its posix thread model).
#include "platform/threads.h"

#include <system_error>
#include <thread>

bool StartDetachedThread(void (*fn)(void*), void* arg) {
    try {
        std::thread(fn, arg).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

void SleepMs(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

long long MonotonicMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void StopSignal::Raise() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_raised = true;
    }
    m_cond.notify_all();
}

void StopSignal::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_raised = false;
}

bool StopSignal::IsRaised() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_raised;
}

bool StopSignal::WaitMs(unsigned ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cond.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_raised; });
}
