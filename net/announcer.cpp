#include "net/announcer.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "images/append_text.h"
#include "platform/threads.h"
#include "run/run_state.h"

namespace {

// The lock that orders the announcer's start, its sends and its stop. Allocated once and
// never destroyed: a detached thread may still be waiting on it when the process exits.
struct Shared {
    std::mutex mutex;
    std::condition_variable wake;   // a stop or a new generation
    std::condition_variable ended;  // a thread has ended
    uint32_t generation = 0;        // the generation of the latest start
    int threads = 0;                // announcer threads not yet ended
    unsigned pause_ms = ANNOUNCE_PAUSE_MS;
};

Shared& S() {
    static Shared* shared = new Shared;
    return *shared;
}

// Whether the thread of this generation may still send. Called with the lock held.
bool MayAnnounce(const AnnouncerContext* context, uint32_t generation) {
    return generation == S().generation && context->state.load() == TS_RUNNING;
}

void CloseAnnounceSocketLocked() {
    const SocketHandle s = g_announcer.udp_socket.exchange(SOCKET_NONE);
    if (s != SOCKET_NONE) SockClose(s);
}

}  // namespace

unsigned SetAnnouncePauseMs(unsigned ms) {
    std::lock_guard<std::mutex> lock(S().mutex);
    const unsigned previous = S().pause_ms;
    S().pause_ms = ms;
    return previous;
}

SocketHandle OpenAnnounceSocket() {
    const SocketHandle s = SockUdp();
    if (s == SOCKET_NONE) return SOCKET_NONE;
    if (SockBind(s, IPV4_ANY, DISCOVERY_PORT) != 0) {
        SockClose(s);
        return SOCKET_NONE;
    }
    return s;
}

int StartAnnouncer() {
    Shared& sh = S();
    std::lock_guard<std::mutex> lock(sh.mutex);
    const uint32_t generation = ++sh.generation;
    sh.wake.notify_all();  // any thread of an earlier generation gives up at once
    g_announcer.state = TS_RUNNING;
    const SocketHandle s = OpenAnnounceSocket();
    g_announcer.udp_socket = s;
    if (s == SOCKET_NONE) {
        g_announcer.state = TS_STOPPED;
        return 0;
    }
    if (SockSetBroadcast(s, 1) != 0) {
        CloseAnnounceSocketLocked();
        g_announcer.state = TS_STOPPED;
        return 0;
    }
    auto* start = new AnnouncerStart{&g_announcer, generation};
    ++sh.threads;
    if (!StartDetachedThread(AnnouncerThread, start)) {
        --sh.threads;
        delete start;
        CloseAnnounceSocketLocked();
        g_announcer.state = TS_STOPPED;
        return 0;
    }
    return 1;
}

void AnnouncerThread(void* arg) {
    const AnnouncerStart start = *static_cast<AnnouncerStart*>(arg);
    delete static_cast<AnnouncerStart*>(arg);
    AnnouncerContext* const context = start.context;
    Shared& sh = S();
    std::unique_lock<std::mutex> lock(sh.mutex);
    std::vector<InterfaceAddress> list(ANNOUNCE_INTERFACE_CAPACITY);
    // Where this pass starts in the list. A pass sends to at most ANNOUNCE_DATAGRAMS_PER_PASS
    // interfaces; when more are suitable, the next pass takes the next ones, wrapping round,
    // so that each is reached within a few passes (four with the most the platform lists)
    // rather than the ones listed late never. With fewer, every pass sends to all of them.
    size_t next = 0;
    for (int pass = 1; pass <= ANNOUNCE_PASSES; ++pass) {
        if (!MayAnnounce(context, start.generation)) break;
        ListBroadcastInterfaces(list.data(), ANNOUNCE_INTERFACE_CAPACITY);  // an empty list sends nothing
        size_t count = 0;
        while (count < list.size() && list[count].address != 0) ++count;
        const size_t sends = std::min(count, static_cast<size_t>(ANNOUNCE_DATAGRAMS_PER_PASS));
        if (next >= count) next = 0;  // the list may have shrunk since the last pass
        for (size_t i = 0; i < sends; ++i) {
            const InterfaceAddress& entry = list[(next + i) % count];
            BuildAnnouncement(context, entry.address);
            // A failed send (routes gone while a network manager reconfigures, a cable
            // replugged, an odd interface) skips this interface for this pass only: the
            // device must still hear us once the network is back.
            SockSendTo(context->udp_socket, context->message, std::strlen(context->message), entry.broadcast,
                       DISCOVERY_PORT);
        }
        next = count > sends ? (next + sends) % count : 0;
        // The full pause unless a stop or a newer start comes first.
        sh.wake.wait_for(lock, std::chrono::milliseconds(sh.pause_ms),
                         [&] { return !MayAnnounce(context, start.generation); });
    }
    // Only the thread of the current generation reports the end; an older one must not
    // touch the state of a newer run.
    if (start.generation == sh.generation) context->state = TS_STOPPED;
    --sh.threads;
    sh.ended.notify_all();
}

int StopAnnouncer() {
    Shared& sh = S();
    std::unique_lock<std::mutex> lock(sh.mutex);
    g_announcer.state = TS_STOP_REQUESTED;
    sh.wake.notify_all();
    // The thread wakes from its pause at once and ends; its socket is closed only once it
    // no longer sends. The wait is bounded in case it is stuck in the system.
    const bool ended = sh.ended.wait_for(lock, std::chrono::milliseconds(ANNOUNCE_STOP_WAIT_MS),
                                         [&] { return sh.threads == 0; });
    CloseAnnounceSocketLocked();
    return ended ? 1 : 0;
}

int BuildAnnouncement(AnnouncerContext* context, uint32_t address) {
    if (context == nullptr) return 0;
    context->message[0] = '\0';
    char scratch[128];
    std::snprintf(scratch, sizeof scratch, "%s %s\r\n", "ZID-FWTools", "1.0");
    char* end = AppendText(context->message, scratch);
    char dotted[16];
    FormatIPv4(address, dotted);
    std::snprintf(scratch, sizeof scratch, "HOST:http://%s:%u\r\n\r\n", dotted,
                  static_cast<unsigned>(g_server_port.load()));
    AppendText(end, scratch);
    return 1;
}

int ListBroadcastInterfaces(InterfaceAddress* list, int capacity) {
    if (list == nullptr || capacity <= 0) return -1;
    std::memset(list, 0, sizeof(InterfaceAddress) * static_cast<size_t>(capacity));
    std::vector<NetInterface> found(static_cast<size_t>(capacity));
    const int n = ListAnnounceInterfaces(found.data(), capacity);
    for (int i = 0; i < n; ++i) {
        list[i].address = found[i].address;
        list[i].broadcast = found[i].address | ~found[i].netmask;
    }
    return n > 0 ? 0 : -1;
}

bool WaitForAnnouncerEnd(unsigned timeout_ms) {
    Shared& sh = S();
    std::unique_lock<std::mutex> lock(sh.mutex);
    return sh.ended.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return sh.threads == 0; });
}
