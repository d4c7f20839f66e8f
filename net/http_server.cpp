#include "net/http_server.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "images/append_text.h"
#include "images/manifest.h"
#include "net/announcer.h"
#include "net/request_reader.h"
#include "platform/threads.h"
#include "run/run_state.h"

namespace {

// The wake channel of the loop that runs now. A stopper signals it under the lock, so that
// it never signals a channel the loop is closing. Never destroyed: a detached worker may
// still use it while the process exits.
struct WakeState {
    std::mutex mutex;
    WakeChannel channel;
    bool open = false;
};

WakeState& Wake() {
    static WakeState* w = new WakeState;
    return *w;
}

bool StopPending() { return g_server.stop_requested.load() != 0 || g_server.state.load() != TS_RUNNING; }

// Whether the connection's peer may fetch: anyone until a device is pinned, then only that
// device.
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

// Posts a progress report for the window. A manifest fetch that the window has not seen
// yet is what opens its progress window; a progress report right behind it must not hide
// it. Both reset the window's silence counter, so keeping the fetch loses nothing.
void PostProgress(int kind) {
    int32_t pending = g_device_report.load();
    while (pending != REQ_LIST && !g_device_report.compare_exchange_weak(pending, kind)) {
    }
}

// The response header, as the device has always received it.
size_t ComposeHeader(char* area, const char* content_type, unsigned long length) {
    char line[128];
    area[0] = '\0';
    char* end = AppendText(area, "HTTP/1.0 200 OK\r\n");
    end = AppendText(end, "Content-Type: ");
    end = AppendText(end, content_type);
    end = AppendText(end, "\r\n");
    std::snprintf(line, sizeof line, "Content-Length: %lu\r\n", length);
    end = AppendText(end, line);
    end = AppendText(end, "Connection: close\r\n");
    end = AppendText(end, "\r\n");
    return static_cast<size_t>(end - area);
}

enum class Phase { FREE, HEAD, SEND, LINGER };

struct Connection {
    SocketHandle socket = SOCKET_NONE;
    uint32_t peer = 0;
    Phase phase = Phase::FREE;
    unsigned long long order = 0;  // accept order, for choosing whom to drop when full
    long long since_ms = 0;        // accepted (HEAD), last progress (SEND), shut down (LINGER)
    RequestHead head;
    char header[1024];
    size_t header_length = 0;
    char text[SERVER_BUFFER_SIZE];  // the manifest, copied out of the shared buffer
    const unsigned char* body = nullptr;
    size_t body_length = 0;
    SendFileHandle body_file = SEND_FILE_NONE;  // the body's send file, or none
    size_t sent = 0;
    int slot = -1;  // the image slot this response serves, or -1
    size_t drained = 0;
};

// Each image's send file for one loop: the system hands the images to the sockets from
// there without copying them through this process. A slot without one (empty, or the
// platform has none) is sent from its memory copy.
class SendFiles {
public:
    SendFiles() {
        for (int i = 0; i < IMAGE_SLOT_COUNT; ++i)
            m_files[i] =
                g_image_data[i] != nullptr ? SendFileOpen(g_image_data[i], g_image_sizes[i]) : SEND_FILE_NONE;
    }
    ~SendFiles() {
        for (SendFileHandle f : m_files)
            if (f != SEND_FILE_NONE) SendFileClose(f);
    }
    SendFiles(const SendFiles&) = delete;
    SendFiles& operator=(const SendFiles&) = delete;
    SendFileHandle Of(int slot) const { return m_files[slot]; }

private:
    SendFileHandle m_files[IMAGE_SLOT_COUNT];
};

class Server {
public:
    Server(SocketHandle listener, const WakeChannel* wake, const SendFiles* files)
        : m_listener(listener), m_wake(wake), m_files(files), m_connections(MAX_CONNECTIONS) {}

    // Serves until a final report, a stop or a dead listening socket; the result so far.
    int Run();

private:
    long long Deadline(const Connection& c) const;
    Connection* Evictable();
    bool Accepting(long long now);
    void AcceptOne(long long now);
    void OnReadable(Connection& c, long long now);
    void Process(Connection& c, long long now);
    void Dispatch(Connection& c, long long now);
    void Respond(Connection& c, long long now);
    void OnWritable(Connection& c, long long now);
    void StartLinger(Connection& c, long long now);
    void Drain(Connection& c);
    void Close(Connection& c);
    void Abort(Connection& c);
    void CloseAll(bool stopped);

    SocketHandle m_listener;
    const WakeChannel* m_wake;
    const SendFiles* m_files;
    std::vector<Connection> m_connections;
    int m_active = 0;
    unsigned long long m_accepted = 0;
    long long m_accept_paused_until = 0;  // no accept before this time
    bool m_listed = false;                // a manifest went out in this loop
    int m_final = 0;                      // the final report that ended the loop, or 0
    bool m_ended = false;                 // a final report ended the run, or the listening socket died
};

long long Server::Deadline(const Connection& c) const {
    switch (c.phase) {
        case Phase::HEAD: return c.since_ms + REQUEST_HEAD_TIMEOUT_MS;
        case Phase::SEND: return c.since_ms + SEND_STALL_MS;
        case Phase::LINGER: return c.since_ms + LINGER_MS;
        case Phase::FREE: break;
    }
    return 0;
}

// The connection that makes room for a new one when every slot is taken: the oldest that
// is still sending its request head, from an address other than the pinned device's. One
// whose response is on its way or handed over is never cut: a reset drops what the system
// still holds for the peer, and a crowd of idle connections (a port scan, a phone app)
// would cost a slow device the end of its image.
Connection* Server::Evictable() {
    Connection* oldest = nullptr;
    for (Connection& c : m_connections)
        if (c.phase == Phase::HEAD && !IsPinned(c.peer) && (oldest == nullptr || c.order < oldest->order))
            oldest = &c;
    return oldest;
}

// Whether the listening socket is watched: not during a pause for want of resources, and
// not while every slot is taken by connections that may not be cut (the system then keeps
// new ones waiting in its backlog until a slot frees).
bool Server::Accepting(long long now) {
    return now >= m_accept_paused_until && (m_active < MAX_CONNECTIONS || Evictable() != nullptr);
}

void Server::AcceptOne(long long now) {
    if (!Accepting(now)) return;  // the last free slot went in this round
    uint32_t peer = 0;
    AcceptFailure failure = ACCEPT_TRANSIENT;
    const SocketHandle s = SockAccept(m_listener, &peer, &failure);
    if (s == SOCKET_NONE) {
        // A connection gone before it was taken is that connection's loss alone (a port
        // scan brings hundreds); the poll says when the next one waits.
        if (failure == ACCEPT_LISTENER_UNUSABLE)
            m_ended = true;
        else if (failure == ACCEPT_OUT_OF_RESOURCES)
            m_accept_paused_until = now + ACCEPT_PAUSE_MS;
        return;
    }
    if (SockSetNonBlocking(s, 1) != 0) {
        SockClose(s);
        return;
    }
    if (m_active >= MAX_CONNECTIONS) Abort(*Evictable());  // it has sent no full request: nothing is lost
    for (Connection& c : m_connections) {
        if (c.phase != Phase::FREE) continue;
        c.socket = s;
        c.peer = peer;
        c.phase = Phase::HEAD;
        c.order = ++m_accepted;
        c.since_ms = now;
        c.head = RequestHead();
        c.header_length = 0;
        c.body = nullptr;
        c.body_length = 0;
        c.body_file = SEND_FILE_NONE;
        c.sent = 0;
        c.slot = -1;
        c.drained = 0;
        ++m_active;
        // The request is read once the poll reports it: a connection is accepted as soon as
        // the handshake ends, before the peer has sent anything, so reading at once would
        // mostly cost a call that finds nothing.
        return;
    }
    SockClose(s);  // cannot happen: room was made above
}

void Server::OnReadable(Connection& c, long long now) {
    if (c.phase == Phase::LINGER) {
        Drain(c);
        return;
    }
    if (c.head.SpaceLeft() == 0) {
        StartLinger(c, now);
        return;
    }
    const int r = SockRecv(c.socket, c.head.Space(), c.head.SpaceLeft());
    if (r == SOCK_WOULD_BLOCK) return;
    if (r < 0) {
        Abort(c);
        return;
    }
    if (r == 0)
        c.head.Closed();
    else
        c.head.Received(static_cast<size_t>(r));
    Process(c, now);
}

void Server::Process(Connection& c, long long now) {
    switch (c.head.Parse()) {
        case RequestHead::NEED_MORE: return;
        case RequestHead::REJECTED: StartLinger(c, now); return;
        case RequestHead::REQUEST: Dispatch(c, now); return;
        case RequestHead::COMPLETE: Respond(c, now); return;
    }
}

void Server::Dispatch(Connection& c, long long now) {
    const int kind = c.head.Kind();
    switch (kind) {
        case REQ_ERASE_START:
        case REQ_ERASE_FINISH:
        case REQ_WRITING:
        case REQ_WROTE:
            // Progress reports only keep the window from giving up: taken from anyone.
            PostProgress(kind);
            StartLinger(c, now);
            return;
        case REQ_OLD_VERSION:
        case REQ_CHECKSUM_ERROR:
            // Final reports count only from the device being updated.
            if (IsPinned(c.peer)) {
                m_final = kind;
                m_ended = true;
                return;
            }
            StartLinger(c, now);
            return;
        case REQ_UPGRADE_COMPLETED:
            // Completed only when it is true: every image of the manifest has gone out
            // whole. Early, the report changes nothing, and the device may fetch again.
            if (IsPinned(c.peer) && m_listed && g_unsent_images.load() == 0) {
                m_final = kind;
                m_ended = true;
                return;
            }
            StartLinger(c, now);
            return;
        default:
            // The manifest and the images: answered once the header has come whole, and
            // only to the pinned device once there is one.
            if (!Admitted(c.peer)) {
                StartLinger(c, now);
                return;
            }
            c.head.ReadHeaders();
            Process(c, now);
            return;
    }
}

void Server::Respond(Connection& c, long long now) {
    const int kind = c.head.Kind();
    if (!Admitted(c.peer)) {  // another device was pinned while this header came in
        StartLinger(c, now);
        return;
    }
    Pin(c.peer);
    if (kind == REQ_LIST) {
        g_device_report = REQ_LIST;
        m_listed = true;
        StopAnnouncer();
        if (!BuildManifest(&g_server)) {
            StartLinger(c, now);
            return;
        }
        const void* const nul = std::memchr(g_server.buffer, '\0', sizeof g_server.buffer);
        const size_t length = nul != nullptr
                                  ? static_cast<size_t>(static_cast<const char*>(nul) - g_server.buffer)
                                  : sizeof g_server.buffer;
        std::memcpy(c.text, g_server.buffer, length);
        c.body = reinterpret_cast<const unsigned char*>(c.text);
        c.body_length = length;
        c.header_length = ComposeHeader(c.header, "text/plain", static_cast<unsigned long>(length));
    } else {
        c.slot = kind - REQ_IMAGE_MTD3;
        // An empty slot has no data; its size is 0 by the image store's rule, and it is
        // never read from even if a size were left behind.
        const unsigned char* const data = g_image_data[c.slot];
        c.body = data;
        c.body_length = data != nullptr ? g_image_sizes[c.slot] : 0;
        c.body_file = data != nullptr ? m_files->Of(c.slot) : SEND_FILE_NONE;
        c.header_length =
            ComposeHeader(c.header, "application/octet-stream", static_cast<unsigned long>(c.body_length));
    }
    c.phase = Phase::SEND;
    c.since_ms = now;
    c.sent = 0;
    OnWritable(c, now);
}

void Server::OnWritable(Connection& c, long long now) {
    const size_t total = c.header_length + c.body_length;
    while (c.sent < total) {
        SendPart parts[2];
        int count = 0;
        if (c.sent < c.header_length) parts[count++] = {c.header + c.sent, c.header_length - c.sent};
        const size_t body_from = c.sent > c.header_length ? c.sent - c.header_length : 0;
        if (body_from < c.body_length)
            parts[count++] = {c.body + body_from, c.body_length - body_from, c.body_file, body_from};
        const int r = SockSendParts(c.socket, parts, count);
        if (r == SOCK_WOULD_BLOCK) return;
        if (r <= 0) {
            Abort(c);  // the peer has gone: the image is not served
            return;
        }
        c.sent += static_cast<size_t>(r);
        c.since_ms = now;
    }
    // Everything is handed over. Only a clean shutdown of the sending side counts the
    // image as served: then the peer reads all of it and then the end of the stream.
    const bool clean = SockShutdownSend(c.socket) == 0;
    if (clean && c.slot >= 0) g_unsent_images &= ~(1u << c.slot);
    c.phase = Phase::LINGER;
    c.since_ms = now;
    c.drained = 0;
    // The peer's further bytes, or its close, are read when the poll reports them.
}

// Ends a connection without losing what is queued for the peer: closing a socket with
// unread bytes in it makes the system reset the connection and drop whatever the peer has
// not taken yet, so the peer's further bytes are read and dropped until it closes too.
void Server::StartLinger(Connection& c, long long now) {
    SockShutdownSend(c.socket);
    c.phase = Phase::LINGER;
    c.since_ms = now;
    c.drained = 0;
}

void Server::Drain(Connection& c) {
    static char discard[16384];  // written to only, by this one thread
    for (;;) {
        const int r = SockRecv(c.socket, discard, sizeof discard);
        if (r == SOCK_WOULD_BLOCK) return;
        if (r <= 0) break;  // the peer has closed (or reset): nothing more to wait for
        c.drained += static_cast<size_t>(r);
        if (c.drained >= LINGER_BYTES) break;
    }
    Close(c);
}

void Server::Close(Connection& c) {
    if (c.phase == Phase::FREE) return;
    SockClose(c.socket);
    c.socket = SOCKET_NONE;
    c.phase = Phase::FREE;
    --m_active;
}

// Closes at once, dropping whatever is still queued. A connection whose response has been
// handed over (lingering) is closed plainly all the same: what the system still holds for
// the peer goes out after the close.
void Server::Abort(Connection& c) {
    if (c.phase != Phase::FREE && c.phase != Phase::LINGER) SockSetLinger(c.socket, 1, 0);
    Close(c);
}

void Server::CloseAll(bool stopped) {
    for (Connection& c : m_connections) {
        if (stopped)
            Abort(c);
        else
            Close(c);
    }
}

int Server::Run() {
    std::vector<PollItem> items;
    std::vector<Connection*> owners;  // the connection of each item, null for the others
    items.reserve(MAX_CONNECTIONS + 2);
    owners.reserve(MAX_CONNECTIONS + 2);
    while (!m_ended && !StopPending()) {
        items.clear();
        owners.clear();
        if (m_wake != nullptr) {
            items.push_back({m_wake->wait_on, POLL_READ, 0});
            owners.push_back(nullptr);
        }
        const size_t listener_at = items.size();
        const long long before = MonotonicMs();
        const bool accepting = Accepting(before);
        if (accepting) {
            items.push_back({m_listener, POLL_READ, 0});
            owners.push_back(nullptr);
        }
        // A pause in accepting is a deadline of the poll like any other.
        long long next_deadline = m_accept_paused_until > before ? m_accept_paused_until : -1;
        for (Connection& c : m_connections) {
            if (c.phase == Phase::FREE) continue;
            items.push_back({c.socket, c.phase == Phase::SEND ? POLL_WRITE : POLL_READ, 0});
            owners.push_back(&c);
            const long long d = Deadline(c);
            if (next_deadline < 0 || d < next_deadline) next_deadline = d;
        }
        long timeout = -1;  // nothing to time: sleep until something happens
        if (next_deadline >= 0) {
            const long long left = next_deadline - before;
            timeout = left > 0 ? static_cast<long>(left) : 0;
        }
        // Without a wake channel a stop is looked for once a second.
        if (m_wake == nullptr && (timeout < 0 || timeout > 1000)) timeout = 1000;
        const int ready = SockPoll(items.data(), static_cast<int>(items.size()), timeout);
        if (ready < 0) break;  // the listening socket is dead, or the socket library stopped
        if (m_wake != nullptr && items[0].ready != 0) WakeDrain(m_wake);
        if (StopPending()) break;
        const long long now = MonotonicMs();
        for (size_t i = 0; i < items.size() && !m_ended; ++i) {
            Connection* c = owners[i];
            if (c == nullptr || items[i].ready == 0 || c->phase == Phase::FREE ||
                c->socket != items[i].socket)
                continue;
            if (c->phase == Phase::SEND)
                OnWritable(*c, now);
            else
                OnReadable(*c, now);
        }
        if (m_ended) break;
        for (Connection& c : m_connections) {
            if (c.phase == Phase::FREE || now < Deadline(c)) continue;
            // A head that has not come whole in time, or a peer that takes nothing: given
            // up. A lingering peer has had its answer and is merely closed.
            Abort(c);
        }
        if (accepting && items[listener_at].ready != 0) AcceptOne(now);
    }
    CloseAll(StopPending());
    if (m_final != 0) return m_final;
    return m_listed ? REQ_LIST : 0;
}

}  // namespace

SocketHandle OpenListenSocket() {
    const SocketHandle s = SockTcp();
    if (s == SOCKET_NONE) return SOCKET_NONE;
    if (SockBind(s, IPV4_ANY, g_server_port.load()) != 0 || SockListen(s, LISTEN_BACKLOG) != 0) {
        SockClose(s);
        return SOCKET_NONE;
    }
    return s;
}

int RunServer() {
    g_server.state = TS_RUNNING;
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
    SockSetNonBlocking(listener, 1);  // a connection gone before its accept must not block the loop

    WakeState& w = Wake();
    bool woken = false;
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        w.open = WakeOpen(&w.channel) == 0;
        woken = w.open;
    }
    int result = 0;
    {
        // A stop that came before the channel was open is seen by the loop's first check.
        const SendFiles files;
        Server server(listener, woken ? &w.channel : nullptr, &files);
        result = server.Run();
    }
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        if (w.open) WakeClose(&w.channel);
        w.open = false;
    }
    g_server.listen_socket = SOCKET_NONE;
    SockClose(listener);
    g_server.state = TS_STOPPED;
    return result;
}

void WakeServer() {
    WakeState& w = Wake();
    std::lock_guard<std::mutex> lock(w.mutex);
    if (w.open) WakeSignal(&w.channel);
}
