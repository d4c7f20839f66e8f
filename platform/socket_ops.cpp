// The table of socket operations in use, and the address helpers that need no platform call.
#include "platform/sockets.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {
SocketOps g_ops = SystemSocketOps();
}  // namespace

const SocketOps& CurrentSocketOps() { return g_ops; }

SocketOps SetSocketOps(const SocketOps& ops) {
    SocketOps previous = g_ops;
    g_ops = ops;
    return previous;
}

bool IsAnnounceInterface(const NetInterface& i) {
    if ((i.flags & (IFACE_LOOPBACK | IFACE_POINTTOPOINT)) != 0) return false;
    if ((i.flags & IFACE_UP) == 0 || (i.flags & IFACE_BROADCAST) == 0) return false;
    return i.address != 0;
}

int ListAnnounceInterfaces(NetInterface* out, int capacity) {
    if (out == nullptr || capacity < 0) return -1;
    std::vector<NetInterface> all(MAX_NET_INTERFACES);
    const int n = SockListInterfaces(all.data(), MAX_NET_INTERFACES);
    if (n < 0) return -1;
    int written = 0;
    for (int i = 0; i < n && i < MAX_NET_INTERFACES && written < capacity; ++i)
        if (IsAnnounceInterface(all[i])) out[written++] = all[i];
    return written;
}

uint32_t HostToNet32(uint32_t v) {
    const unsigned char b[4] = {static_cast<unsigned char>(v >> 24), static_cast<unsigned char>(v >> 16),
                                static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
    uint32_t r;
    std::memcpy(&r, b, sizeof r);
    return r;
}

uint32_t NetToHost32(uint32_t v) {
    unsigned char b[4];
    std::memcpy(b, &v, sizeof b);
    return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | uint32_t{b[3]};
}

uint16_t HostToNet16(uint16_t v) {
    const unsigned char b[2] = {static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
    uint16_t r;
    std::memcpy(&r, b, sizeof r);
    return r;
}

uint32_t MakeIPv4(unsigned a, unsigned b, unsigned c, unsigned d) {
    return HostToNet32(((a & 0xFFu) << 24) | ((b & 0xFFu) << 16) | ((c & 0xFFu) << 8) | (d & 0xFFu));
}

uint32_t LoopbackIPv4() { return MakeIPv4(127, 0, 0, 1); }

void FormatIPv4(uint32_t address, char out[16]) {
    const uint32_t h = NetToHost32(address);
    std::snprintf(out, 16, "%u.%u.%u.%u", (h >> 24) & 0xFFu, (h >> 16) & 0xFFu, (h >> 8) & 0xFFu, h & 0xFFu);
}

bool ParseIPv4(const char* text, uint32_t* address) {
    if (text == nullptr || address == nullptr) return false;
    unsigned parts[4];
    const char* p = text;
    for (int i = 0; i < 4; ++i) {
        if (*p < '0' || *p > '9') return false;
        unsigned v = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9') {
            v = v * 10 + static_cast<unsigned>(*p - '0');
            if (++digits > 3 || v > 255) return false;
            ++p;
        }
        parts[i] = v;
        if (i < 3) {
            if (*p != '.') return false;
            ++p;
        }
    }
    if (*p != '\0') return false;
    *address = MakeIPv4(parts[0], parts[1], parts[2], parts[3]);
    return true;
}
