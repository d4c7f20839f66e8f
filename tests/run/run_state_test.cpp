// The run state block: its values at process start, the reset, and the port probe over real
// sockets (the suite runs in a private network namespace, where 20200 is free).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/sockets.h"
#include "run/run_state.h"

namespace {

bool AllZero(const char* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

// Must stay the first test of this program: nothing has touched the block yet.
TEST(RunStateTest, ProcessStartValues) {
    EXPECT_EQ(g_image_ids[0], 134u);
    EXPECT_EQ(g_image_ids[1], 135u);
    EXPECT_EQ(g_image_ids[2], 132u);
    EXPECT_EQ(g_image_ids[3], 133u);
    for (int i = 0; i < IMAGE_SLOT_COUNT; ++i) {
        EXPECT_EQ(g_image_sizes[i], 0u);
        EXPECT_EQ(g_image_data[i], nullptr);
    }
    EXPECT_EQ(g_timeout_ms, 420000);
    EXPECT_EQ(g_pinned_client, 0xFFFFFFFFu);
    EXPECT_EQ(g_server_port, 0);
    EXPECT_EQ(g_device_report, 0);
    EXPECT_EQ(g_update_running, 0);
    EXPECT_EQ(g_update_outcome, OUTCOME_NONE);
    EXPECT_EQ(g_worker_active, 0);
    EXPECT_EQ(g_firewall_method, FIREWALL_NONE);
    EXPECT_EQ(g_server.state, 0);
    EXPECT_EQ(g_announcer.state, 0);
    EXPECT_EQ(g_server.listen_socket, 0);
    EXPECT_EQ(g_unsent_images, 0u);
}

class ResetTest : public ::testing::Test {
protected:
    void SetUp() override { SockStartup(); }
    void TearDown() override { SockCleanup(); }
};

TEST_F(ResetTest, LeavesTheNetworkSideIdleAndTheWindowSideAlone) {
    // Dirty every field the reset owns, and the ones it must leave alone.
    g_announcer.udp_socket = 77;
    g_announcer.state = TS_RUNNING;
    std::memset(g_announcer.message, 'm', sizeof g_announcer.message);
    g_server.listen_socket = 5;
    g_server.state = TS_STOP_REQUESTED;
    std::memset(g_server.buffer, 'b', sizeof g_server.buffer);
    g_pinned_client = MakeIPv4(10, 0, 0, 9);
    g_unsent_images = 0xF;
    g_update_outcome = OUTCOME_FAILED;
    g_device_report = REQ_WROTE;
    g_idle_seconds = 12;
    g_update_running = 1;
    g_worker_active = 1;
    g_timeout_ms = 300000;
    g_progress_shown = 1;

    EXPECT_EQ(ResetRunState(), 0);

    EXPECT_EQ(g_announcer.udp_socket, SOCKET_NONE);
    EXPECT_EQ(g_announcer.state, TS_STOPPED);
    EXPECT_TRUE(AllZero(g_announcer.message, sizeof g_announcer.message));
    EXPECT_EQ(g_server.listen_socket, SOCKET_NONE);
    EXPECT_EQ(g_server.state, TS_STOPPED);
    EXPECT_TRUE(AllZero(g_server.buffer, sizeof g_server.buffer));
    EXPECT_EQ(g_pinned_client, NO_CLIENT);
    EXPECT_EQ(g_unsent_images, 0u);
    EXPECT_EQ(g_server_port, FIRST_SERVER_PORT);

    // An outcome nobody cleared survives into the next run; so does the window's side.
    EXPECT_EQ(g_update_outcome, OUTCOME_FAILED);
    EXPECT_EQ(g_device_report, REQ_WROTE);
    EXPECT_EQ(g_idle_seconds, 12);
    EXPECT_EQ(g_update_running, 1);
    EXPECT_EQ(g_worker_active, 1);
    EXPECT_EQ(g_timeout_ms, 300000);
    EXPECT_EQ(g_progress_shown, 1);

    // Twice in a row gives the same block.
    EXPECT_EQ(ResetRunState(), 0);
    EXPECT_EQ(g_server_port, FIRST_SERVER_PORT);
    EXPECT_EQ(g_server.state, TS_STOPPED);

    g_update_outcome = OUTCOME_NONE;
    g_device_report = 0;
    g_idle_seconds = 0;
    g_update_running = 0;
    g_worker_active = 0;
    g_timeout_ms = 420000;
    g_progress_shown = 0;
}

// Listening sockets that hold ports, as another program would.
std::vector<SocketHandle> HoldPorts(uint16_t first, int count) {
    std::vector<SocketHandle> held;
    for (int i = 0; i < count; ++i) {
        const SocketHandle s = SockTcp();
        EXPECT_EQ(SockBind(s, IPV4_ANY, static_cast<uint16_t>(first + i)), 0);
        EXPECT_EQ(SockListen(s, 1), 0);
        held.push_back(s);
    }
    return held;
}

TEST_F(ResetTest, ProbeTakesTheFirstFreePortFrom20200) {
    EXPECT_EQ(FindServerPort(), 20200);
    {
        auto held = HoldPorts(20200, 1);
        EXPECT_EQ(FindServerPort(), 20201);
        for (SocketHandle s : held) SockClose(s);
    }
    {
        auto held = HoldPorts(20200, 3);
        EXPECT_EQ(FindServerPort(), 20203);
        EXPECT_EQ(ResetRunState(), 0);
        EXPECT_EQ(g_server_port, 20203);
        for (SocketHandle s : held) SockClose(s);
    }
    // The probe does not keep the port: the server can bind it right after.
    const uint16_t port = FindServerPort();
    const SocketHandle s = SockTcp();
    EXPECT_EQ(SockBind(s, IPV4_ANY, port), 0);
    SockClose(s);
}

int g_closes = 0;
int g_binds = 0;
SocketHandle NoSocket() { return SOCKET_NONE; }
int CountingClose(SocketHandle s) {
    ++g_closes;
    return SystemSocketOps().close(s);
}
int NeverBinds(SocketHandle, uint32_t, uint16_t) {
    ++g_binds;
    return -1;
}

TEST_F(ResetTest, ProbeGivesZeroWithoutASocketOrWithoutAnyBindablePort) {
    SocketOps ops = SystemSocketOps();
    ops.tcp_socket = NoSocket;
    SocketOps previous = SetSocketOps(ops);
    EXPECT_EQ(FindServerPort(), 0);
    g_server_port = 1234;
    ResetRunState();
    EXPECT_EQ(g_server_port, 0);
    SetSocketOps(previous);

    ops = SystemSocketOps();
    ops.bind = NeverBinds;
    ops.close = CountingClose;
    previous = SetSocketOps(ops);
    g_binds = 0;
    g_closes = 0;
    EXPECT_EQ(FindServerPort(), 0);
    EXPECT_EQ(g_binds, 65535 - 20200 + 1) << "every port up to 65535 is tried once";
    EXPECT_EQ(g_closes, 1) << "the probe socket is closed";
    SetSocketOps(previous);
}

}  // namespace
