// Fuzzes everything a peer's bytes reach in the request reader: the line reader with its
// capacities, the request line and header reads, the tokenizer and the classification.
// The input is the byte stream of one connection after a first control byte, fed through
// the socket operations one byte per receive, as the reader takes it from a real socket.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "net/request_reader.h"
#include "platform/sockets.h"
#include "run/run_state.h"

namespace {

constexpr SocketHandle FAKE_SOCKET = 7;

// The connection: its bytes, and what it does when they run out (0: closes, 1: falls
// silent, 2: fails).
struct Stream {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t at = 0;
    int end_mode = 0;
    int waits = 0;
} g_stream;

int FakeWait(SocketHandle s, long, long) {
    if (s != FAKE_SOCKET) std::abort();
    ++g_stream.waits;
    if (g_stream.at < g_stream.size) return 1;
    return g_stream.end_mode == 0 ? 1 : g_stream.end_mode == 1 ? 0 : -1;
}

int FakeRecv(SocketHandle s, void* out, size_t len) {
    if (s != FAKE_SOCKET || len != 1) std::abort();  // one byte at a time, never more
    if (g_stream.at < g_stream.size) {
        *static_cast<uint8_t*>(out) = g_stream.data[g_stream.at++];
        return 1;
    }
    return g_stream.end_mode == 0 ? 0 : -1;
}

bool IsKind(int k) { return (k >= REQ_ERASE_START && k <= REQ_IMAGE_MTD6); }

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SocketOps ops = SystemSocketOps();
    ops.wait_readable = FakeWait;
    ops.recv = FakeRecv;
    SetSocketOps(ops);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t control = data[0];
    g_stream = Stream{data + 1, size - 1, 0, control % 3, 0};

    if (control & 0x80) {
        // The bare line reader into an area of exactly the capacity it is given.
        const int capacity = (control >> 3) & 0x0F;  // 0 to 15
        std::unique_ptr<char[]> area(new char[capacity > 0 ? capacity : 1]);
        while (g_stream.at < g_stream.size) {
            const size_t before = g_stream.at;
            const int n = ReadLine(FAKE_SOCKET, area.get(), capacity, 10, 0);
            Check(n >= -1 && n < (capacity > 1 ? capacity : 1));
            Check(std::memchr(area.get(), '\0', static_cast<size_t>(capacity > 0 ? capacity : 1)) != nullptr);
            if (g_stream.at == before) break;  // capacity 1 or less reads nothing
        }
        return 0;
    }

    // Requests as the server reads them: the request line, then its headers.
    auto context = std::make_unique<ServerContext>();
    context->conn_socket = FAKE_SOCKET;
    for (int round = 0; round < 64 && g_stream.at < g_stream.size; ++round) {
        const size_t before = g_stream.at;
        context->request_kind = -1;
        if (ReadRequest(context.get()) == 1) {
            Check(IsKind(context->request_kind));
            Check(std::memchr(context->buffer, '\0', LINE_CAPACITY) != nullptr);
            if (context->request_kind >= REQ_UPGRADE_COMPLETED) SkipHeaderLines(context.get());
        } else {
            Check(context->request_kind == -1);  // a rejection leaves the kind alone
        }
        Check(std::memchr(context->buffer, '\0', LINE_CAPACITY) != nullptr);
        if (g_stream.at == before) break;
    }
    // No read-ahead: every byte taken was asked for by a wait that said it was there.
    Check(g_stream.at <= g_stream.size);
    return 0;
}
