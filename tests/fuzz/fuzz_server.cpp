// Fuzzes the server's connection handling: the whole server loop over a fake socket layer
// in which the input scripts several peers (connecting from three addresses, sending
// bytes in pieces, closing, resetting, taking their responses slowly or not at all, more of
// them than the server's table holds, and accepts that fail in each of their classes). What
// must hold whatever they do: no socket is used after it is closed or closed twice, every
// connection is closed when the loop ends, nobody but the pinned device receives a
// response once one is pinned, every response is the exact start of the one response the
// updater gives to a request, no connection is reset by the server once its response has
// been handed over or when it is the pinned device's (unless the peer reset it), and the
// loop's result is 0, a final report (completion only with every listed image served) or
// the manifest's kind. Image bodies that
// name a send file are taken from the file's own copy at the offset given, so a wrong
// file or offset shows as a wrong response; every send file is closed when the loop ends,
// and inputs with an odd first byte run without send files.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "images/manifest.h"
#include "net/http_server.h"
#include "platform/sockets.h"
#include "run/run_state.h"

namespace {

constexpr SocketHandle LISTENER = 1000;
constexpr SocketHandle WAKE = 1001;
constexpr SocketHandle FIRST_CONNECTION = 2000;

void Check(bool ok) {
    if (!ok) std::abort();
}

struct Peer {
    uint32_t address = 0;
    std::string inbound;  // sent by the peer, not yet received by the server
    bool fin = false;
    bool reset = false;
    size_t room = 1 << 20;  // what the next send may take; 0: the peer reads nothing
    std::string outbound;   // what the server sent
    bool accepted = false;
    bool closed = false;
    bool shut = false;
};

constexpr SendFileHandle FIRST_SEND_FILE = 3000;

struct World {
    bool send_files = true;
    std::map<SendFileHandle, std::string> files;  // the open send files and their bytes
    SendFileHandle next_file = FIRST_SEND_FILE;
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t at = 0;
    std::map<SocketHandle, Peer> peers;
    std::vector<SocketHandle> pending;  // connected, not yet accepted
    SocketHandle next = FIRST_CONNECTION;
    int accept_failure = 0;  // the class the next accept fails with, or 0
} g_world;

uint8_t Next() { return g_world.at < g_world.size ? g_world.data[g_world.at++] : 0; }

Peer& Live(SocketHandle s) {
    auto it = g_world.peers.find(s);
    Check(it != g_world.peers.end() && it->second.accepted && !it->second.closed);
    return it->second;
}

// The k-th peer that has connected, whatever its state.
Peer* Pick(uint8_t k) {
    if (g_world.peers.empty()) return nullptr;
    auto it = g_world.peers.begin();
    std::advance(it, k % g_world.peers.size());
    return &it->second;
}

// One scripted event per wait.
void Step() {
    const uint8_t op = Next() % 6;
    const uint8_t k = Next();
    const uint32_t addresses[] = {MakeIPv4(10, 0, 0, 2), MakeIPv4(10, 0, 0, 3), MakeIPv4(10, 0, 0, 4)};
    if (op == 0 && k >= 250) {
        g_world.accept_failure = ACCEPT_TRANSIENT + k % 3;
        return;
    }
    if (op == 0 && g_world.peers.size() < 80) {
        Peer p;
        p.address = addresses[k % 3];
        g_world.peers[g_world.next] = p;
        g_world.pending.push_back(g_world.next++);
        return;
    }
    Peer* p = Pick(k);
    if (p == nullptr) return;
    switch (op) {
        case 1: {
            const size_t n = Next();
            const size_t left = g_world.size - g_world.at;
            const size_t take = n < left ? n : left;
            if (!p->fin && !p->reset)
                p->inbound.append(reinterpret_cast<const char*>(g_world.data + g_world.at), take);
            g_world.at += take;
            break;
        }
        case 2: {
            static const char* const kRequests[] = {
                "GET /list.lst HTTP/1.0\r\n\r\n",     "GET /dev/mtd/4 HTTP/1.0\r\n\r\n",
                "GET /dev/mtd/5 HTTP/1.0\r\n\r\n",    "GET /dev/mtd/3 HTTP/1.0\r\n\r\n",
                "GET /erase%20start HTTP/1.0\r\n",    "GET /Upgrade%20completed HTTP/1.0\r\n",
                "GET /checksum%20error HTTP/1.0\r\n", "\r\n"};
            if (!p->fin && !p->reset) p->inbound += kRequests[Next() % 8];
            break;
        }
        case 3: p->fin = true; break;
        case 4: p->reset = true; break;
        case 5: p->room = Next() == 0 ? 0 : static_cast<size_t>(Next()) * 97u; break;
    }
}

int FakePoll(PollItem* items, int count, long) {
    for (int round = 0; round < 4; ++round) {
        int ready = 0;
        for (int i = 0; i < count; ++i) {
            items[i].ready = 0;
            const SocketHandle s = items[i].socket;
            if (s == WAKE) continue;
            if (s == LISTENER) {
                if (!g_world.pending.empty()) items[i].ready = POLL_READ;
            } else {
                Peer& p = Live(s);
                if ((items[i].want & POLL_READ) != 0 && (!p.inbound.empty() || p.fin || p.reset))
                    items[i].ready |= POLL_READ;
                if ((items[i].want & POLL_WRITE) != 0 && (p.room > 0 || p.reset))
                    items[i].ready |= POLL_WRITE;
            }
            if (items[i].ready != 0) ++ready;
        }
        if (ready > 0) return ready;
        if (g_world.at >= g_world.size) return -1;  // the script is over: the loop ends
        Step();
    }
    return 0;  // as a time-out would
}

SocketHandle FakeAccept(SocketHandle s, uint32_t* peer, AcceptFailure* failure) {
    Check(s == LISTENER && failure != nullptr);
    *failure = ACCEPT_TRANSIENT;
    if (g_world.accept_failure != 0) {
        *failure = static_cast<AcceptFailure>(g_world.accept_failure);
        g_world.accept_failure = 0;
        return SOCKET_NONE;
    }
    if (g_world.pending.empty()) return SOCKET_NONE;
    const SocketHandle c = g_world.pending.front();
    g_world.pending.erase(g_world.pending.begin());
    Peer& p = g_world.peers[c];
    if (p.reset) return SOCKET_NONE;  // reset before it was taken, as Windows reports it
    p.accepted = true;
    if (peer != nullptr) *peer = p.address;
    return c;
}

int FakeRecv(SocketHandle s, void* data, size_t len) {
    Peer& p = Live(s);
    if (p.reset) return -1;
    if (!p.inbound.empty()) {
        const size_t n = len < p.inbound.size() ? len : p.inbound.size();
        std::memcpy(data, p.inbound.data(), n);
        p.inbound.erase(0, n);
        return static_cast<int>(n);
    }
    return p.fin ? 0 : SOCK_WOULD_BLOCK;
}

int FakeSendParts(SocketHandle s, const SendPart* parts, int count) {
    Peer& p = Live(s);
    Check(!p.shut);
    // Nobody but the pinned device is answered.
    Check(g_pinned_client.load() == p.address);
    if (p.reset) return -1;
    if (p.room == 0) return SOCK_WOULD_BLOCK;
    size_t taken = 0;
    for (int i = 0; i < count && taken < p.room; ++i) {
        const size_t n = parts[i].length < p.room - taken ? parts[i].length : p.room - taken;
        if (parts[i].file != SEND_FILE_NONE) {
            auto f = g_world.files.find(parts[i].file);
            Check(f != g_world.files.end());
            Check(parts[i].file_offset + parts[i].length <= f->second.size());
            p.outbound.append(f->second, parts[i].file_offset, n);
        } else {
            p.outbound.append(static_cast<const char*>(parts[i].data), n);
        }
        taken += n;
    }
    return static_cast<int>(taken);
}

SendFileHandle FakeSendFileOpen(const void* data, size_t length) {
    if (!g_world.send_files || data == nullptr || length == 0) return SEND_FILE_NONE;
    const SendFileHandle f = g_world.next_file++;
    g_world.files[f] = std::string(static_cast<const char*>(data), length);
    return f;
}

void FakeSendFileClose(SendFileHandle f) { Check(g_world.files.erase(f) == 1); }

int FakeShutdownSend(SocketHandle s) {
    Live(s).shut = true;
    return 0;
}

int FakeClose(SocketHandle s) {
    if (s == LISTENER) return 0;
    Live(s).closed = true;
    return 0;
}

int FakeNoop(SocketHandle s, int) {
    if (s != LISTENER) Live(s);
    return 0;
}

// A linger time of 0 makes the close a reset.
int FakeSetLinger(SocketHandle s, int on, int seconds) {
    const Peer& p = Live(s);
    if (on != 0 && seconds == 0) Check(p.reset || (!p.shut && p.address != g_pinned_client.load()));
    return 0;
}

int FakeWakeOpen(WakeChannel* w) {
    w->wait_on = w->signal_by = WAKE;
    return 0;
}
void FakeWakeSignal(const WakeChannel*) {}
void FakeWakeDrain(const WakeChannel*) {}
void FakeWakeClose(WakeChannel* w) { w->wait_on = w->signal_by = SOCKET_NONE; }

unsigned char g_small[100];
unsigned char g_medium[5000];

// The one response the updater gives to each request it answers.
std::string ImageResponse(const unsigned char* data, size_t size) {
    return "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
           std::to_string(size) + "\r\nConnection: close\r\n\r\n" +
           std::string(reinterpret_cast<const char*>(data), size);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SocketOps ops = SystemSocketOps();
    ops.poll = FakePoll;
    ops.accept = FakeAccept;
    ops.recv = FakeRecv;
    ops.send_parts = FakeSendParts;
    ops.shutdown_send = FakeShutdownSend;
    ops.close = FakeClose;
    ops.set_nonblocking = FakeNoop;
    ops.set_linger = FakeSetLinger;
    ops.wake_open = FakeWakeOpen;
    ops.wake_signal = FakeWakeSignal;
    ops.wake_drain = FakeWakeDrain;
    ops.wake_close = FakeWakeClose;
    ops.send_file_open = FakeSendFileOpen;
    ops.send_file_close = FakeSendFileClose;
    SetSocketOps(ops);
    for (size_t i = 0; i < sizeof g_small; ++i) g_small[i] = static_cast<unsigned char>(i * 3);
    for (size_t i = 0; i < sizeof g_medium; ++i) g_medium[i] = static_cast<unsigned char>(i * 7 + 1);
    g_image_data[1] = g_small;
    g_image_sizes[1] = sizeof g_small;
    g_image_data[2] = g_medium;
    g_image_sizes[2] = sizeof g_medium;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    g_world = World();
    g_world.data = data;
    g_world.size = size;
    g_world.send_files = size == 0 || (data[0] & 1) == 0;
    g_server.state = TS_STOPPED;
    g_server.stop_requested = 0;
    g_server.listen_socket = LISTENER;
    g_announcer.udp_socket = SOCKET_NONE;
    g_pinned_client = NO_CLIENT;
    g_unsent_images = 0;
    g_device_report = 0;

    const int result = RunServer();
    Check(result == 0 || result == REQ_OLD_VERSION || result == REQ_CHECKSUM_ERROR || result == REQ_LIST ||
          (result == REQ_UPGRADE_COMPLETED && g_unsent_images.load() == 0));
    Check(g_server.state.load() == TS_STOPPED && g_server.listen_socket.load() == SOCKET_NONE);
    Check(g_world.files.empty());  // every send file is closed with the loop

    std::string manifest;
    {
        ServerContext context;
        BuildManifest(&context);
        manifest = context.buffer;
    }
    const std::string answers[] = {
        "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(manifest.size()) +
            "\r\nConnection: close\r\n\r\n" + manifest,
        ImageResponse(g_small, sizeof g_small), ImageResponse(g_medium, sizeof g_medium),
        ImageResponse(nullptr, 0)};
    for (const auto& [handle, peer] : g_world.peers) {
        Check(!peer.accepted || peer.closed);  // every connection is closed at the end
        if (peer.outbound.empty()) continue;
        bool known = false;
        for (const std::string& a : answers)
            known = known || a.compare(0, peer.outbound.size(), peer.outbound) == 0;
        Check(known);
    }
    return 0;
}
