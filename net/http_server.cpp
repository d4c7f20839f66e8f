#include "net/http_server.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "images/append_text.h"
#include "images/manifest.h"
#include "net/announcer.h"
#include "net/request_reader.h"
#include "platform/threads.h"
#include "run/run_state.h"

namespace {

// Guards g_server.conn_socket between the server thread, which opens and closes the
// connection, and a stopping thread, which may shut it down: the handle is never used by
// the stopper after the server has let go of it. Never destroyed (see announcer.cpp).
std::mutex& ConnMutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}

void SetConnection(SocketHandle s) {
    std::lock_guard<std::mutex> lock(ConnMutex());
    g_server.conn_socket = s;
}

void CloseConnection() {
    SocketHandle s;
    {
        std::lock_guard<std::mutex> lock(ConnMutex());
        s = g_server.conn_socket.exchange(SOCKET_NONE);
    }
    if (s == SOCKET_NONE) return;
    // A stopped run drops what a peer has not taken yet instead of lingering 2 seconds
    // over it. Otherwise the close waits (outside the lock) for queued data as usual.
    if (g_server.stop_requested.load() != 0) SockSetLinger(s, 1, 0);
    SockClose(s);
}

bool StopPending() { return g_server.stop_requested.load() != 0 || g_server.state.load() != TS_RUNNING; }

int SendAll(SocketHandle s, const char* data, size_t n) { return SockSend(s, data, n) == -1 ? 0 : 1; }

int SendHeader(SocketHandle s, const char* content_type, unsigned long length) {
    char header[1024];
    char line[128];
    header[0] = '\0';
    char* end = AppendText(header, "HTTP/1.0 200 OK\r\n");
    end = AppendText(end, "Content-Type: ");
    end = AppendText(end, content_type);
    end = AppendText(end, "\r\n");
    std::snprintf(line, sizeof line, "Content-Length: %lu\r\n", length);
    end = AppendText(end, line);
    end = AppendText(end, "Connection: close\r\n");
    end = AppendText(end, "\r\n");
    return SendAll(s, header, static_cast<size_t>(end - header));
}

// Whether the connection's peer may take part: anyone until a device is pinned, then only
// that device.
bool Admitted(uint32_t peer) {
    const uint32_t pinned = g_pinned_client.load();
    return pinned == NO_CLIENT || pinned == peer;
}

bool IsPinned(uint32_t peer) {
    const uint32_t pinned = g_pinned_client.load();
    return pinned != NO_CLIENT && pinned == peer;
}

void Pin(uint32_t peer) {
    if (g_pinned_client.load() == NO_CLIENT) g_pinned_client = peer;
}

// Acts on one classified request. true when the loop ends (with the connection open).
bool Dispatch(uint32_t peer, int* result) {
    const int kind = g_server.request_kind;
    // Once a device is pinned nobody else is answered or heard.
    if (!Admitted(peer)) return false;
    switch (kind) {
        case REQ_ERASE_START:
        case REQ_ERASE_FINISH:
        case REQ_WRITING:
        case REQ_WROTE: {
            // A manifest fetch that the window has not seen yet is what opens its progress
            // window; a progress report right behind it must not hide it. Both reset the
            // window's silence counter, so keeping the fetch loses nothing.
            int32_t pending = g_device_report.load();
            while (pending != REQ_LIST && !g_device_report.compare_exchange_weak(pending, kind)) {
            }
            *result = kind;
            return false;
        }
        case REQ_OLD_VERSION:
        case REQ_CHECKSUM_ERROR:
            // Final reports count only from the device being updated: before any device
            // is pinned they change nothing.
            if (!IsPinned(peer)) return false;
            *result = kind;
            return true;
        case REQ_UPGRADE_COMPLETED:
            if (!IsPinned(peer)) return false;
            *result = kind;
            if (g_unsent_images.load() == 0) return true;
            SkipHeaderLines(&g_server);
            return false;
        case REQ_LIST:
            if (!SkipHeaderLines(&g_server)) return false;
            Pin(peer);
            g_device_report = REQ_LIST;
            *result = REQ_LIST;
            StopAnnouncer();
            if (BuildManifest(&g_server)) SendManifest(&g_server);
            return false;
        case REQ_IMAGE_MTD3:
        case REQ_IMAGE_MTD4:
        case REQ_IMAGE_MTD5:
        case REQ_IMAGE_MTD6:
            if (!SkipHeaderLines(&g_server)) return false;
            Pin(peer);
            SendImage(&g_server);
            return false;
        default: return false;
    }
}

}  // namespace

SocketHandle OpenListenSocket() {
    const SocketHandle s = SockTcp();
    if (s == SOCKET_NONE) return SOCKET_NONE;
    SockSetLinger(s, 1, LINGER_SECONDS);  // best effort
    if (SockBind(s, IPV4_ANY, g_server_port.load()) != 0 || SockListen(s, LISTEN_BACKLOG) != 0) {
        SockClose(s);
        return SOCKET_NONE;
    }
    return s;
}

int RunServer() {
    g_server.state = TS_RUNNING;
    int result = 0;
    if (g_server.stop_requested.load() != 0) {
        const SocketHandle opened = g_server.listen_socket.exchange(SOCKET_NONE);
        if (opened != SOCKET_NONE) SockClose(opened);
        g_server.state = TS_STOPPED;
        return 0;
    }
    // The worker opens the listening socket before it starts announcing, so that a device
    // that answers the first announcement at once finds the server listening.
    SocketHandle listener = g_server.listen_socket.load();
    if (listener == SOCKET_NONE) listener = OpenListenSocket();
    g_server.listen_socket = listener;
    if (listener == SOCKET_NONE) {
        g_server.state = TS_STOPPED;
        return 0;
    }
    int accept_failures = 0;
    while (!StopPending()) {
        // A bounded wait, so that a stop is seen within a quarter of a second; a failing
        // wait means the listening socket is dead (closed, or the socket library stopped).
        const int ready = WaitReadable(listener, 0, ACCEPT_POLL_US);
        if (ready < 0) break;
        if (ready == 0) continue;
        uint32_t peer = 0;
        const SocketHandle conn = SockAccept(listener, &peer);
        if (conn == SOCKET_NONE) {
            // A connection that went away before it was taken fails once; a socket that
            // fails every time is dead. Either way no tight loop.
            if (++accept_failures >= ACCEPT_FAILURE_LIMIT) break;
            SleepMs(ACCEPT_RETRY_MS);
            continue;
        }
        accept_failures = 0;
        SetConnection(conn);
        if (g_server.stop_requested.load() != 0) InterruptServerConnection();  // a stop that just came
        if (ReadRequest(&g_server) && Dispatch(peer, &result)) break;
        CloseConnection();
    }
    g_server.listen_socket = SOCKET_NONE;
    SockClose(listener);
    CloseConnection();
    g_server.state = TS_STOPPED;
    return result;
}

int SendManifest(ServerContext* context) {
    if (context == nullptr) return 0;
    const void* nul = std::memchr(context->buffer, '\0', sizeof context->buffer);
    const size_t length =
        nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - context->buffer) : 0;
    if (!SendHeader(context->conn_socket, "text/plain", static_cast<unsigned long>(length))) return 0;
    return SendAll(context->conn_socket, context->buffer, length);
}

int SendImage(ServerContext* context) {
    if (context == nullptr) return 0;
    const int kind = context->request_kind;
    if (kind < REQ_IMAGE_MTD3 || kind > REQ_IMAGE_MTD6) return 0;
    const int slot = kind - REQ_IMAGE_MTD3;
    const unsigned char* const data = g_image_data[slot];
    // An empty slot has no data; its size is 0 by the image store's rule, and it is never
    // read from even if a size were left behind.
    const uint32_t size = data != nullptr ? g_image_sizes[slot] : 0;
    const SocketHandle s = context->conn_socket;
    if (!SendHeader(s, "application/octet-stream", size)) return 0;
    for (uint32_t offset = 0; offset < size;) {
        if (context->stop_requested.load() != 0) return 0;
        const uint32_t n = size - offset < IMAGE_PIECE_SIZE ? size - offset : IMAGE_PIECE_SIZE;
        std::memset(context->buffer, 0, sizeof context->buffer);
        std::memcpy(context->buffer, data + offset, n);
        if (!SendAll(s, context->buffer, n)) return 0;
        offset += n;
    }
    // Sent whole: the slot is served, however often it was fetched before.
    g_unsent_images &= ~(1u << slot);
    return 1;
}

void InterruptServerConnection() {
    std::lock_guard<std::mutex> lock(ConnMutex());
    const SocketHandle s = g_server.conn_socket.load();
    if (s != SOCKET_NONE) SockShutdown(s);
}
