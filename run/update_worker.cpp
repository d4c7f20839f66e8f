#include "run/update_worker.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "net/announcer.h"
#include "net/http_server.h"
#include "platform/threads.h"
#include "run/run_state.h"

namespace {

// Orders the runs: at most one worker is inside a run at a time, and a stop request is
// never lost between the worker's checks and its starts. Never destroyed, since a detached
// worker may still use it while the process exits.
struct Runs {
    std::mutex mutex;
    std::condition_variable changed;
    int threads = 0;           // worker threads that have not yet returned
    bool in_progress = false;  // a worker is between its count-in and its count-out
};

Runs& R() {
    static Runs* runs = new Runs;
    return *runs;
}

void RequestStopLocked() {
    g_server.stop_requested = 1;
    WakeServer();
}

void ThreadEnds(bool ran) {
    Runs& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (ran) r.in_progress = false;
    --r.threads;
    r.changed.notify_all();
}

}  // namespace

int32_t OutcomeAfterServer(int result, int32_t outcome) {
    switch (result) {
        case 0: return OUTCOME_NO_DEVICE;
        case REQ_OLD_VERSION: return OUTCOME_OLD_VERSION;
        case REQ_CHECKSUM_ERROR: return OUTCOME_FAILED;
        case REQ_UPGRADE_COMPLETED: return OUTCOME_COMPLETED;
        case REQ_LIST: return OUTCOME_FAILED;
        default: return outcome;
    }
}

int MarkServerStopped() {
    g_server.state = TS_STOPPED;
    WakeServer();  // a running loop ends on it at once
    return 0;
}

void UpdateWorker(void* /*ignored*/) {
    Runs& r = R();
    {
        std::unique_lock<std::mutex> lock(r.mutex);
        ++r.threads;
        // A new run never overlaps the previous one: its worker has been told to stop and
        // ends shortly; until then g_server, g_worker_active and the announcer are its own.
        if (!r.changed.wait_for(lock, std::chrono::milliseconds(PREVIOUS_RUN_WAIT_MS),
                                [&] { return !r.in_progress; })) {
            --r.threads;
            r.changed.notify_all();
            lock.unlock();
            g_update_outcome = OUTCOME_NO_DEVICE;  // the network service could not start
            return;
        }
        r.in_progress = true;
        g_server.stop_requested = 0;
        g_worker_active += 1;
    }
    ResetRunState();

    bool started = false;
    {
        // Checked and started under the lock, so that a stop either comes before (nothing
        // is started) or after (and then stops what was started).
        std::lock_guard<std::mutex> lock(r.mutex);
        if (g_server.stop_requested.load() == 0) {
            // Listening first: the first announcement goes out at once, and a device that
            // answers it straight away must not be refused. When no listening socket can
            // be made, RunServer tries once more and reports the failure as before.
            g_server.listen_socket = OpenListenSocket();
            started = StartAnnouncer() == 1;
            if (!started) g_update_outcome = OUTCOME_NO_DEVICE;
        }
    }
    if (!started) {
        const SocketHandle listener = g_server.listen_socket.exchange(SOCKET_NONE);
        if (listener != SOCKET_NONE) SockClose(listener);
        g_worker_active = 0;
        ThreadEnds(true);
        return;
    }

    const int result = RunServer();
    {
        // A run that the window has already ended keeps the outcome the window gave it: a
        // late result must not turn up as the first outcome of the next run.
        std::lock_guard<std::mutex> lock(r.mutex);
        if (g_server.stop_requested.load() == 0) {
            g_update_outcome = OutcomeAfterServer(result, g_update_outcome.load());
        }
    }
    StopAnnouncer();
    MarkServerStopped();
    g_worker_active = 0;
    ThreadEnds(true);
}

void StopUpdateRunNetwork() {
    // Held throughout, so that the stop applies to the run that is current now: a worker
    // waiting to begin the next run cannot count itself in and have its fresh announcer
    // socket closed or its server marked stopped by this stop.
    std::lock_guard<std::mutex> lock(R().mutex);
    if (g_worker_active.load() <= 0) return;
    RequestStopLocked();
    StopAnnouncer();
    MarkServerStopped();
}

bool WaitForWorkerEnd(unsigned timeout_ms) {
    Runs& r = R();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    {
        std::unique_lock<std::mutex> lock(r.mutex);
        while (r.threads > 0) {
            // Also a run whose worker counted itself in after the window's stop.
            if (r.in_progress && g_server.stop_requested.load() == 0) RequestStopLocked();
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline) return false;
            const auto slice = std::chrono::milliseconds(50);
            r.changed.wait_for(lock, deadline - now < slice ? deadline - now : slice);
        }
    }
    const auto now = std::chrono::steady_clock::now();
    const auto left =
        now < deadline ? std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() : 0;
    return WaitForAnnouncerEnd(static_cast<unsigned>(left));
}
