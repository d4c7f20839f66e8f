// Windows Sockets 2.
// Winsock's fd_set is a list of handles, not a bit map: this is how many one select can
// take (the server's connections, its listener and its wake socket).
#define FD_SETSIZE 256
// Winsock must come before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <cstring>

#include "platform/sockets.h"

namespace {

SOCKET Raw(SocketHandle s) { return static_cast<SOCKET>(static_cast<unsigned>(s)); }

SocketHandle Wrap(SOCKET s) {
    // Winsock handles are kernel handles and fit in 32 bits.
    return s == INVALID_SOCKET ? SOCKET_NONE : static_cast<SocketHandle>(s);
}

int Startup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 0), &data) == 0 ? 1 : 0;
}

int Cleanup() { return WSACleanup() == 0 ? 1 : 0; }

SocketHandle TcpSocket() { return Wrap(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)); }
SocketHandle UdpSocket() { return Wrap(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)); }

sockaddr_in Address(uint32_t address, uint16_t port) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    sa.sin_port = htons(port);
    return sa;
}

int Bind(SocketHandle s, uint32_t address, uint16_t port) {
    const sockaddr_in sa = Address(address, port);
    return ::bind(Raw(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

int Listen(SocketHandle s, int backlog) { return ::listen(Raw(s), backlog) == 0 ? 0 : -1; }

// The split nginx makes, in Winsock's terms. A connection reset before it was taken fails
// with WSAECONNRESET (wine 8: WSAENOTCONN); it is that connection's failure alone, and a
// port scan brings hundreds of them.
AcceptFailure ClassifyAcceptError(int error) {
    switch (error) {
        case WSAEWOULDBLOCK:
        case WSAEINTR:
        case WSAEINPROGRESS:
        case WSAECONNRESET:
        case WSAECONNABORTED:
        case WSAENOTCONN: return ACCEPT_TRANSIENT;
        case WSAENOTSOCK:
        case WSAEBADF:
        case WSAEINVAL:
        case WSANOTINITIALISED: return ACCEPT_LISTENER_UNUSABLE;
        default: return ACCEPT_OUT_OF_RESOURCES;  // WSAEMFILE, WSAENOBUFS and the unknown
    }
}

SocketHandle Accept(SocketHandle s, uint32_t* peer, AcceptFailure* failure) {
    sockaddr_in sa;
    int len = sizeof sa;
    const SOCKET c = ::accept(Raw(s), reinterpret_cast<sockaddr*>(&sa), &len);
    if (c == INVALID_SOCKET) {
        if (failure != nullptr) *failure = ClassifyAcceptError(WSAGetLastError());
        return SOCKET_NONE;
    }
    if (peer != nullptr) *peer = sa.sin_addr.s_addr;
    return Wrap(c);
}

int Connect(SocketHandle s, uint32_t address, uint16_t port) {
    const sockaddr_in sa = Address(address, port);
    return ::connect(Raw(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

int WaitReadable(SocketHandle s, long seconds, long microseconds) {
    fd_set read_set;
    FD_ZERO(&read_set);
    FD_SET(Raw(s), &read_set);
    timeval tv;
    tv.tv_sec = seconds;
    tv.tv_usec = microseconds;
    // The first argument is ignored by Winsock; pass it the way BSD code does. Winsock's
    // select is not interrupted by signals.
    return ::select(s + 1, &read_set, nullptr, nullptr, &tv);
}

// Only the read and write sets. Winsock's error set reports two things alone: a failed
// non-blocking connect, which no poller here makes, and urgent (out-of-band) data not yet
// read, which nothing here reads; such a byte would keep the set signalled, and the loop
// would wake at once again and again with nothing to do. The urgent byte stays unread and
// harmless instead, and a reset or a close still shows in the read set.
int Poll(PollItem* items, int count, long timeout_ms) {
    if (items == nullptr || count < 0 || count > FD_SETSIZE) return -1;
    fd_set read_set, write_set;
    FD_ZERO(&read_set);
    FD_ZERO(&write_set);
    for (int i = 0; i < count; ++i) {
        items[i].ready = 0;
        if ((items[i].want & POLL_READ) != 0) FD_SET(Raw(items[i].socket), &read_set);
        if ((items[i].want & POLL_WRITE) != 0) FD_SET(Raw(items[i].socket), &write_set);
    }
    if (count == 0) {
        // Winsock refuses a select over no socket at all.
        Sleep(timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms));
        return 0;
    }
    timeval tv;
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = (timeout_ms % 1000) * 1000;
    const int r = ::select(0, &read_set, &write_set, nullptr, timeout_ms < 0 ? nullptr : &tv);
    if (r == SOCKET_ERROR) return -1;
    int ready = 0;
    for (int i = 0; i < count; ++i) {
        unsigned got = 0;
        if (FD_ISSET(Raw(items[i].socket), &read_set)) got |= POLL_READ;
        if (FD_ISSET(Raw(items[i].socket), &write_set)) got |= POLL_WRITE;
        items[i].ready = got;
        if (got != 0) ++ready;
    }
    return ready;
}

int Recv(SocketHandle s, void* data, size_t len) {
    const int r = ::recv(Raw(s), static_cast<char*>(data), static_cast<int>(len), 0);
    if (r == SOCKET_ERROR) return WSAGetLastError() == WSAEWOULDBLOCK ? SOCK_WOULD_BLOCK : -1;
    return r;
}

int Send(SocketHandle s, const void* data, size_t len) {
    const int r = ::send(Raw(s), static_cast<const char*>(data), static_cast<int>(len), 0);
    return r == SOCKET_ERROR ? -1 : r;
}

int SendParts(SocketHandle s, const SendPart* parts, int count) {
    if (parts == nullptr || count < 0 || count > 16) return -1;
    WSABUF buffers[16];
    for (int i = 0; i < count; ++i) {
        buffers[i].buf = static_cast<char*>(const_cast<void*>(parts[i].data));
        buffers[i].len = static_cast<ULONG>(parts[i].length);
    }
    DWORD sent = 0;
    if (WSASend(Raw(s), buffers, static_cast<DWORD>(count), &sent, 0, nullptr, nullptr) == SOCKET_ERROR) {
        return WSAGetLastError() == WSAEWOULDBLOCK ? SOCK_WOULD_BLOCK : -1;
    }
    return static_cast<int>(sent);
}

int SendTo(SocketHandle s, const void* data, size_t len, uint32_t address, uint16_t port) {
    const sockaddr_in sa = Address(address, port);
    const int r = ::sendto(Raw(s), static_cast<const char*>(data), static_cast<int>(len), 0,
                           reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    return r == SOCKET_ERROR ? -1 : r;
}

int RecvFrom(SocketHandle s, void* data, size_t len, uint32_t* address, uint16_t* port) {
    sockaddr_in sa;
    int sl = sizeof sa;
    const int r = ::recvfrom(Raw(s), static_cast<char*>(data), static_cast<int>(len), 0,
                             reinterpret_cast<sockaddr*>(&sa), &sl);
    if (r == SOCKET_ERROR) return -1;
    if (address != nullptr) *address = sa.sin_addr.s_addr;
    if (port != nullptr) *port = ntohs(sa.sin_port);
    return r;
}

int Close(SocketHandle s) { return ::closesocket(Raw(s)) == 0 ? 0 : -1; }

int Shutdown(SocketHandle s) { return ::shutdown(Raw(s), SD_BOTH) == 0 ? 0 : -1; }

int ShutdownSend(SocketHandle s) { return ::shutdown(Raw(s), SD_SEND) == 0 ? 0 : -1; }

int SetNonBlocking(SocketHandle s, int on) {
    u_long mode = on != 0 ? 1 : 0;
    return ::ioctlsocket(Raw(s), FIONBIO, &mode) == 0 ? 0 : -1;
}

int SetLinger(SocketHandle s, int on, int seconds) {
    linger l;
    l.l_onoff = static_cast<u_short>(on);
    l.l_linger = static_cast<u_short>(seconds);
    return ::setsockopt(Raw(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l) == 0 ? 0
                                                                                                         : -1;
}

int SetBroadcast(SocketHandle s, int on) {
    return ::setsockopt(Raw(s), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on) == 0
               ? 0
               : -1;
}

uint16_t LocalPort(SocketHandle s) {
    sockaddr_in sa;
    int len = sizeof sa;
    if (::getsockname(Raw(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
    return ntohs(sa.sin_port);
}

int ListInterfaces(NetInterface* out, int capacity) {
    if (out == nullptr || capacity < 0) return -1;
    const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return -1;
    // Winsock does not cut the list short when the area is too small for every address: it
    // fails outright (WSAEFAULT; WSAENOBUFS on some versions) and does not say how much it
    // needs. So ask with room for a common PC first, then with twice the room each time, up
    // to a bound far above what any PC has; only beyond it does the enumeration fail.
    constexpr DWORD MOST_RECORDS = 4096;
    INTERFACE_INFO* info = nullptr;
    DWORD bytes = 0;
    for (DWORD records = 16; records <= MOST_RECORDS; records *= 2) {
        const DWORD size = records * sizeof(INTERFACE_INFO);
        info = static_cast<INTERFACE_INFO*>(HeapAlloc(GetProcessHeap(), 0, size));
        if (info == nullptr) break;
        if (WSAIoctl(s, SIO_GET_INTERFACE_LIST, nullptr, 0, info, size, &bytes, nullptr, nullptr) == 0) break;
        const int error = WSAGetLastError();
        HeapFree(GetProcessHeap(), 0, info);
        info = nullptr;
        if (error != WSAEFAULT && error != WSAENOBUFS) break;
    }
    ::closesocket(s);
    if (info == nullptr) return -1;
    const int records = static_cast<int>(bytes / sizeof(INTERFACE_INFO));
    int n = 0;
    for (int i = 0; i < records && n < capacity; ++i) {
        NetInterface& e = out[n++];
        e.address = info[i].iiAddress.AddressIn.sin_addr.s_addr;
        e.netmask = info[i].iiNetmask.AddressIn.sin_addr.s_addr;
        const u_long f = info[i].iiFlags;
        e.flags = 0;
        if (f & IFF_UP) e.flags |= IFACE_UP;
        if (f & IFF_BROADCAST) e.flags |= IFACE_BROADCAST;
        if (f & IFF_LOOPBACK) e.flags |= IFACE_LOOPBACK;
        if (f & IFF_POINTTOPOINT) e.flags |= IFACE_POINTTOPOINT;
        e.name[0] = '\0';  // Winsock's list names no interface
    }
    HeapFree(GetProcessHeap(), 0, info);
    return n;
}

// Windows has no pipe that select() can wait on: the wake channel is a non-blocking UDP
// socket bound to loopback, which sends a byte to itself.
int ChannelOpen(WakeChannel* w) {
    if (w == nullptr) return -1;
    const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return -1;
    sockaddr_in sa = Address(htonl(INADDR_LOOPBACK), 0);
    int len = sizeof sa;
    u_long nonblocking = 1;
    if (::bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0 ||
        ::connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 ||
        ::ioctlsocket(s, FIONBIO, &nonblocking) != 0) {
        ::closesocket(s);
        return -1;
    }
    w->wait_on = w->signal_by = Wrap(s);
    return 0;
}

void ChannelSignal(const WakeChannel* w) {
    if (w == nullptr || w->signal_by == SOCKET_NONE) return;
    const char byte = 1;
    ::send(Raw(w->signal_by), &byte, 1, 0);
}

void ChannelDrain(const WakeChannel* w) {
    if (w == nullptr || w->wait_on == SOCKET_NONE) return;
    char bytes[64];
    while (::recv(Raw(w->wait_on), bytes, sizeof bytes, 0) > 0) {
    }
}

void ChannelClose(WakeChannel* w) {
    if (w == nullptr) return;
    if (w->wait_on != SOCKET_NONE) ::closesocket(Raw(w->wait_on));
    w->wait_on = w->signal_by = SOCKET_NONE;
}

// No send files here: the images live in memory and go out through the gathered send
// (WSASend above), which takes the parts' data and leaves their file fields alone.
SendFileHandle MakeSendFile(const void*, size_t) { return SEND_FILE_NONE; }
void CloseSendFile(SendFileHandle) {}

}  // namespace

const SocketOps& SystemSocketOps() {
    static const SocketOps ops = {Startup,      Cleanup,      TcpSocket,      UdpSocket,      Bind,
                                  Listen,       Accept,       Connect,        WaitReadable,   Poll,
                                  Recv,         Send,         SendParts,      SendTo,         RecvFrom,
                                  Close,        Shutdown,     ShutdownSend,   SetNonBlocking, SetLinger,
                                  SetBroadcast, LocalPort,    ListInterfaces, ChannelOpen,    ChannelSignal,
                                  ChannelDrain, ChannelClose, MakeSendFile,   CloseSendFile};
    return ops;
}
