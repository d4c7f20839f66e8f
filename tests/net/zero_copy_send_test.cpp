// Image bodies sent from send files (on Linux a sealed memfd and sendfile; Winsock has none
// and sends from memory): the bytes a peer receives, a peer that stops reading in the
// middle of a body and goes away, a send to a connection that is shut down, the fallback
// when no send file can be made, and that every send file a loop made is closed again.
#include <gtest/gtest.h>

#include <csignal>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/http_server.h"
#include "run/run_state.h"
#include "tests/net/net_test_support.h"

namespace {

using nettest::Fetch;
using nettest::Get;
using nettest::Pattern;

std::string Header(size_t length) { return nettest::Header("application/octet-stream", length); }

// Whether this platform makes send files at all (Linux does, Winsock does not).
bool PlatformHasSendFiles() {
    const std::string probe = Pattern(4096, 1);
    const SendFileHandle f = SystemSocketOps().send_file_open(probe.data(), probe.size());
    if (f == SEND_FILE_NONE) return false;
    SystemSocketOps().send_file_close(f);
    return true;
}

// What the server hands to the socket layer: the send files it opens and closes, and the
// bytes of the gathered sends that name a send file. Making a send file can be refused.
struct FileLedger {
    std::mutex mutex;
    bool refuse = false;
    int opened = 0;
    int refused = 0;
    int closed = 0;
    std::vector<SendFileHandle> open_files;
    size_t bytes_with_file = 0;
    size_t bytes_without_file = 0;
};
FileLedger* g_ledger = nullptr;

SendFileHandle LedgerOpen(const void* data, size_t length) {
    {
        std::lock_guard<std::mutex> lock(g_ledger->mutex);
        if (g_ledger->refuse) {
            ++g_ledger->refused;
            return SEND_FILE_NONE;
        }
    }
    const SendFileHandle f = SystemSocketOps().send_file_open(data, length);
    std::lock_guard<std::mutex> lock(g_ledger->mutex);
    if (f != SEND_FILE_NONE) {
        ++g_ledger->opened;
        g_ledger->open_files.push_back(f);
    }
    return f;
}

void LedgerClose(SendFileHandle f) {
    {
        std::lock_guard<std::mutex> lock(g_ledger->mutex);
        ++g_ledger->closed;
        auto& open = g_ledger->open_files;
        for (auto it = open.begin(); it != open.end(); ++it) {
            if (*it == f) {
                open.erase(it);
                break;
            }
        }
    }
    SystemSocketOps().send_file_close(f);
}

// Wraps whatever send_parts is in use (the spy's), counting the bytes that went out of
// parts with and without a send file.
int (*g_inner_send_parts)(SocketHandle, const SendPart*, int) = nullptr;
int LedgerSendParts(SocketHandle s, const SendPart* parts, int count) {
    const int r = g_inner_send_parts(s, parts, count);
    if (r > 0) {
        std::lock_guard<std::mutex> lock(g_ledger->mutex);
        size_t left = static_cast<size_t>(r);
        for (int i = 0; i < count && left > 0; ++i) {
            const size_t n = std::min(left, parts[i].length);
            (parts[i].file != SEND_FILE_NONE ? g_ledger->bytes_with_file : g_ledger->bytes_without_file) += n;
            left -= n;
        }
    }
    return r;
}

class ZeroCopyServerTest : public nettest::ServerFixture {
protected:
    void SetUp() override {
#ifdef SIGPIPE
        // The default action, as in the program: a SIGPIPE that escapes ends this test.
        m_old_pipe = std::signal(SIGPIPE, SIG_DFL);
#endif
        ServerFixture::SetUp();
        g_ledger = &m_ledger;
        SocketOps ops = CurrentSocketOps();
        g_inner_send_parts = ops.send_parts;
        ops.send_parts = LedgerSendParts;
        ops.send_file_open = LedgerOpen;
        ops.send_file_close = LedgerClose;
        m_previous = SetSocketOps(ops);
    }
    void TearDown() override {
        if (m_thread.joinable()) StopServer();
        SetSocketOps(m_previous);
        g_ledger = nullptr;
        ServerFixture::TearDown();
#ifdef SIGPIPE
        std::signal(SIGPIPE, m_old_pipe);
#endif
    }

    FileLedger m_ledger;
    SocketOps m_previous{};
#ifdef SIGPIPE
    void (*m_old_pipe)(int) = SIG_DFL;
#endif
};

TEST_F(ZeroCopyServerTest, ImagesArriveWholeFromTheirSendFilesAndEveryFileIsClosedAtTheEnd) {
    SetImage(1, 484);
    SetImage(2, 1929216);
    SetImage(3, 749568);
    StartServer();
    Pin();
    EXPECT_EQ(g_unsent_images, 0xEu);
    for (int slot = 1; slot <= 3; ++slot) {
        SCOPED_TRACE(slot);
        const std::string reply = Fetch(g_server_port, Get("/dev/mtd/" + std::to_string(slot + 3)));
        EXPECT_TRUE(reply == Header(m_images[slot].size()) + m_images[slot])
            << "reply of " << reply.size() << " bytes";
    }
    EXPECT_EQ(Unsent(0), 0u) << "every image counts as served";
    EXPECT_FALSE(m_done);
    EXPECT_EQ(StopServer(), REQ_LIST);
    std::lock_guard<std::mutex> lock(m_ledger.mutex);
    if (PlatformHasSendFiles()) {
        EXPECT_EQ(m_ledger.opened, 3) << "one send file per filled slot";
        EXPECT_GE(m_ledger.bytes_with_file, size_t{1929216 + 749568})
            << "the bodies went out from their files";
    } else {
        EXPECT_EQ(m_ledger.opened, 0);
        EXPECT_EQ(m_ledger.bytes_with_file, 0u);
    }
    EXPECT_EQ(m_ledger.closed, m_ledger.opened) << "a send file left open per run";
    EXPECT_TRUE(m_ledger.open_files.empty());
}

TEST_F(ZeroCopyServerTest, WithoutSendFilesTheImagesGoOutFromMemoryByteForByte) {
    m_ledger.refuse = true;
    SetImage(2, 1929216);
    SetImage(3, 20000);
    StartServer();
    Pin();
    for (int slot : {2, 3}) {
        const std::string reply = Fetch(g_server_port, Get("/dev/mtd/" + std::to_string(slot + 3)));
        EXPECT_TRUE(reply == Header(m_images[slot].size()) + m_images[slot])
            << "reply of " << reply.size() << " bytes";
    }
    EXPECT_EQ(Unsent(0), 0u) << "both images count as served";
    EXPECT_EQ(StopServer(), REQ_LIST);
    std::lock_guard<std::mutex> lock(m_ledger.mutex);
    EXPECT_EQ(m_ledger.refused, 2) << "the server asked for a file for each filled slot";
    EXPECT_EQ(m_ledger.bytes_with_file, 0u);
    EXPECT_GE(m_ledger.bytes_without_file, size_t{1929216 + 20000});
    EXPECT_EQ(m_ledger.closed, 0) << "nothing to close for files never made";
}

// A receiver that takes the start of a large image, stops reading and then goes away (a
// cable pulled, a crash): the loop goes on serving, the image does not count as served,
// and the same image fetched again arrives whole.
TEST_F(ZeroCopyServerTest, APeerThatStopsReadingMidBodyAndVanishesCostsOnlyItsOwnImage) {
    // Larger than all the buffers between the two sockets can hold, so that the server is
    // left with most of the body when the peer stops.
    const size_t size = 24u << 20;
    SetImage(2, size);
    StartServer();
    Pin();
    ASSERT_EQ(g_unsent_images, 0x4u);

    const SocketHandle c = SockTcp();
    ASSERT_NE(c, SOCKET_NONE);
    ASSERT_EQ(SockConnect(c, LoopbackIPv4(), g_server_port), 0);
    ASSERT_TRUE(nettest::SendText(c, Get("/dev/mtd/5")));
    const std::string start = nettest::ReadAtLeast(c, 100000);
    const std::string header = Header(size);
    ASSERT_GE(start.size(), header.size() + 50000);
    EXPECT_TRUE(start == (header + m_images[2]).substr(0, start.size())) << "the start of the body is exact";

    // While this peer reads nothing, another request is answered at once.
    const std::string manifest = Fetch(g_server_port, Get("/list.lst"));
    EXPECT_EQ(manifest.substr(0, 17), "HTTP/1.0 200 OK\r\n");
    EXPECT_EQ(g_unsent_images, 0x4u);

    // The peer goes away with data unread: its system resets the connection.
    SockSetLinger(c, 1, 0);
    SockClose(c);
    SleepMs(200);
    EXPECT_FALSE(m_done) << "the loop ended with the peer";
    EXPECT_EQ(g_unsent_images, 0x4u) << "an image cut off counts as served";

    const std::string again = Fetch(g_server_port, Get("/dev/mtd/5"), 0);
    EXPECT_TRUE(again == header + m_images[2]) << "refetch of " << again.size() << " bytes";
    EXPECT_EQ(Unsent(0), 0u);
    EXPECT_EQ(StopServer(), REQ_LIST);
    std::lock_guard<std::mutex> lock(m_ledger.mutex);
    EXPECT_EQ(m_ledger.closed, m_ledger.opened);
}

// The socket layer alone: a part with a send file goes out from the file where the platform
// has files (shown by a file whose bytes differ from the part's memory), from memory where
// it has none; and a send to a connection shut down for sending fails without a SIGPIPE.
class ZeroCopySocketTest : public ::testing::Test {
protected:
    void SetUp() override {
#ifdef SIGPIPE
        m_old_pipe = std::signal(SIGPIPE, SIG_DFL);
#endif
        ASSERT_EQ(SockStartup(), 1);
        m_pair = nettest::MakePair();
        ASSERT_NE(m_pair.client, SOCKET_NONE);
        ASSERT_NE(m_pair.server, SOCKET_NONE);
    }
    void TearDown() override {
        m_pair.Close();
        SockCleanup();
#ifdef SIGPIPE
        std::signal(SIGPIPE, m_old_pipe);
#endif
    }
    nettest::Pair m_pair;
#ifdef SIGPIPE
    void (*m_old_pipe)(int) = SIG_DFL;
#endif
};

TEST_F(ZeroCopySocketTest, APartWithASendFileGoesOutFromTheFileOnANonBlockingSocket) {
    const std::string head = "HTTP/1.0 200 OK\r\n\r\n";
    const std::string in_file = Pattern(16u << 20, 5);
    const std::string in_memory = Pattern(16u << 20, 6);
    ASSERT_NE(in_file, in_memory);
    const SendFileHandle f = SendFileOpen(in_file.data(), in_file.size());
    const bool has_files = PlatformHasSendFiles();
    EXPECT_EQ(f != SEND_FILE_NONE, has_files);
    ASSERT_EQ(SockSetNonBlocking(m_pair.server, 1), 0);

    // The sender's loop, as the server runs it: offset by what went, wait when it is full.
    // The peer starts reading only once the socket is full, which 16 MB always makes it.
    std::string received;
    std::thread reader;
    const size_t total = head.size() + in_file.size();
    size_t sent = 0;
    int would_block = 0;
    while (sent < total) {
        SendPart parts[2];
        int count = 0;
        if (sent < head.size()) parts[count++] = {head.data() + sent, head.size() - sent};
        const size_t from = sent > head.size() ? sent - head.size() : 0;
        parts[count++] = {in_memory.data() + from, in_memory.size() - from, f, from};
        const int r = SockSendParts(m_pair.server, parts, count);
        if (r == SOCK_WOULD_BLOCK) {
            if (would_block++ == 0)
                reader = std::thread([&] { received = nettest::ReadAll(m_pair.client, 20); });
            PollItem item{m_pair.server, POLL_WRITE, 0};
            ASSERT_GE(SockPoll(&item, 1, 10000), 1);
            continue;
        }
        ASSERT_GT(r, 0);
        sent += static_cast<size_t>(r);
    }
    EXPECT_EQ(SockShutdownSend(m_pair.server), 0);
    ASSERT_TRUE(reader.joinable()) << "16 MB never filled the socket";
    reader.join();
    if (f != SEND_FILE_NONE) SendFileClose(f);
    ASSERT_EQ(received.size(), total);
    EXPECT_TRUE(received == head + (has_files ? in_file : in_memory))
        << "the bytes came from the wrong place";
}

TEST_F(ZeroCopySocketTest, ASendFromAFileToAConnectionShutDownFailsWithoutEndingTheProcess) {
    const std::string body = Pattern(100000, 7);
    const SendFileHandle f = SendFileOpen(body.data(), body.size());
    ASSERT_EQ(SockShutdownSend(m_pair.server), 0);
    const SendPart part{body.data(), body.size(), f, 0};
    // Sending after one's own shutdown is the case in which the system raises SIGPIPE.
    EXPECT_EQ(SockSendParts(m_pair.server, &part, 1), -1);
    EXPECT_EQ(SockSendParts(m_pair.server, &part, 1), -1) << "and again";
    if (f != SEND_FILE_NONE) SendFileClose(f);
}

}  // namespace
