// The single-instance lock on POSIX: a Unix stream socket bound to a name in Linux's
// abstract namespace, one name per user. Binding a name is atomic, so of two processes that
// start at the same moment exactly one gets it; the kernel drops the name when the holder
// dies, however it dies; and no file is written anywhere. The holder listens on the socket,
// so a second start can ask it to bring its window to the front.
//
// Abstract names belong to the network namespace: a process in another namespace does not
// see this one's lock.
#include <errno.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/instance_lock.h"
#include "platform/threads.h"

namespace {

// The request byte of ActivateRunningInstance.
constexpr char ACTIVATE_REQUEST = 'A';

std::atomic<void (*)()> g_activation_handler{nullptr};

socklen_t LockAddress(const char* name, sockaddr_un* address) {
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    // A leading NUL puts the name in the abstract namespace; the user id makes it per user.
    const std::string text = std::string(name) + "." + std::to_string(static_cast<unsigned long>(getuid()));
    const size_t length = std::min(text.size(), sizeof address->sun_path - 1);
    std::memcpy(address->sun_path + 1, text.data(), length);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
}

// Serves the holder's socket for the life of the process: each connection may carry one
// activation request.
void ServeLock(void* arg) {
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    for (;;) {
        const int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;
        }
        // A peer that connects and sends nothing must not hold the lock's thread.
        timeval tv{1, 0};
        ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char request = 0;
        if (::recv(c, &request, 1, 0) == 1 && request == ACTIVATE_REQUEST) {
            if (void (*handler)() = g_activation_handler.load()) handler();
        }
        ::close(c);
    }
}

// The user id of the process that holds the name, or -1 when it cannot be told.
long HolderUid(const sockaddr_un& address, socklen_t length) {
    const int c = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (c < 0) return -1;
    long uid = -1;
    if (::connect(c, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
        ucred cred;
        socklen_t size = sizeof cred;
        if (::getsockopt(c, SOL_SOCKET, SO_PEERCRED, &cred, &size) == 0) uid = static_cast<long>(cred.uid);
    }
    ::close(c);
    return uid;
}

}  // namespace

// Called on the lock's own thread when another start asks this instance to come to the
// front. The handler must hand the request over to the UI thread itself.
void SetInstanceActivationHandler(void (*handler)()) { g_activation_handler = handler; }

bool AcquireSingleInstanceLock(const char* name) {
    sockaddr_un address;
    const socklen_t length = LockAddress(name, &address);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return true;  // no lock to be had: run rather than refuse
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
        // Held until the process ends; the descriptor is never closed.
        if (::listen(fd, 4) == 0) {
            (void)StartDetachedThread(ServeLock, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
        }
        return true;
    }
    const int error = errno;
    ::close(fd);
    if (error != EADDRINUSE) return true;
    // The name is taken. Abstract names carry no permissions: if another user's process
    // squats this user's name, it does not keep this user's updater from running.
    const long holder = HolderUid(address, length);
    if (holder >= 0 && holder != static_cast<long>(getuid())) return true;
    return false;
}

void ActivateRunningInstance(const char* name) {
    sockaddr_un address;
    const socklen_t length = LockAddress(name, &address);
    // Non-blocking: a holder that does not accept must not hold up this start.
    const int c = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (c < 0) return;
    if (::connect(c, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
        (void)::send(c, &ACTIVATE_REQUEST, 1, MSG_NOSIGNAL);
    }
    ::close(c);
}
