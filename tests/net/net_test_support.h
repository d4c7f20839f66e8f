// Test support for the network service: a spy over the socket operations (fixed interface
// lists, captured datagrams that never leave the process, recorded sends and closes,
// injected failures), a small loopback HTTP client, and the fixture of the server tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/http_server.h"
#include "platform/sockets.h"
#include "platform/threads.h"
#include "run/run_state.h"

namespace nettest {

struct Datagram {
    std::string bytes;
    uint32_t address;
    uint16_t port;
    long long at_ms;
    bool server_listening;  // whether the run's server had its listening socket by then
};

struct Send {
    SocketHandle socket;
    size_t length;
};

// Everything the spy's operations consult; one spy at a time.
struct SpyState {
    std::mutex mutex;
    std::vector<NetInterface> interfaces;
    bool enumeration_fails = false;
    int list_calls = 0;
    std::vector<Datagram> datagrams;
    int send_to_failures_after = -1;             // -1: never fail
    bool routes_gone = false;                    // every datagram fails while set
    std::vector<uint32_t> failing_destinations;  // datagrams to these fail
    int failed_sends = 0;
    std::vector<Send> sends;
    std::map<SocketHandle, int> closes;
    bool broadcast_refused = false;
    bool listen_fails = false;
    unsigned listen_delay_ms = 0;  // a slow listen() widens any gap before the server listens
    // The socket for which wait_readable and poll report an error.
    SocketHandle dead_socket = SOCKET_NONE;
    // The next accepts fail with these, in order, leaving the connection waiting.
    std::vector<AcceptFailure> accept_failures;
    unsigned accept_delay_ms = 0;  // a server busy elsewhere: connections wait before they are taken
    int accept_calls = 0;
    int waits = 0;                // waits for readiness of any kind, by the server and everyone else
    std::vector<size_t> offered;  // what each gathered send that took something was given
};

inline SpyState* g_spy = nullptr;

class SocketSpy {
public:
    SocketSpy() {
        g_spy = &m_state;
        SocketOps ops = SystemSocketOps();
        ops.list_interfaces = &ListInterfaces;
        ops.send_to = &SendTo;
        ops.send = &SendData;
        ops.close = &Close;
        ops.set_broadcast = &SetBroadcast;
        ops.listen = &Listen;
        ops.wait_readable = &WaitReadable;
        ops.poll = &Poll;
        ops.send_parts = &SendParts;
        ops.accept = &Accept;
        m_previous = SetSocketOps(ops);
    }
    ~SocketSpy() {
        SetSocketOps(m_previous);
        g_spy = nullptr;
    }
    SocketSpy(const SocketSpy&) = delete;
    SocketSpy& operator=(const SocketSpy&) = delete;

    template <typename F>
    void With(F f) {
        std::lock_guard<std::mutex> lock(m_state.mutex);
        f(m_state);
    }
    std::vector<Datagram> Datagrams() {
        std::lock_guard<std::mutex> lock(m_state.mutex);
        return m_state.datagrams;
    }
    // The lengths of every send made on sockets other than the ones given.
    std::vector<size_t> SendsExcept(SocketHandle a, SocketHandle b = SOCKET_NONE) {
        std::lock_guard<std::mutex> lock(m_state.mutex);
        std::vector<size_t> out;
        for (const Send& s : m_state.sends)
            if (s.socket != a && s.socket != b) out.push_back(s.length);
        return out;
    }
    void ClearSends() {
        std::lock_guard<std::mutex> lock(m_state.mutex);
        m_state.sends.clear();
    }
    int Count(int SpyState::*counter) {
        std::lock_guard<std::mutex> lock(m_state.mutex);
        return m_state.*counter;
    }
    int Closes(SocketHandle s) {
        std::lock_guard<std::mutex> lock(m_state.mutex);
        auto it = m_state.closes.find(s);
        return it == m_state.closes.end() ? 0 : it->second;
    }

private:
    static int ListInterfaces(NetInterface* out, int capacity) {
        std::lock_guard<std::mutex> lock(g_spy->mutex);
        ++g_spy->list_calls;
        if (g_spy->enumeration_fails) return -1;
        const int n = std::min<int>(capacity, static_cast<int>(g_spy->interfaces.size()));
        for (int i = 0; i < n; ++i) out[i] = g_spy->interfaces[static_cast<size_t>(i)];
        return n;
    }
    // Datagrams are captured, never sent: no announcement ever leaves the test.
    static int SendTo(SocketHandle, const void* data, size_t len, uint32_t address, uint16_t port) {
        std::lock_guard<std::mutex> lock(g_spy->mutex);
        if ((g_spy->send_to_failures_after >= 0 &&
             static_cast<int>(g_spy->datagrams.size()) >= g_spy->send_to_failures_after) ||
            g_spy->routes_gone ||
            std::find(g_spy->failing_destinations.begin(), g_spy->failing_destinations.end(), address) !=
                g_spy->failing_destinations.end()) {
            ++g_spy->failed_sends;
            return -1;
        }
        g_spy->datagrams.push_back(
            {std::string(static_cast<const char*>(data), len), address, port, MonotonicMs(),
             g_server.listen_socket.load() != SOCKET_NONE && g_server.listen_socket.load() != 0});
        return static_cast<int>(len);
    }
    static int SendData(SocketHandle s, const void* data, size_t len) {
        {
            std::lock_guard<std::mutex> lock(g_spy->mutex);
            g_spy->sends.push_back({s, len});
        }
        return SystemSocketOps().send(s, data, len);
    }
    // A gathered send is recorded as one send of all its parts.
    static int SendParts(SocketHandle s, const SendPart* parts, int count) {
        size_t total = 0;
        for (int i = 0; i < count; ++i) total += parts[i].length;
        const int r = SystemSocketOps().send_parts(s, parts, count);
        if (r > 0) {
            std::lock_guard<std::mutex> lock(g_spy->mutex);
            g_spy->sends.push_back({s, static_cast<size_t>(r)});
            g_spy->offered.push_back(total);
        }
        return r;
    }
    static int Close(SocketHandle s) {
        {
            std::lock_guard<std::mutex> lock(g_spy->mutex);
            ++g_spy->closes[s];
        }
        return SystemSocketOps().close(s);
    }
    static int SetBroadcast(SocketHandle s, int on) {
        {
            std::lock_guard<std::mutex> lock(g_spy->mutex);
            if (g_spy->broadcast_refused) return -1;
        }
        return SystemSocketOps().set_broadcast(s, on);
    }
    static int Listen(SocketHandle s, int backlog) {
        unsigned delay = 0;
        {
            std::lock_guard<std::mutex> lock(g_spy->mutex);
            if (g_spy->listen_fails) return -1;
            delay = g_spy->listen_delay_ms;
        }
        if (delay > 0) SleepMs(delay);
        return SystemSocketOps().listen(s, backlog);
    }
    static int WaitReadable(SocketHandle s, long sec, long usec) {
        {
            std::lock_guard<std::mutex> lock(g_spy->mutex);
            ++g_spy->waits;
            if (s != SOCKET_NONE && s == g_spy->dead_socket) return -1;
        }
        return SystemSocketOps().wait_readable(s, sec, usec);
    }
    static int Poll(PollItem* items, int count, long timeout_ms) {
        {
            std::lock_guard<std::mutex> lock(g_spy->mutex);
            ++g_spy->waits;
            for (int i = 0; i < count; ++i) {
                if (items[i].socket == SOCKET_NONE) continue;
                if (items[i].socket == g_spy->dead_socket) return -1;
            }
        }
        return SystemSocketOps().poll(items, count, timeout_ms);
    }
    static SocketHandle Accept(SocketHandle s, uint32_t* peer, AcceptFailure* failure) {
        unsigned delay = 0;
        {
            std::lock_guard<std::mutex> lock(g_spy->mutex);
            delay = g_spy->accept_delay_ms;
        }
        if (delay > 0) SleepMs(delay);
        {
            std::lock_guard<std::mutex> lock(g_spy->mutex);
            ++g_spy->accept_calls;
            if (!g_spy->accept_failures.empty()) {
                if (failure != nullptr) *failure = g_spy->accept_failures.front();
                g_spy->accept_failures.erase(g_spy->accept_failures.begin());
                return SOCKET_NONE;
            }
        }
        return SystemSocketOps().accept(s, peer, failure);
    }

    SpyState m_state;
    SocketOps m_previous;
};

inline NetInterface Iface(uint32_t address, uint32_t netmask, unsigned flags) {
    return NetInterface{address, netmask, flags, {}};
}

// A connected pair of loopback TCP sockets.
struct Pair {
    SocketHandle client = SOCKET_NONE;
    SocketHandle server = SOCKET_NONE;
    void Close() {
        if (client != SOCKET_NONE) SockClose(client);
        if (server != SOCKET_NONE) SockClose(server);
        client = server = SOCKET_NONE;
    }
};

inline Pair MakePair() {
    Pair p;
    const SocketHandle l = SockTcp();
    if (l == SOCKET_NONE) return p;
    if (SockBind(l, LoopbackIPv4(), 0) != 0 || SockListen(l, 1) != 0) {
        SockClose(l);
        return p;
    }
    const uint16_t port = SockLocalPort(l);
    p.client = SockTcp();
    if (SockConnect(p.client, LoopbackIPv4(), port) == 0) p.server = SockAccept(l, nullptr);
    SockClose(l);
    return p;
}

inline bool SendText(SocketHandle s, const std::string& text) {
    return text.empty() || SockSend(s, text.data(), text.size()) == static_cast<int>(text.size());
}

// What the peer sends until at least `enough` bytes have come, it closes, or nothing comes
// for timeout_s.
inline std::string ReadAtLeast(SocketHandle s, size_t enough, long timeout_s = 10) {
    std::string out;
    char chunk[8192];
    while (out.size() < enough && SockWaitReadable(s, timeout_s, 0) > 0) {
        const int n = SockRecv(s, chunk, sizeof chunk);
        if (n <= 0) break;
        out.append(chunk, static_cast<size_t>(n));
    }
    return out;
}

// Everything the peer sends until it closes, or until nothing comes for timeout_s.
inline std::string ReadAll(SocketHandle s, long timeout_s = 10) {
    return ReadAtLeast(s, std::string::npos, timeout_s);
}

// One request from a loopback address of the caller's choice (127.0.0.1 unless given);
// returns what came back before the server closed the connection.
inline std::string Fetch(uint16_t port, const std::string& request, uint32_t from = 0,
                         SocketHandle* used = nullptr) {
    const SocketHandle c = SockTcp();
    if (c == SOCKET_NONE) return "<no socket>";
    if (used != nullptr) *used = c;
    if (from != 0 && SockBind(c, from, 0) != 0) {
        SockClose(c);
        return "<no bind>";
    }
    if (SockConnect(c, LoopbackIPv4(), port) != 0) {
        SockClose(c);
        return "<no connection>";
    }
    SendText(c, request);
    std::string reply = ReadAll(c);
    SockClose(c);
    return reply;
}

// Polls cond every millisecond for up to ms; true once it holds.
template <typename Cond>
bool Eventually(Cond cond, long long ms = 5000) {
    const long long end = MonotonicMs() + ms;
    while (!cond()) {
        if (MonotonicMs() > end) return false;
        SleepMs(1);
    }
    return true;
}

inline std::string Get(const std::string& path) { return "GET " + path + " HTTP/1.0\r\nHost: pc\r\n\r\n"; }

inline std::string Header(const char* type, size_t length) {
    return std::string("HTTP/1.0 200 OK\r\nContent-Type: ") + type +
           "\r\nContent-Length: " + std::to_string(length) + "\r\nConnection: close\r\n\r\n";
}

// Deterministic bytes whose period does not divide any send size.
inline std::string Pattern(size_t size, unsigned seed) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 13 + seed + i / 4099) % 251);
    return s;
}

// The server loop on a thread of its own over the spy, with images of the test's choosing.
class ServerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(SockStartup(), 1);
        m_spy = std::make_unique<SocketSpy>();  // no datagram leaves the test
        ResetRunState();
        ASSERT_NE(g_server_port, 0);
        g_device_report = 0;
        g_server.stop_requested = 0;
    }
    void TearDown() override {
        if (m_thread.joinable()) StopServer();
        for (int i = 0; i < IMAGE_SLOT_COUNT; ++i) {
            g_image_data[i] = nullptr;
            g_image_sizes[i] = 0;
        }
        m_spy.reset();
        SockCleanup();
    }
    // Set before the server starts.
    void SetImage(int slot, size_t size) {
        m_images[slot] = Pattern(size, static_cast<unsigned>(slot));
        g_image_data[slot] = size > 0 ? reinterpret_cast<unsigned char*>(&m_images[slot][0]) : nullptr;
        g_image_sizes[slot] = static_cast<uint32_t>(size);
    }
    const std::string& Body(int slot) const { return m_images[slot]; }
    void StartServer() {
        m_done = false;
        m_thread = std::thread([this] {
            m_result = RunServer();
            m_done = true;
        });
        ASSERT_TRUE(Eventually([] { return g_server.listen_socket.load() != SOCKET_NONE; }));
        m_listener = g_server.listen_socket;
        m_listener_closes = m_spy->Closes(m_listener);
    }
    // The unsent set once it is want, or as it is after a while: a served image counts once
    // the server has shut its sending side down, which the peer may see a moment earlier.
    static uint32_t Unsent(uint32_t want) {
        Eventually([&] { return g_unsent_images.load() == want; }, 2000);
        return g_unsent_images.load();
    }
    // Closes of this run's listening socket (handles are reused between runs).
    int ListenerCloses() { return m_spy->Closes(m_listener) - m_listener_closes; }
    bool EndsWithin(long long ms) {
        return Eventually([this] { return m_done.load(); }, ms);
    }
    int JoinServer() {
        m_thread.join();
        return m_result;
    }
    int StopServer() {
        g_server.stop_requested = 1;
        WakeServer();
        const int r = JoinServer();
        g_server.stop_requested = 0;
        return r;
    }
    // Fetches and, for the caller, says which socket was the client's.
    std::string Request(const std::string& text, uint32_t from = 0) {
        SocketHandle used = SOCKET_NONE;
        m_spy->ClearSends();
        std::string reply = Fetch(g_server_port, text, from, &used);
        m_client = used;
        return reply;
    }
    std::vector<size_t> ServerSends() { return m_spy->SendsExcept(m_client); }
    // Pins the loopback client with a manifest fetch.
    void Pin() {
        ASSERT_EQ(Request(Get("/list.lst")).substr(0, 17), "HTTP/1.0 200 OK\r\n");
        ASSERT_EQ(g_pinned_client, LoopbackIPv4());
        g_device_report = 0;
    }

    std::unique_ptr<SocketSpy> m_spy;
    std::string m_images[IMAGE_SLOT_COUNT];
    std::thread m_thread;
    std::atomic<bool> m_done{false};
    int m_result = -1;
    SocketHandle m_listener = SOCKET_NONE;
    int m_listener_closes = 0;
    SocketHandle m_client = SOCKET_NONE;
};

}  // namespace nettest
