// The discovery announcer with injected interface lists and captured datagrams: nothing is
// ever sent on this machine's interfaces. The pause between passes is shortened where a
// test needs many passes.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/announcer.h"
#include "run/run_state.h"
#include "tests/net/net_test_support.h"

namespace {

using nettest::Datagram;
using nettest::Eventually;
using nettest::Iface;
using nettest::SocketSpy;
using nettest::SpyState;

constexpr unsigned UB = IFACE_UP | IFACE_BROADCAST;

uint32_t Ip(unsigned a, unsigned b, unsigned c, unsigned d) { return MakeIPv4(a, b, c, d); }

std::string Announcement(const char* address, unsigned port) {
    return std::string("ZID-FWTools 1.0\r\nHOST:http://") + address + ":" + std::to_string(port) + "\r\n\r\n";
}

TEST(BuildAnnouncementTest, BytesAndLengths) {
    const struct {
        uint32_t address;
        uint16_t port;
        const char* dotted;
        size_t length;
    } cases[] = {
        {Ip(10, 0, 0, 2), 20201, "10.0.0.2", 47},
        {Ip(255, 255, 255, 255), 65535, "255.255.255.255", 54},
        {Ip(1, 1, 1, 1), 0, "1.1.1.1", 42},
        {Ip(192, 168, 1, 10), 20200, "192.168.1.10", 51},
    };
    AnnouncerContext context;
    for (const auto& c : cases) {
        g_server_port = c.port;
        std::memset(context.message, 'x', sizeof context.message);
        ASSERT_EQ(BuildAnnouncement(&context, c.address), 1);
        EXPECT_EQ(std::string(context.message), Announcement(c.dotted, c.port));
        EXPECT_EQ(std::strlen(context.message), c.length) << c.dotted;
    }
    EXPECT_EQ(BuildAnnouncement(nullptr, Ip(1, 2, 3, 4)), 0);
    g_server_port = 0;
}

struct ListCase {
    const char* name;
    std::vector<NetInterface> interfaces;
    int result;
    std::vector<InterfaceAddress> entries;
};

TEST(ListBroadcastInterfacesTest, SelectionAndBroadcastAddresses) {
    const uint32_t a = Ip(192, 168, 1, 10);
    const ListCase cases[] = {
        {"netmask /24", {Iface(a, Ip(255, 255, 255, 0), UB)}, 0, {{a, Ip(192, 168, 1, 255)}}},
        {"netmask /16", {Iface(a, Ip(255, 255, 0, 0), UB)}, 0, {{a, Ip(192, 168, 255, 255)}}},
        {"netmask /32", {Iface(a, Ip(255, 255, 255, 255), UB)}, 0, {{a, a}}},
        {"loopback, point-to-point, down and non-broadcast are skipped",
         {Iface(Ip(127, 0, 0, 1), Ip(255, 0, 0, 0), UB | IFACE_LOOPBACK),
          Iface(Ip(10, 8, 0, 1), Ip(255, 255, 255, 0), UB | IFACE_POINTTOPOINT),
          Iface(Ip(10, 9, 0, 1), Ip(255, 255, 255, 0), IFACE_BROADCAST),
          Iface(Ip(10, 10, 0, 1), Ip(255, 255, 255, 0), IFACE_UP),
          Iface(Ip(10, 11, 0, 1), Ip(255, 255, 255, 0), UB)},
         0,
         {{Ip(10, 11, 0, 1), Ip(10, 11, 0, 255)}}},
        {"no suitable interface", {Iface(Ip(127, 0, 0, 1), Ip(255, 0, 0, 0), UB | IFACE_LOOPBACK)}, -1, {}},
        {"no interface at all", {}, -1, {}},
    };
    SocketSpy spy;
    for (const ListCase& c : cases) {
        SCOPED_TRACE(c.name);
        spy.With([&](SpyState& s) { s.interfaces = c.interfaces; });
        InterfaceAddress list[ANNOUNCE_INTERFACE_CAPACITY];
        std::memset(list, 0xAB, sizeof list);
        EXPECT_EQ(ListBroadcastInterfaces(list, ANNOUNCE_INTERFACE_CAPACITY), c.result);
        for (int i = 0; i < ANNOUNCE_INTERFACE_CAPACITY; ++i) {
            const InterfaceAddress want = i < static_cast<int>(c.entries.size())
                                              ? c.entries[static_cast<size_t>(i)]
                                              : InterfaceAddress{0, 0};
            EXPECT_EQ(list[i].address, want.address) << i;
            EXPECT_EQ(list[i].broadcast, want.broadcast) << i;
        }
    }
}

TEST(ListBroadcastInterfacesTest, FailuresGiveMinusOneAndAnEmptyList) {
    SocketSpy spy;
    spy.With([](SpyState& s) {
        s.interfaces = {Iface(Ip(10, 0, 0, 2), Ip(255, 0, 0, 0), UB)};
        s.enumeration_fails = true;
    });
    InterfaceAddress list[2];
    std::memset(list, 0xAB, sizeof list);
    EXPECT_EQ(ListBroadcastInterfaces(list, 2), -1);
    EXPECT_EQ(list[0].address, 0u);
    EXPECT_EQ(list[1].broadcast, 0u);
    EXPECT_EQ(ListBroadcastInterfaces(nullptr, 2), -1);
}

// Each test starts from a reset run state with the server marked stopped, so that
// StopAnnouncer does not wait for it, and ends with every announcer thread gone.
class AnnouncerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(SockStartup(), 1);
        ResetRunState();
        g_server_port = 20200;
        m_pause = SetAnnouncePauseMs(ANNOUNCE_PAUSE_MS);
    }
    void TearDown() override {
        StopAnnouncer();
        EXPECT_TRUE(WaitForAnnouncerEnd(5000));
        SetAnnouncePauseMs(m_pause);
        m_spy.reset();
        SockCleanup();
    }
    SocketSpy& Spy(std::vector<NetInterface> interfaces) {
        m_spy.reset();  // the previous spy restores the system's operations first
        m_spy = std::make_unique<SocketSpy>();
        m_spy->With([&](SpyState& s) { s.interfaces = std::move(interfaces); });
        return *m_spy;
    }
    std::unique_ptr<SocketSpy> m_spy;
    unsigned m_pause = 0;
};

TEST_F(AnnouncerTest, SixtyPassesOverEverySuitableInterfaceThenStopped) {
    SocketSpy& spy = Spy({Iface(Ip(10, 0, 0, 2), Ip(255, 255, 255, 0), UB),
                          Iface(Ip(127, 0, 0, 1), Ip(255, 0, 0, 0), UB | IFACE_LOOPBACK),
                          Iface(Ip(172, 16, 5, 9), Ip(255, 255, 0, 0), UB)});
    SetAnnouncePauseMs(1);
    g_server_port = 20201;
    ASSERT_EQ(StartAnnouncer(), 1);
    ASSERT_TRUE(WaitForAnnouncerEnd(10000));
    EXPECT_EQ(g_announcer.state, TS_STOPPED);

    const std::vector<Datagram> sent = spy.Datagrams();
    ASSERT_EQ(sent.size(), 2u * ANNOUNCE_PASSES);
    for (size_t i = 0; i < sent.size(); i += 2) {
        EXPECT_EQ(sent[i].bytes, Announcement("10.0.0.2", 20201));
        EXPECT_EQ(sent[i].address, Ip(10, 0, 0, 255));
        EXPECT_EQ(sent[i].port, DISCOVERY_PORT);
        EXPECT_EQ(sent[i + 1].bytes, Announcement("172.16.5.9", 20201)) << "each carries its own address";
        EXPECT_EQ(sent[i + 1].address, Ip(172, 16, 255, 255));
    }
    int calls = 0;
    spy.With([&](SpyState& s) { calls = s.list_calls; });
    EXPECT_EQ(calls, ANNOUNCE_PASSES) << "every pass reads the list again";
}

// Behind the sixth interface or the seventieth (beyond one pass's 64 datagrams), the receiver
// hears its own address in the first pass or the next, and as often as any other interface.
TEST_F(AnnouncerTest, EveryInterfaceIsReachedWithinTheBoundOfAPass) {
    for (const unsigned count : {6u, 70u}) {
        SCOPED_TRACE(count);
        std::vector<NetInterface> list;
        for (unsigned i = 0; i < count; ++i) list.push_back(Iface(Ip(10, 1, i, 2), Ip(255, 255, 255, 0), UB));
        SocketSpy& spy = Spy(list);
        SetAnnouncePauseMs(1);
        ASSERT_EQ(StartAnnouncer(), 1);
        ASSERT_TRUE(WaitForAnnouncerEnd(10000));
        StopAnnouncer();
        const std::vector<Datagram> sent = spy.Datagrams();
        const size_t per_pass = count < 64 ? count : 64;
        ASSERT_EQ(sent.size(), per_pass * ANNOUNCE_PASSES);
        std::vector<size_t> heard(count);
        size_t first_to_last = sent.size();
        for (size_t i = 0; i < sent.size(); ++i) {
            const unsigned net = (NetToHost32(sent[i].address) >> 8) & 0xFFu;
            ASSERT_LT(net, count);
            EXPECT_EQ(sent[i].bytes, Announcement(("10.1." + std::to_string(net) + ".2").c_str(), 20200));
            if (++heard[net] == 1 && net == count - 1) first_to_last = i;
        }
        EXPECT_LT(first_to_last, 2 * per_pass);
        for (const size_t n : heard) EXPECT_GE(n, sent.size() / count);
    }
}

TEST_F(AnnouncerTest, NoSuitableInterfaceStillPassesSixtyTimesSendingNothing) {
    SocketSpy& spy = Spy({});
    SetAnnouncePauseMs(1);
    ASSERT_EQ(StartAnnouncer(), 1);
    ASSERT_TRUE(WaitForAnnouncerEnd(10000));
    int calls = 0;
    spy.With([&](SpyState& s) { calls = s.list_calls; });
    EXPECT_EQ(calls, ANNOUNCE_PASSES);
    EXPECT_TRUE(spy.Datagrams().empty());
}

TEST_F(AnnouncerTest, AnUnstoppedPassWaitsItsWholePause) {
    SocketSpy& spy = Spy({Iface(Ip(10, 0, 0, 2), Ip(255, 0, 0, 0), UB)});
    SetAnnouncePauseMs(400);
    ASSERT_EQ(StartAnnouncer(), 1);
    ASSERT_TRUE(Eventually([&] { return spy.Datagrams().size() >= 3; }, 5000));
    const std::vector<Datagram> sent = spy.Datagrams();
    EXPECT_GE(sent[1].at_ms - sent[0].at_ms, 395);
    EXPECT_GE(sent[2].at_ms - sent[1].at_ms, 395);
    EXPECT_EQ(g_announcer.state, TS_RUNNING);
}

TEST_F(AnnouncerTest, AStopCutsTheThreeSecondPauseShort) {
    SocketSpy& spy = Spy({Iface(Ip(10, 0, 0, 2), Ip(255, 0, 0, 0), UB)});
    ASSERT_EQ(StartAnnouncer(), 1);
    ASSERT_TRUE(Eventually([&] { return spy.Datagrams().size() == 1; }));
    const SocketHandle udp = g_announcer.udp_socket;
    g_server.state = TS_STOPPED;
    const long long start = MonotonicMs();
    EXPECT_EQ(StopAnnouncer(), 1) << "the server is stopped: no wait";
    EXPECT_TRUE(WaitForAnnouncerEnd(1000));
    EXPECT_LT(MonotonicMs() - start, 1000);
    EXPECT_EQ(spy.Datagrams().size(), 1u) << "nothing more after the stop";
    EXPECT_EQ(g_announcer.state, TS_STOPPED);
    EXPECT_EQ(g_announcer.udp_socket, SOCKET_NONE);
    EXPECT_EQ(spy.Closes(udp), 1);
}

TEST_F(AnnouncerTest, StopWaitsForTheAnnouncerThreadNotForTheServer) {
    SocketSpy& spy = Spy({Iface(Ip(10, 0, 0, 2), Ip(255, 0, 0, 0), UB)});
    ASSERT_EQ(StartAnnouncer(), 1);
    ASSERT_TRUE(Eventually([&] { return spy.Datagrams().size() == 1; }));
    // The server runs on, as it does when the device fetches the manifest: the stop must
    // not wait for it, only for the announcer thread, which leaves its pause at once.
    g_server.state = TS_RUNNING;
    const long long start = MonotonicMs();
    EXPECT_EQ(StopAnnouncer(), 1) << "the announcer thread had ended when the stop returned";
    EXPECT_LT(MonotonicMs() - start, 400) << "the stop waited for the server";
    EXPECT_TRUE(WaitForAnnouncerEnd(0));
    EXPECT_EQ(g_announcer.state, TS_STOPPED);
    EXPECT_EQ(spy.Datagrams().size(), 1u);
    g_server.state = TS_STOPPED;
}

TEST_F(AnnouncerTest, AFailedSendSkipsThatInterfaceForThePass) {
    SocketSpy& spy = Spy(
        {Iface(Ip(10, 0, 0, 2), Ip(255, 255, 255, 0), UB), Iface(Ip(10, 1, 0, 2), Ip(255, 255, 255, 0), UB)});
    // The odd interface listed first refuses every datagram.
    spy.With([](SpyState& s) { s.failing_destinations = {Ip(10, 0, 0, 255)}; });
    SetAnnouncePauseMs(1);
    ASSERT_EQ(StartAnnouncer(), 1);
    ASSERT_TRUE(WaitForAnnouncerEnd(10000));
    EXPECT_EQ(g_announcer.state, TS_STOPPED);
    const std::vector<Datagram> sent = spy.Datagrams();
    ASSERT_EQ(sent.size(), static_cast<size_t>(ANNOUNCE_PASSES)) << "the second interface heard every pass";
    for (const Datagram& d : sent) EXPECT_EQ(d.bytes, Announcement("10.1.0.2", 20200));
}

TEST_F(AnnouncerTest, RoutesGoneForAWhileAndBackTheDeviceHearsUsAgain) {
    SocketSpy& spy = Spy({Iface(Ip(10, 0, 0, 2), Ip(255, 255, 255, 0), UB)});
    spy.With([](SpyState& s) { s.routes_gone = true; });
    SetAnnouncePauseMs(20);
    ASSERT_EQ(StartAnnouncer(), 1);
    // A few passes with every send failing, as while a network manager reconfigures.
    ASSERT_TRUE(Eventually([&] {
        int failed = 0;
        spy.With([&](SpyState& s) { failed = s.failed_sends; });
        return failed >= 5;
    }));
    EXPECT_TRUE(spy.Datagrams().empty());
    EXPECT_EQ(g_announcer.state, TS_RUNNING) << "the announcer gave up on the first failed send";
    spy.With([](SpyState& s) { s.routes_gone = false; });
    EXPECT_TRUE(Eventually([&] { return spy.Datagrams().size() >= 2; }, 3000))
        << "nothing once the routes were back";
    g_server.state = TS_STOPPED;
}

TEST_F(AnnouncerTest, StartFailuresCleanUp) {
    // UDP 20200 taken by another socket.
    {
        SocketSpy& spy = Spy({});
        const SocketHandle other = SockUdp();
        ASSERT_EQ(SockBind(other, IPV4_ANY, DISCOVERY_PORT), 0);
        EXPECT_EQ(StartAnnouncer(), 0);
        EXPECT_EQ(g_announcer.state, TS_STOPPED);
        EXPECT_EQ(g_announcer.udp_socket, SOCKET_NONE);
        SockClose(other);
        EXPECT_TRUE(spy.Datagrams().empty());
    }
    // Broadcast refused: the socket is closed again, so the port is free afterwards.
    {
        SocketSpy& spy = Spy({});
        spy.With([](SpyState& s) { s.broadcast_refused = true; });
        EXPECT_EQ(StartAnnouncer(), 0);
        EXPECT_EQ(g_announcer.state, TS_STOPPED);
        EXPECT_EQ(g_announcer.udp_socket, SOCKET_NONE);
        const SocketHandle probe = OpenAnnounceSocket();
        EXPECT_NE(probe, SOCKET_NONE) << "the failed start left UDP 20200 bound";
        if (probe != SOCKET_NONE) SockClose(probe);
    }
    EXPECT_TRUE(WaitForAnnouncerEnd(0)) << "no thread was started";
}

TEST_F(AnnouncerTest, AThreadOfAnEarlierRunNeverAnnouncesForALaterOne) {
    SocketSpy& spy = Spy({Iface(Ip(10, 0, 0, 2), Ip(255, 0, 0, 0), UB)});
    SetAnnouncePauseMs(300);
    g_server_port = 1111;
    ASSERT_EQ(StartAnnouncer(), 1);
    ASSERT_TRUE(Eventually([&] { return spy.Datagrams().size() == 1; }));
    // The earlier run's thread is in its pause. A new run reuses the context without a stop,
    // the way a reset overwrites it: the old socket is let go and a new start follows.
    SockClose(g_announcer.udp_socket);
    ResetRunState();
    g_server_port = 2222;
    ASSERT_EQ(StartAnnouncer(), 1);
    ASSERT_TRUE(Eventually([&] { return spy.Datagrams().size() >= 1u + 4u; }));
    const std::vector<Datagram> sent = spy.Datagrams();
    int old_run = 0;
    for (size_t i = 1; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].bytes, Announcement("10.0.0.2", 2222)) << i;
        if (sent[i].bytes == Announcement("10.0.0.2", 1111)) ++old_run;
    }
    EXPECT_EQ(old_run, 0);
    // One thread sends once per pause. Had the old thread gone on too, for either run, two
    // 300 ms cycles would interleave and some gap would be 150 ms or less. A loaded machine
    // only makes the gaps longer.
    for (size_t i = 2; i < sent.size(); ++i) {
        EXPECT_GE(sent[i].at_ms - sent[i - 1].at_ms, 295) << "datagrams " << i - 1 << " and " << i;
    }
    EXPECT_EQ(g_announcer.state, TS_RUNNING) << "the old thread must not mark the new run stopped";
}

TEST_F(AnnouncerTest, TwoStopsAtOnceCloseTheSocketOnce) {
    SocketSpy& spy = Spy({});
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(StartAnnouncer(), 1);
        const SocketHandle udp = g_announcer.udp_socket;
        g_server.state = TS_STOPPED;
        const int before = spy.Closes(udp);
        std::thread a([] { StopAnnouncer(); });
        std::thread b([] { StopAnnouncer(); });
        a.join();
        b.join();
        EXPECT_EQ(spy.Closes(udp) - before, 1) << "round " << round;
        ASSERT_TRUE(WaitForAnnouncerEnd(2000));
        ResetRunState();
    }
}

}  // namespace
