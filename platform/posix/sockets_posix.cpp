// BSD sockets on POSIX systems.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/mman.h>
#include <sys/sendfile.h>
#endif

#include <chrono>
#include <cstring>
#include <vector>

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

// The split nginx makes: a connection that went away before it was taken, or none waiting,
// is nothing to stop for; running out of descriptors or memory is worth a pause; only a
// listening socket that is not one any more ends the accepting. Linux also hands on the
// network errors already pending on the new connection (the accept(2) page names them);
// they belong to that connection alone.
AcceptFailure ClassifyAcceptError(int error) {
    switch (error) {
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EINTR:
        case ECONNABORTED:
        case ECONNRESET:
        case ENOTCONN:
        case EPROTO:
        case EPERM:
        case ENETDOWN:
        case ENETUNREACH:
        case EHOSTDOWN:
        case EHOSTUNREACH:
        case ENOPROTOOPT:
        case EOPNOTSUPP:
#ifdef ENONET
        case ENONET:
#endif
            return ACCEPT_TRANSIENT;
        case EBADF:
        case ENOTSOCK:
        case EINVAL: return ACCEPT_LISTENER_UNUSABLE;
        default: return ACCEPT_OUT_OF_RESOURCES;  // EMFILE, ENFILE, ENOBUFS, ENOMEM and the unknown
    }
}

SocketHandle Accept(SocketHandle s, uint32_t* peer, AcceptFailure* failure) {
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    int c;
    do {
        c = ::accept4(s, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
    } while (c < 0 && errno == EINTR);
    if (c < 0) {
        if (failure != nullptr) *failure = ClassifyAcceptError(errno);
        return SOCKET_NONE;
    }
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

// Milliseconds left until deadline on the steady clock; never below 0.
long long LeftMs(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? left.count() : 0;
}

int WaitReadable(SocketHandle s, long seconds, long microseconds) {
    if (s < 0) return -1;
    // poll() has no limit on the descriptor's value, which select() has (FD_SETSIZE). A
    // signal interrupts the wait without ending it: the wait goes on for the time left.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds) +
                          std::chrono::microseconds(microseconds);
    // Rounded up, so that a wait of a few microseconds still waits.
    long long wait_ms = (static_cast<long long>(seconds) * 1000000 + microseconds + 999) / 1000;
    for (;;) {
        pollfd p{s, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(wait_ms));
        if (r >= 0) {
            if (r > 0 && (p.revents & POLLNVAL) != 0) return -1;
            return r;
        }
        if (errno != EINTR) return -1;
        wait_ms = LeftMs(deadline);
    }
}

int Poll(PollItem* items, int count, long timeout_ms) {
    if (items == nullptr || count < 0) return -1;
    std::vector<pollfd> fds(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        pollfd& p = fds[static_cast<size_t>(i)];
        p.fd = items[i].socket;
        p.events = static_cast<short>(((items[i].want & POLL_READ) != 0 ? POLLIN : 0) |
                                      ((items[i].want & POLL_WRITE) != 0 ? POLLOUT : 0));
        p.revents = 0;
        items[i].ready = 0;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    long long wait_ms = timeout_ms;
    for (;;) {
        const int r = ::poll(fds.data(), static_cast<nfds_t>(count), static_cast<int>(wait_ms));
        if (r >= 0) break;
        if (errno != EINTR) return -1;
        if (timeout_ms >= 0) wait_ms = LeftMs(deadline);
    }
    int ready = 0;
    for (int i = 0; i < count; ++i) {
        const short e = fds[static_cast<size_t>(i)].revents;
        unsigned got = 0;
        if ((e & POLLIN) != 0) got |= POLL_READ;
        if ((e & POLLOUT) != 0) got |= POLL_WRITE;
        if ((e & (POLLERR | POLLHUP | POLLNVAL)) != 0) got |= POLL_FAILED;
        items[i].ready = got;
        if (got != 0) ++ready;
    }
    return ready;
}

int Recv(SocketHandle s, void* data, size_t len) {
    ssize_t r;
    do {
        r = ::recv(s, data, len, 0);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? SOCK_WOULD_BLOCK : -1;
    return static_cast<int>(r);
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

// Parts shorter than this go out by copy even when they have a send file: for them the
// copy costs less than the extra system call.
constexpr size_t SEND_FILE_MIN = 16384;

bool FromFile(const SendPart& p) { return p.file != SEND_FILE_NONE && p.length >= SEND_FILE_MIN; }

// Gathers parts [from, to) into one sendmsg; more says that a file part follows, so that
// the header is held back and leaves in the body's first segment.
ssize_t SendCopies(SocketHandle s, const SendPart* parts, int from, int to, bool more) {
    iovec iov[16];
    for (int i = from; i < to; ++i) {
        iov[i - from].iov_base = const_cast<void*>(parts[i].data);
        iov[i - from].iov_len = parts[i].length;
    }
    msghdr m;
    std::memset(&m, 0, sizeof m);
    m.msg_iov = iov;
    m.msg_iovlen = static_cast<size_t>(to - from);
    ssize_t r;
    do {
        r = ::sendmsg(s, &m, MSG_NOSIGNAL | (more ? MSG_MORE : 0));
    } while (r < 0 && errno == EINTR);
    return r;
}

#ifdef __linux__
// sendfile has no MSG_NOSIGNAL: sending to a connection that is shut down raises SIGPIPE,
// whose default action ends the process. The signal is blocked in this thread for the
// call, and one that the call raised is taken back before the old mask returns. A SIGPIPE
// that was blocked before is left alone: whoever blocked it handles it.
ssize_t SendFromFile(SocketHandle s, const SendPart& p) {
    sigset_t pipe_only, old;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    if (::pthread_sigmask(SIG_BLOCK, &pipe_only, &old) != 0) return -1;
    off_t offset = static_cast<off_t>(p.file_offset);
    ssize_t r;
    do {
        r = ::sendfile(s, p.file, &offset, p.length);
    } while (r < 0 && errno == EINTR);
    const int error = errno;
    if (r < 0 && error == EPIPE && sigismember(&old, SIGPIPE) == 0) {
        const timespec now = {0, 0};
        while (::sigtimedwait(&pipe_only, nullptr, &now) < 0 && errno == EINTR) {
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = error;
    return r;
}
#else
ssize_t SendFromFile(SocketHandle, const SendPart&) {
    errno = EINVAL;
    return -1;
}
#endif

int SendParts(SocketHandle s, const SendPart* parts, int count) {
    if (parts == nullptr || count < 0 || count > 16) return -1;
    // Runs of parts that go by copy leave in one sendmsg each, a part with a send file by
    // sendfile; the first that the socket does not take whole ends the call.
    size_t sent = 0;
    for (int i = 0; i < count;) {
        int end = i;
        while (end < count && !FromFile(parts[end])) ++end;
        size_t offered = 0;
        ssize_t r;
        if (end > i) {
            for (int k = i; k < end; ++k) offered += parts[k].length;
            r = SendCopies(s, parts, i, end, end < count);
        } else {
            offered = parts[i].length;
            r = SendFromFile(s, parts[i]);
            end = i + 1;
        }
        if (r < 0) {
            if (sent > 0) return static_cast<int>(sent);  // the error shows again on the next call
            return (errno == EAGAIN || errno == EWOULDBLOCK) ? SOCK_WOULD_BLOCK : -1;
        }
        sent += static_cast<size_t>(r);
        if (static_cast<size_t>(r) < offered) break;
        i = end;
    }
    return static_cast<int>(sent);
}

#ifdef __linux__
// A sealed memfd: once written, nothing (in this process or any other that reaches the
// file) can change, grow or shrink it, so what goes out is the copy made here.
SendFileHandle MakeSendFile(const void* data, size_t length) {
    if (data == nullptr || length == 0) return SEND_FILE_NONE;
    const int fd = ::memfd_create("orvane-send", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) return SEND_FILE_NONE;
    const char* p = static_cast<const char*>(data);
    size_t left = length;
    while (left > 0) {
        const ssize_t r = ::write(fd, p, left);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            ::close(fd);
            return SEND_FILE_NONE;
        }
        p += r;
        left -= static_cast<size_t>(r);
    }
    if (::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
        ::close(fd);
        return SEND_FILE_NONE;
    }
    return fd;
}
#else
SendFileHandle MakeSendFile(const void*, size_t) { return SEND_FILE_NONE; }
#endif

void CloseSendFile(SendFileHandle f) {
    if (f != SEND_FILE_NONE) ::close(f);
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

int ShutdownSend(SocketHandle s) { return ::shutdown(s, SHUT_WR) == 0 ? 0 : -1; }

int SetNonBlocking(SocketHandle s, int on) {
    // One call, where F_GETFL and F_SETFL take two for every connection.
    int value = on != 0 ? 1 : 0;
    return ::ioctl(s, FIONBIO, &value) == 0 ? 0 : -1;
}

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
        // An address label ("eth0:1") belongs to its interface; names never hold a colon.
        std::memset(e.name, 0, sizeof e.name);
        if (i->ifa_name != nullptr) {
            const size_t length = std::strcspn(i->ifa_name, ":");
            std::memcpy(e.name, i->ifa_name, length < sizeof e.name ? length : sizeof e.name - 1);
        }
    }
    ::freeifaddrs(list);
    return n;
}

// The wake channel is a pipe: both ends non-blocking, so that a signal never blocks on a
// full pipe (one byte waiting is enough to wake) and a drain never waits.
int ChannelOpen(WakeChannel* w) {
    if (w == nullptr) return -1;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
    w->wait_on = fds[0];
    w->signal_by = fds[1];
    return 0;
}

void ChannelSignal(const WakeChannel* w) {
    if (w == nullptr || w->signal_by < 0) return;
    const char byte = 1;
    ssize_t r;
    do {
        r = ::write(w->signal_by, &byte, 1);
    } while (r < 0 && errno == EINTR);
}

void ChannelDrain(const WakeChannel* w) {
    if (w == nullptr || w->wait_on < 0) return;
    char bytes[64];
    for (;;) {
        const ssize_t r = ::read(w->wait_on, bytes, sizeof bytes);
        if (r > 0) continue;
        if (r < 0 && errno == EINTR) continue;
        return;
    }
}

void ChannelClose(WakeChannel* w) {
    if (w == nullptr) return;
    if (w->wait_on >= 0) ::close(w->wait_on);
    if (w->signal_by >= 0) ::close(w->signal_by);
    w->wait_on = w->signal_by = SOCKET_NONE;
}

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
