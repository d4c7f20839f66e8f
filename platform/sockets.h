// Socket services: the few BSD socket operations the updater needs, the same on every
// platform. Handles are plain integers, SOCKET_NONE (-1) meaning none. IPv4 addresses are
// 32-bit values in network byte order; ports are in host order and converted here.
//
// Every operation goes through a replaceable table (SocketOps), so that a test can make any
// one of them fail, record what is sent, or hand in a fixed interface list, while the
// product code calls the same functions it always calls.
#pragma once

#include <cstddef>
#include <cstdint>

using SocketHandle = int;
constexpr SocketHandle SOCKET_NONE = -1;
// What recv and send_parts return on a non-blocking socket that has nothing to give or no
// room to take: try again once a poll says it is ready.
constexpr int SOCK_WOULD_BLOCK = -2;

// One socket of a poll: what to wait for, and what was found.
constexpr unsigned POLL_READ = 1;
constexpr unsigned POLL_WRITE = 2;
// Reported in ready whatever was asked, where the platform reports it (POSIX): the socket
// has failed or the peer has hung up. A receive or send then tells which. Winsock shows a
// reset or a close in the read set instead.
constexpr unsigned POLL_FAILED = 4;
struct PollItem {
    SocketHandle socket;
    unsigned want;   // POLL_READ and/or POLL_WRITE
    unsigned ready;  // filled in by the poll
};

// A read-only copy of an area that the system can hand to sockets by itself, so that a
// large body is not copied through this process into every socket that sends it (on Linux
// a sealed memfd, sent with sendfile). Winsock has none: there every body goes out through
// the gathered send as before.
using SendFileHandle = int;
constexpr SendFileHandle SEND_FILE_NONE = -1;

// One piece of a gathered send. A piece whose bytes are also those of a send file from
// file_offset on may go out from the file; data stays valid and is sent where the platform
// cannot (or, for a short piece, need not) send from the file.
struct SendPart {
    const void* data;
    size_t length;
    SendFileHandle file = SEND_FILE_NONE;
    size_t file_offset = 0;
};

// A handle that a poll can wait on beside sockets, which any thread can make readable: it
// wakes a loop at once instead of the loop looking for a stop every so often. On POSIX a
// pipe, on Windows a UDP socket on loopback that sends to itself.
struct WakeChannel {
    SocketHandle wait_on = SOCKET_NONE;
    SocketHandle signal_by = SOCKET_NONE;
};

// Interface flags, with the values the announcer tests against.
constexpr unsigned IFACE_UP = 1;
constexpr unsigned IFACE_BROADCAST = 2;
constexpr unsigned IFACE_LOOPBACK = 4;
constexpr unsigned IFACE_POINTTOPOINT = 8;

// One IPv4 address of an interface as the platform reports it.
struct NetInterface {
    uint32_t address;  // network byte order
    uint32_t netmask;  // network byte order
    unsigned flags;    // IFACE_* bits
    // The interface's name where the platform gives one (an address label such as eth0:1
    // cut to its interface), "" where it does not (Winsock's list has no names).
    char name[16];
};

// At most this many addresses are enumerated at once; more are cut off. A PC with every
// kind of virtual adapter stays far below it.
constexpr int MAX_NET_INTERFACES = 256;

// Whether the updater announces itself through the interface, and so lets the receiver in
// through it: up, with broadcast, neither loopback nor point-to-point, and with an address.
// The announcer and the firewall opening both go by this one rule, so that the firewall is
// opened exactly where the receiver can hear the announcement.
bool IsAnnounceInterface(const NetInterface& i);
// The platform's interfaces that pass IsAnnounceInterface, in its stable order, up to
// capacity of them: the count, or -1 when the enumeration failed.
int ListAnnounceInterfaces(NetInterface* out, int capacity);

// Why an accept gave no connection, by what the caller should do next.
enum AcceptFailure : int {
    // That one connection went away before it was taken (reset or aborted), the call was
    // interrupted, or none is waiting: go on at once.
    ACCEPT_TRANSIENT = 1,
    // The system is short of descriptors, buffers or memory: stop accepting for a moment.
    // Any failure of no known class counts as this one, so that an error that repeats
    // costs a pause now and then instead of a busy loop.
    ACCEPT_OUT_OF_RESOURCES = 2,
    // The listening socket itself is unusable (closed, not a socket, not listening, or the
    // socket library has stopped): no accept on it can succeed again.
    ACCEPT_LISTENER_UNUSABLE = 3,
};

struct SocketOps {
    // Library start and stop (Winsock); no-ops that succeed on POSIX. 1 on success, else 0.
    int (*startup)();
    int (*cleanup)();
    // A new IPv4 socket, or SOCKET_NONE.
    SocketHandle (*tcp_socket)();
    SocketHandle (*udp_socket)();
    // Binds to the given address (INADDR_ANY is 0) and port. 0 on success, -1 on failure;
    // after a failure the same socket may try another port.
    int (*bind)(SocketHandle s, uint32_t address, uint16_t port);
    int (*listen)(SocketHandle s, int backlog);
    // The connection's socket and the peer's address, or SOCKET_NONE with the class of
    // the failure in *failure (when it is not null).
    SocketHandle (*accept)(SocketHandle s, uint32_t* peer_address, AcceptFailure* failure);
    // 0 on success, -1 on failure. Blocks until connected.
    int (*connect)(SocketHandle s, uint32_t address, uint16_t port);
    // select() on one socket: positive when readable, 0 on time-out, negative on error. A
    // signal that interrupts the wait does not end it.
    int (*wait_readable)(SocketHandle s, long seconds, long microseconds);
    // Waits until one of the sockets is ready as asked, or timeout_ms (-1: no limit) has
    // passed: the count of ready sockets, 0 on time-out, -1 on error. A signal that
    // interrupts the wait does not end it.
    int (*poll)(PollItem* items, int count, long timeout_ms);
    // Receives up to len bytes: the count, 0 when the peer has closed, SOCK_WOULD_BLOCK
    // when a non-blocking socket has nothing yet, -1 on error.
    int (*recv)(SocketHandle s, void* data, size_t len);
    // Sends the area: the count sent, or -1. Never raises SIGPIPE. On a blocking socket it
    // returns once the whole area is queued.
    int (*send)(SocketHandle s, const void* data, size_t len);
    // Sends the parts in order in one call, as far as the socket takes them: the count
    // sent, SOCK_WOULD_BLOCK when a non-blocking socket has no room, -1 on error. Never
    // raises SIGPIPE. A non-blocking socket never blocks, whether a part goes out from
    // memory or from its send file.
    int (*send_parts)(SocketHandle s, const SendPart* parts, int count);
    int (*send_to)(SocketHandle s, const void* data, size_t len, uint32_t address, uint16_t port);
    // Receives one datagram: its length, or -1; stores the sender's address and port.
    int (*recv_from)(SocketHandle s, void* data, size_t len, uint32_t* address, uint16_t* port);
    int (*close)(SocketHandle s);
    // Shuts both directions down, waking any thread blocked on the socket. 0 or -1.
    int (*shutdown)(SocketHandle s);
    // Shuts the sending side down: the peer reads the end of the stream after everything
    // queued. 0 or -1.
    int (*shutdown_send)(SocketHandle s);
    // Puts the socket into non-blocking mode (on 1) or back. 0 or -1.
    int (*set_nonblocking)(SocketHandle s, int on);
    int (*set_linger)(SocketHandle s, int on, int seconds);
    int (*set_broadcast)(SocketHandle s, int on);
    // The port the socket is bound to (host order), or 0.
    uint16_t (*local_port)(SocketHandle s);
    // Fills up to capacity entries in the platform's stable order; the count, or -1 when
    // the enumeration failed.
    int (*list_interfaces)(NetInterface* out, int capacity);
    // The wake channel: opened (0, or -1 with nothing left open), signalled from any thread,
    // drained by the waiting thread, closed once.
    int (*wake_open)(WakeChannel* w);
    void (*wake_signal)(const WakeChannel* w);
    void (*wake_drain)(const WakeChannel* w);
    void (*wake_close)(WakeChannel* w);
    // A send file holding a copy of the area, made once and then sent from many times, or
    // SEND_FILE_NONE where the platform has none or making it failed (the area then goes
    // out from memory). Closed once with send_file_close.
    SendFileHandle (*send_file_open)(const void* data, size_t length);
    void (*send_file_close)(SendFileHandle f);
};

// The platform's own operations.
const SocketOps& SystemSocketOps();
// The operations in use (the system's unless a test replaced them).
const SocketOps& CurrentSocketOps();
// Replaces the operations in use and returns the previous ones. Not thread-safe: call it
// only while no other thread uses sockets.
SocketOps SetSocketOps(const SocketOps& ops);

inline int SockStartup() { return CurrentSocketOps().startup(); }
inline int SockCleanup() { return CurrentSocketOps().cleanup(); }
inline SocketHandle SockTcp() { return CurrentSocketOps().tcp_socket(); }
inline SocketHandle SockUdp() { return CurrentSocketOps().udp_socket(); }
inline int SockBind(SocketHandle s, uint32_t a, uint16_t p) { return CurrentSocketOps().bind(s, a, p); }
inline int SockListen(SocketHandle s, int backlog) { return CurrentSocketOps().listen(s, backlog); }
inline SocketHandle SockAccept(SocketHandle s, uint32_t* peer, AcceptFailure* failure = nullptr) {
    return CurrentSocketOps().accept(s, peer, failure);
}
inline int SockConnect(SocketHandle s, uint32_t a, uint16_t p) { return CurrentSocketOps().connect(s, a, p); }
inline int SockWaitReadable(SocketHandle s, long sec, long usec) {
    return CurrentSocketOps().wait_readable(s, sec, usec);
}
inline int SockPoll(PollItem* items, int count, long timeout_ms) {
    return CurrentSocketOps().poll(items, count, timeout_ms);
}
inline int SockRecv(SocketHandle s, void* d, size_t n) { return CurrentSocketOps().recv(s, d, n); }
inline int SockSendParts(SocketHandle s, const SendPart* parts, int count) {
    return CurrentSocketOps().send_parts(s, parts, count);
}
inline int SockSend(SocketHandle s, const void* d, size_t n) { return CurrentSocketOps().send(s, d, n); }
inline int SockSendTo(SocketHandle s, const void* d, size_t n, uint32_t a, uint16_t p) {
    return CurrentSocketOps().send_to(s, d, n, a, p);
}
inline int SockRecvFrom(SocketHandle s, void* d, size_t n, uint32_t* a, uint16_t* p) {
    return CurrentSocketOps().recv_from(s, d, n, a, p);
}
inline int SockClose(SocketHandle s) { return CurrentSocketOps().close(s); }
inline int SockShutdown(SocketHandle s) { return CurrentSocketOps().shutdown(s); }
inline int SockShutdownSend(SocketHandle s) { return CurrentSocketOps().shutdown_send(s); }
inline int SockSetNonBlocking(SocketHandle s, int on) { return CurrentSocketOps().set_nonblocking(s, on); }
inline int SockSetLinger(SocketHandle s, int on, int sec) {
    return CurrentSocketOps().set_linger(s, on, sec);
}
inline int SockSetBroadcast(SocketHandle s, int on) { return CurrentSocketOps().set_broadcast(s, on); }
inline uint16_t SockLocalPort(SocketHandle s) { return CurrentSocketOps().local_port(s); }
inline int SockListInterfaces(NetInterface* out, int cap) {
    return CurrentSocketOps().list_interfaces(out, cap);
}
inline int WakeOpen(WakeChannel* w) { return CurrentSocketOps().wake_open(w); }
inline void WakeSignal(const WakeChannel* w) { CurrentSocketOps().wake_signal(w); }
inline void WakeDrain(const WakeChannel* w) { CurrentSocketOps().wake_drain(w); }
inline void WakeClose(WakeChannel* w) { CurrentSocketOps().wake_close(w); }
inline SendFileHandle SendFileOpen(const void* d, size_t n) {
    return CurrentSocketOps().send_file_open(d, n);
}
inline void SendFileClose(SendFileHandle f) { CurrentSocketOps().send_file_close(f); }

// Byte-order helpers and address texts; plain arithmetic, no platform call.
uint32_t HostToNet32(uint32_t v);
uint16_t HostToNet16(uint16_t v);
uint32_t NetToHost32(uint32_t v);
// a.b.c.d in network byte order, as inet_addr would give it.
uint32_t MakeIPv4(unsigned a, unsigned b, unsigned c, unsigned d);
constexpr uint32_t IPV4_ANY = 0;
// The loopback address 127.0.0.1 in network byte order.
uint32_t LoopbackIPv4();
// Dotted decimal, four numbers without leading zeros (inet_ntoa's form); out holds 16 bytes.
void FormatIPv4(uint32_t address, char out[16]);
// Parses dotted decimal; returns false on anything else.
bool ParseIPv4(const char* text, uint32_t* address);
