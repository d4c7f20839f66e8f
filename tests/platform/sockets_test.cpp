// The socket layer over real loopback sockets, and the replaceable operations table.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "platform/sockets.h"

namespace {

class SocketsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(SockStartup(), 1); }
    void TearDown() override { SockCleanup(); }

    // A listening socket on a loopback port of the system's choosing.
    SocketHandle Listener(uint16_t* port) {
        const SocketHandle s = SockTcp();
        EXPECT_NE(s, SOCKET_NONE);
        EXPECT_EQ(SockBind(s, LoopbackIPv4(), 0), 0);
        EXPECT_EQ(SockListen(s, 4), 0);
        *port = SockLocalPort(s);
        EXPECT_NE(*port, 0);
        return s;
    }

    SocketHandle Connected(uint16_t port) {
        const SocketHandle c = SockTcp();
        EXPECT_EQ(SockConnect(c, LoopbackIPv4(), port), 0);
        return c;
    }
};

TEST_F(SocketsTest, AcceptReportsThePeerAndBytesArriveOneAtATime) {
    uint16_t port = 0;
    const SocketHandle l = Listener(&port);
    const SocketHandle c = Connected(port);
    uint32_t peer = 0;
    const SocketHandle a = SockAccept(l, &peer);
    ASSERT_NE(a, SOCKET_NONE);
    EXPECT_EQ(peer, LoopbackIPv4());

    EXPECT_EQ(SockWaitReadable(a, 0, 20000), 0) << "nothing sent yet: time-out";
    ASSERT_EQ(SockSend(c, "ab", 2), 2);
    EXPECT_GT(SockWaitReadable(a, 5, 0), 0);
    unsigned char byte = 0;
    ASSERT_EQ(SockRecv(a, &byte, 1), 1);
    EXPECT_EQ(byte, 'a');
    ASSERT_EQ(SockRecv(a, &byte, 1), 1);
    EXPECT_EQ(byte, 'b');

    SockClose(c);
    EXPECT_GT(SockWaitReadable(a, 5, 0), 0) << "a closed peer reads as readable";
    EXPECT_EQ(SockRecv(a, &byte, 1), 0) << "and then as end of stream";
    SockClose(a);
    SockClose(l);
}

TEST_F(SocketsTest, SendingToAVanishedPeerFailsWithoutEndingTheProcess) {
    uint16_t port = 0;
    const SocketHandle l = Listener(&port);
    const SocketHandle c = Connected(port);
    const SocketHandle a = SockAccept(l, nullptr);
    ASSERT_NE(a, SOCKET_NONE);
    SockClose(c);
    // The first sends may still be queued; once the reset arrives every send fails. With
    // SIGPIPE raised the process would end here instead.
    std::string chunk(4096, 'x');
    int result = 0;
    for (int i = 0; i < 200 && result != -1; ++i) {
        result = SockSend(a, chunk.data(), chunk.size());
        if (result != -1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(result, -1);
    SockClose(a);
    SockClose(l);
}

TEST_F(SocketsTest, BindFailsWhileAnotherSocketListensAndTheSameSocketCanTryAgain) {
    uint16_t port = 0;
    const SocketHandle l = Listener(&port);
    const SocketHandle s = SockTcp();
    EXPECT_EQ(SockBind(s, IPV4_ANY, port), -1);
    EXPECT_EQ(SockBind(s, IPV4_ANY, 0), 0) << "after a failed bind the socket may try another port";
    EXPECT_NE(SockLocalPort(s), port);
    SockClose(s);
    SockClose(l);
}

TEST_F(SocketsTest, UdpPortIsExclusiveAndDatagramsCarryTheirSender) {
    const SocketHandle r = SockUdp();
    ASSERT_EQ(SockBind(r, LoopbackIPv4(), 0), 0);
    const uint16_t port = SockLocalPort(r);
    const SocketHandle other = SockUdp();
    EXPECT_EQ(SockBind(other, IPV4_ANY, port), -1) << "a bound UDP port stays taken";

    const SocketHandle s = SockUdp();
    ASSERT_EQ(SockBind(s, LoopbackIPv4(), 0), 0);
    EXPECT_EQ(SockSetBroadcast(s, 1), 0);
    ASSERT_EQ(SockSendTo(s, "hello", 5, LoopbackIPv4(), port), 5);
    char buf[16] = {};
    uint32_t from = 0;
    uint16_t from_port = 0;
    ASSERT_GT(SockWaitReadable(r, 5, 0), 0);
    ASSERT_EQ(SockRecvFrom(r, buf, sizeof buf, &from, &from_port), 5);
    EXPECT_STREQ(buf, "hello");
    EXPECT_EQ(from, LoopbackIPv4());
    EXPECT_EQ(from_port, SockLocalPort(s));
    SockClose(s);
    SockClose(other);
    SockClose(r);
}

TEST_F(SocketsTest, OptionsAndOperationsOnAClosedHandleFail) {
    const SocketHandle s = SockTcp();
    EXPECT_EQ(SockSetLinger(s, 1, 2), 0);
    EXPECT_EQ(SockClose(s), 0);
    EXPECT_EQ(SockSetLinger(s, 1, 2), -1);
    EXPECT_EQ(SockBind(s, IPV4_ANY, 0), -1);
    unsigned char byte;
    EXPECT_EQ(SockRecv(s, &byte, 1), -1);
    EXPECT_EQ(SockSend(s, "x", 1), -1);
    EXPECT_LT(SockWaitReadable(s, 0, 1000), 0);
}

TEST_F(SocketsTest, InterfaceListHasLoopbackWithItsFlags) {
    NetInterface list[MAX_NET_INTERFACES];
    const int n = SockListInterfaces(list, MAX_NET_INTERFACES);
    ASSERT_GE(n, 1);
    bool found = false;
    for (int i = 0; i < n; ++i) {
        if (list[i].address == LoopbackIPv4()) {
            found = true;
            EXPECT_TRUE(list[i].flags & IFACE_UP);
            EXPECT_TRUE(list[i].flags & IFACE_LOOPBACK);
            EXPECT_EQ(list[i].netmask, MakeIPv4(255, 0, 0, 0));
#ifndef _WIN32
            EXPECT_STREQ(list[i].name, "lo");  // the firewall opening asks for the zone by this name
#endif
        }
    }
    EXPECT_TRUE(found);
    // The capacity cuts the list.
    EXPECT_EQ(SockListInterfaces(list, 0), 0);
    EXPECT_EQ(SockListInterfaces(nullptr, 4), -1);
}

// The table seam: a test swaps in operations without the product code knowing.
int g_fake_binds = 0;
int FailingBind(SocketHandle, uint32_t, uint16_t) {
    ++g_fake_binds;
    return -1;
}
int FixedInterfaces(NetInterface* out, int capacity) {
    if (capacity < 1) return 0;
    out[0] = {MakeIPv4(10, 0, 0, 2), MakeIPv4(255, 255, 255, 0), IFACE_UP | IFACE_BROADCAST, {}};
    return 1;
}

TEST_F(SocketsTest, ReplacedOperationsAreUsedAndTheOldOnesComeBack) {
    SocketOps ops = SystemSocketOps();
    ops.bind = FailingBind;
    ops.list_interfaces = FixedInterfaces;
    const SocketOps previous = SetSocketOps(ops);
    const SocketHandle s = SockTcp();
    EXPECT_EQ(SockBind(s, IPV4_ANY, 0), -1);
    EXPECT_EQ(g_fake_binds, 1);
    NetInterface list[4];
    ASSERT_EQ(SockListInterfaces(list, 4), 1);
    EXPECT_EQ(list[0].address, MakeIPv4(10, 0, 0, 2));
    SetSocketOps(previous);
    EXPECT_EQ(SockBind(s, IPV4_ANY, 0), 0);
    SockClose(s);
}

TEST(AddressTextTest, FormatsAndParsesDottedDecimal) {
    char text[16];
    const struct {
        uint32_t address;
        const char* text;
    } cases[] = {
        {MakeIPv4(192, 168, 1, 10), "192.168.1.10"},
        {MakeIPv4(1, 1, 1, 1), "1.1.1.1"},
        {MakeIPv4(255, 255, 255, 255), "255.255.255.255"},
        {MakeIPv4(10, 0, 0, 2), "10.0.0.2"},
        {0, "0.0.0.0"},
    };
    for (const auto& c : cases) {
        FormatIPv4(c.address, text);
        EXPECT_STREQ(text, c.text);
        uint32_t parsed = 1;
        EXPECT_TRUE(ParseIPv4(c.text, &parsed)) << c.text;
        EXPECT_EQ(parsed, c.address) << c.text;
    }
    uint32_t a = 0;
    for (const char* bad :
         {"", "1.2.3", "1.2.3.4.", "256.1.1.1", "1..2.3", "a.b.c.d", "1.2.3.4 ", "0001.2.3.4"}) {
        EXPECT_FALSE(ParseIPv4(bad, &a)) << bad;
    }
    // Network byte order: the first number is the first byte in memory.
    const uint32_t n = MakeIPv4(10, 20, 30, 40);
    unsigned char bytes[4];
    std::memcpy(bytes, &n, 4);
    EXPECT_EQ(bytes[0], 10);
    EXPECT_EQ(bytes[3], 40);
    EXPECT_EQ(NetToHost32(n), 0x0A141E28u);
    const uint16_t p = HostToNet16(20200);
    std::memcpy(bytes, &p, 2);
    EXPECT_EQ(bytes[0], 20200 >> 8);
    EXPECT_EQ(bytes[1], 20200 & 0xFF);
}

}  // namespace
