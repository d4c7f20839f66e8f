// BSD sockets on POSIX systems.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstring>

#include "platform/sockets.h"

namespace {

int Startup() { return 1; }
int Cleanup() { return 1; }

SocketHandle Make(int type) {
    const int s = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    return s < 0 ? SOCKET_NONE : s;
}
SocketHandle TcpSocket() { return Make(SOCK_STREAM); }
SocketHandle UdpSocket() { return Make(SOCK_DGRAM); }

sockaddr_in Address(uint32_t address, uint16_t port) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    sa.sin_port = htons(port);
    return sa;
}

int Bind(SocketHandle s, uint32_t address, uint16_t port) {
    // Windows lets a listening port be bound again while old connections of it linger in
    // TIME_WAIT; on POSIX SO_REUSEADDR gives TCP the same rule (an active listener still
    // keeps the port). UDP keeps the strict rule, so a taken discovery port stays taken.
    int type = 0;
    socklen_t len = sizeof type;
    if (::getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_STREAM) {
        const int one = 1;
        ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    }
    const sockaddr_in sa = Address(address, port);
    return ::bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

int Listen(SocketHandle s, int backlog) { return ::listen(s, backlog) == 0 ? 0 : -1; }

SocketHandle Accept(SocketHandle s, uint32_t* peer) {
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    int c;
    do {
        c = ::accept4(s, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
    } while (c < 0 && errno == EINTR);
    if (c < 0) return SOCKET_NONE;
    if (peer != nullptr) *peer = sa.sin_addr.s_addr;
    return c;
}

int Connect(SocketHandle s, uint32_t address, uint16_t port) {
    const sockaddr_in sa = Address(address, port);
    int r;
    do {
        r = ::connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    } while (r < 0 && errno == EINTR);
    return r == 0 ? 0 : -1;
}

int WaitReadable(SocketHandle s, long seconds, long microseconds) {
    if (s < 0 || s >= FD_SETSIZE) return -1;
    fd_set read_set;
    FD_ZERO(&read_set);
    FD_SET(s, &read_set);
    timeval tv;
    tv.tv_sec = seconds;
    tv.tv_usec = microseconds;
    return ::select(s + 1, &read_set, nullptr, nullptr, &tv);
}

int Recv(SocketHandle s, void* data, size_t len) {
    ssize_t r;
    do {
        r = ::recv(s, data, len, 0);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? -1 : static_cast<int>(r);
}

int Send(SocketHandle s, const void* data, size_t len) {
    // A peer that has gone away must not end the process: MSG_NOSIGNAL keeps SIGPIPE away.
    // Like Winsock's blocking send, this returns only once the whole area is queued.
    const char* p = static_cast<const char*>(data);
    size_t left = len;
    while (left > 0) {
        const ssize_t r = ::send(s, p, left, MSG_NOSIGNAL);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        p += r;
        left -= static_cast<size_t>(r);
    }
    return static_cast<int>(len);
}

int SendTo(SocketHandle s, const void* data, size_t len, uint32_t address, uint16_t port) {
    const sockaddr_in sa = Address(address, port);
    const ssize_t r = ::sendto(s, data, len, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    return r < 0 ? -1 : static_cast<int>(r);
}

int RecvFrom(SocketHandle s, void* data, size_t len, uint32_t* address, uint16_t* port) {
    sockaddr_in sa;
    socklen_t sl = sizeof sa;
    ssize_t r;
    do {
        r = ::recvfrom(s, data, len, 0, reinterpret_cast<sockaddr*>(&sa), &sl);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return -1;
    if (address != nullptr) *address = sa.sin_addr.s_addr;
    if (port != nullptr) *port = ntohs(sa.sin_port);
    return static_cast<int>(r);
}

int Close(SocketHandle s) { return ::close(s) == 0 ? 0 : -1; }

int Shutdown(SocketHandle s) { return ::shutdown(s, SHUT_RDWR) == 0 ? 0 : -1; }

int SetLinger(SocketHandle s, int on, int seconds) {
    linger l;
    l.l_onoff = on;
    l.l_linger = seconds;
    return ::setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0 ? 0 : -1;
}

int SetBroadcast(SocketHandle s, int on) {
    return ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0 ? 0 : -1;
}

uint16_t LocalPort(SocketHandle s) {
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
    return ntohs(sa.sin_port);
}

int ListInterfaces(NetInterface* out, int capacity) {
    if (out == nullptr || capacity < 0) return -1;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return -1;
    int n = 0;
    // getifaddrs reports interfaces in the kernel's index order, which is stable.
    for (ifaddrs* i = list; i != nullptr && n < capacity && n < MAX_NET_INTERFACES; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
        NetInterface& e = out[n++];
        e.address = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
        e.netmask = i->ifa_netmask != nullptr
                        ? reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr
                        : 0xFFFFFFFFu;
        e.flags = 0;
        if (i->ifa_flags & IFF_UP) e.flags |= IFACE_UP;
        if (i->ifa_flags & IFF_BROADCAST) e.flags |= IFACE_BROADCAST;
        if (i->ifa_flags & IFF_LOOPBACK) e.flags |= IFACE_LOOPBACK;
        if (i->ifa_flags & IFF_POINTOPOINT) e.flags |= IFACE_POINTTOPOINT;
    }
    ::freeifaddrs(list);
    return n;
}

}  // namespace

const SocketOps& SystemSocketOps() {
    static const SocketOps ops = {Startup,   Cleanup,      TcpSocket, UdpSocket,     Bind,
                                  Listen,    Accept,       Connect,   WaitReadable,  Recv,
                                  Send,      SendTo,       RecvFrom,  Close,         Shutdown,
                                  SetLinger, SetBroadcast, LocalPort, ListInterfaces};
    return ops;
}
