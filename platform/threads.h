// Threads and time: detached threads, sleeping, and a wait that another thread can cut short.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// Starts fn(arg) on a new detached thread. false when no thread could be started.
bool StartDetachedThread(void (*fn)(void*), void* arg);

// Blocks the calling thread for about ms milliseconds.
void SleepMs(unsigned ms);

// Milliseconds from an arbitrary start, steady.
long long MonotonicMs();

// A flag that one thread raises and others wait for. WaitMs returns as soon as the flag is
// raised, or after ms milliseconds; it never returns early by itself.
class StopSignal {
public:
    void Raise();
    void Clear();
    bool IsRaised() const;
    // true when the flag was raised (before or during the wait), false after the full time.
    bool WaitMs(unsigned ms);

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_raised = false;
};
