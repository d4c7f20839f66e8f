// The opening and closing as the main window runs them, on the fakes: the method chosen by
// the firewall manager alone, the port the fallback maps (20200 free, busy, or no socket at
// all), closing that undoes exactly what opening did, and closing once and only once.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "firewall/firewall_exception.h"
#include "firewall/firewall_opening.h"
#include "firewall/port_mapping.h"
#include "platform/sockets.h"
#include "run/run_state.h"
#include "tests/firewall/fake_firewall.h"

namespace {

class FirewallOpeningTest : public ::testing::Test {
protected:
    void SetUp() override {
        SockStartup();
        g_firewall_method = FIREWALL_NONE;
        g_server_port = 0;
    }
    void TearDown() override {
        CloseFirewallFor(port_mapping, firewall_exception);
        SockCleanup();
        EXPECT_TRUE(fake.errors.empty()) << fake.ErrorText();
    }
    void Open() { OpenFirewallFor(port_mapping, firewall_exception); }
    void Close() { CloseFirewallFor(port_mapping, firewall_exception); }
    // After a closing: nothing held, COM ended, both objects gone.
    void ExpectClosed() {
        EXPECT_EQ(port_mapping, nullptr);
        EXPECT_EQ(firewall_exception, nullptr);
        EXPECT_EQ(fake.LiveReferences(), 0) << fake.LiveReferenceText();
        EXPECT_EQ(fake.com_depth, 0);
        EXPECT_EQ(fake.uninitialize_calls, 1);
    }
    // The mapping ports the fake has seen added, in order.
    std::vector<int32_t> MappedPorts() const {
        std::vector<int32_t> ports;
        for (const FakeConnection& c : fake.connections)
            for (const FakeMapping& m : c.mappings)
                if (m.added_by_call) ports.push_back(m.external_port);
        return ports;
    }

    FakeFirewallPlatform fake;
    ScopedFirewallPlatform use{fake};
    CPortMapping* port_mapping = nullptr;
    CFirewallException* firewall_exception = nullptr;
};

TEST_F(FirewallOpeningTest, WithTheManagerTheApplicationIsListedUntilClosing) {
    g_server_port = 4321;  // no probe on this path: the port stays as it was
    Open();
    ASSERT_NE(port_mapping, nullptr);
    ASSERT_NE(firewall_exception, nullptr);
    EXPECT_EQ(g_firewall_method, FIREWALL_APP_EXCEPTION);
    ASSERT_EQ(fake.entries.size(), 1u);
    EXPECT_EQ(fake.entries[0].name, u"Orvane Updater");
    EXPECT_EQ(fake.entries[0].path, fake.executable_path);
    EXPECT_EQ(g_server_port, 4321);
    EXPECT_EQ(fake.create_sharing_calls, 0) << "the port mapping is not tried";
    EXPECT_EQ(fake.com_depth, 1);
    EXPECT_EQ(fake.LiveReferences(), 1) << "only the collection is held while the updater runs";

    Close();
    EXPECT_TRUE(fake.entries.empty());
    ASSERT_EQ(fake.removed_paths.size(), 1u);
    EXPECT_EQ(fake.removed_paths[0], fake.executable_path);
    EXPECT_EQ(g_firewall_method, FIREWALL_APP_EXCEPTION);
    ExpectClosed();
    // The collection goes before COM ends.
    const auto remove = std::find(fake.calls.begin(), fake.calls.end(), "Remove");
    const auto uninit = std::find(fake.calls.begin(), fake.calls.end(), "CoUninitialize");
    EXPECT_LT(remove, uninit);
}

TEST_F(FirewallOpeningTest, AnEntryThatWasThereBeforeOutlivesTheUpdater) {
    fake.entries.push_back({u"Orvane Updater (mine)", fake.executable_path, false, FW_SCOPE_ALL});
    Open();
    EXPECT_EQ(g_firewall_method, FIREWALL_APP_EXCEPTION);
    Close();
    ASSERT_EQ(fake.entries.size(), 1u);
    EXPECT_EQ(fake.entries[0].name, u"Orvane Updater (mine)");
    EXPECT_FALSE(fake.entries[0].enabled);
    EXPECT_TRUE(fake.removed_paths.empty());
    ExpectClosed();
}

TEST_F(FirewallOpeningTest, AnEntryOfOurOwnLeftBehindByAnEarlierRunIsRemovedAtClosing) {
    // The previous run was killed before its closing: its entry is still listed.
    fake.entries.push_back({u"Orvane Updater", fake.executable_path, true, FW_SCOPE_LOCAL_SUBNET});
    Open();
    EXPECT_EQ(g_firewall_method, FIREWALL_APP_EXCEPTION);
    EXPECT_EQ(fake.add_calls, 0) << "the entry is there already";
    EXPECT_EQ(fake.entries.size(), 1u);
    Close();
    EXPECT_TRUE(fake.entries.empty()) << "the PC must not stay open for good";
    ASSERT_EQ(fake.removed_paths.size(), 1u);
    EXPECT_EQ(fake.removed_paths[0], fake.executable_path);
    ExpectClosed();
}

TEST_F(FirewallOpeningTest, WithoutAdministratorRightsNothingIsAddedAndNothingRemoved) {
    fake.administrator = false;
    Open();
    EXPECT_EQ(g_firewall_method, FIREWALL_APP_EXCEPTION);
    EXPECT_EQ(fake.add_calls, 1);
    EXPECT_TRUE(fake.entries.empty());
    EXPECT_EQ(fake.create_sharing_calls, 0) << "no fallback to the port mapping";
    Close();
    EXPECT_TRUE(fake.removed_paths.empty());
    ExpectClosed();
}

TEST_F(FirewallOpeningTest, PathAndComputerNameOutsideTheAnsiCodePageReachTheServicesUnchanged) {
    const FwText path = u"C:\\Users\\\u0141ukasz\\\u65E5\u672C\u8A9E\\orvane-updater.exe";
    const FwText computer = u"\u0141UKASZ-\u30D1\u30BD\u30B3\u30F3";
    struct Case {
        const char* name;
        bool manager;
    };
    for (const Case& c : {Case{"application method", true}, Case{"port-mapping method", false}}) {
        SCOPED_TRACE(c.name);
        FakeFirewallPlatform local;
        ScopedFirewallPlatform scoped(local);
        local.manager_present = c.manager;
        local.executable_path = path;
        local.computer_name = computer;
        local.connections.emplace_back();
        CPortMapping* pm = nullptr;
        CFirewallException* fe = nullptr;
        OpenFirewallFor(pm, fe);
        if (c.manager) {
            ASSERT_EQ(local.entries.size(), 1u);
            EXPECT_EQ(local.entries[0].path, path);
        } else {
            ASSERT_EQ(local.connections[0].mappings.size(), 1u);
            EXPECT_EQ(local.connections[0].mappings[0].target, computer);
        }
        CloseFirewallFor(pm, fe);
        EXPECT_TRUE(local.entries.empty());
        EXPECT_TRUE(local.connections[0].Present().empty());
        EXPECT_EQ(local.removed_paths, c.manager ? std::vector<FwText>{path} : std::vector<FwText>{});
        EXPECT_EQ(local.LiveReferences(), 0);
        EXPECT_TRUE(local.errors.empty()) << local.ErrorText();
    }
}

TEST_F(FirewallOpeningTest, ManagerWithoutProfileRecordsTheApplicationMethodAndChangesNothing) {
    fake.profile_present = false;
    fake.connections.emplace_back();
    Open();
    EXPECT_EQ(g_firewall_method, FIREWALL_APP_EXCEPTION);
    EXPECT_TRUE(fake.entries.empty());
    EXPECT_EQ(fake.create_sharing_calls, 0);
    EXPECT_EQ(g_server_port, 0);
    Close();
    EXPECT_TRUE(fake.removed_paths.empty());
    EXPECT_TRUE(fake.connections[0].mappings.empty());
    ExpectClosed();
}

TEST_F(FirewallOpeningTest, UnreadableExecutablePathAddsNoEntry) {
    fake.executable_path_readable = false;
    Open();
    EXPECT_EQ(g_firewall_method, FIREWALL_APP_EXCEPTION);
    EXPECT_TRUE(fake.entries.empty());
    EXPECT_EQ(fake.item_calls, 0);
    Close();
    ExpectClosed();
}

TEST_F(FirewallOpeningTest, WithoutTheManagerPort20200IsMappedWhenFree) {
    fake.manager_present = false;
    fake.connections.emplace_back();
    Open();
    EXPECT_EQ(g_firewall_method, FIREWALL_PORT_MAPPING);
    EXPECT_EQ(g_server_port, 20200);
    EXPECT_EQ(MappedPorts(), std::vector<int32_t>{20200});
    EXPECT_EQ(fake.connections[0].mappings[0].protocol, FW_PROTOCOL_TCP);
    EXPECT_EQ(fake.com_depth, 1) << "the port mapping runs inside the apartment Initialize opened";

    Close();
    EXPECT_TRUE(fake.connections[0].Present().empty());
    EXPECT_EQ(g_firewall_method, FIREWALL_PORT_MAPPING);
    ExpectClosed();
}

TEST_F(FirewallOpeningTest, With20200BusyTheFirstFreePortAboveIsMapped) {
    fake.manager_present = false;
    fake.connections.emplace_back();
    const SocketHandle holder = SockTcp();
    ASSERT_NE(holder, SOCKET_NONE);
    ASSERT_EQ(SockBind(holder, IPV4_ANY, 20200), 0) << "20200 must be free in the test's network namespace";
    ASSERT_EQ(SockListen(holder, 1), 0);

    Open();
    const uint16_t port = g_server_port;
    EXPECT_GT(port, 20200);
    EXPECT_EQ(MappedPorts(), std::vector<int32_t>{port});
    SockClose(holder);
    // The probe released the port again, so the first update run can bind it.
    const SocketHandle again = SockTcp();
    EXPECT_EQ(SockBind(again, IPV4_ANY, port), 0);
    SockClose(again);

    Close();
    EXPECT_TRUE(fake.connections[0].Present().empty());
    ExpectClosed();
}

SocketHandle NoSocket() { return SOCKET_NONE; }

TEST_F(FirewallOpeningTest, WhenTheProbeHasNoSocketPort20200IsMapped) {
    fake.manager_present = false;
    fake.connections.emplace_back();
    SocketOps ops = SystemSocketOps();
    ops.tcp_socket = NoSocket;
    const SocketOps previous = SetSocketOps(ops);
    g_server_port = 777;
    Open();
    SetSocketOps(previous);

    EXPECT_EQ(g_server_port, 0) << "the reset ran and its probe found nothing";
    EXPECT_EQ(MappedPorts(), std::vector<int32_t>{20200});
    Close();
    ExpectClosed();
}

TEST_F(FirewallOpeningTest, NeitherServiceRecordsThePortMappingAndChangesNothing) {
    fake.manager_present = false;
    fake.sharing_present = false;
    Open();
    EXPECT_EQ(g_firewall_method, FIREWALL_PORT_MAPPING);
    EXPECT_EQ(fake.create_sharing_calls, 1);
    Close();
    EXPECT_EQ(fake.delete_calls, 0);
    ExpectClosed();
}

TEST_F(FirewallOpeningTest, EveryMappedConnectionIsClosed) {
    fake.manager_present = false;
    fake.connections.emplace_back();
    fake.connections.back().firewall_on = false;
    fake.connections.emplace_back();
    fake.connections.emplace_back();
    Open();
    EXPECT_EQ(MappedPorts(), (std::vector<int32_t>{20200, 20200}));
    Close();
    for (const FakeConnection& c : fake.connections) EXPECT_TRUE(c.Present().empty());
    ExpectClosed();
}

TEST_F(FirewallOpeningTest, ClosingWithNothingOpenedDoesNothing) {
    Close();
    EXPECT_TRUE(fake.calls.empty());
    EXPECT_EQ(fake.uninitialize_calls, 0);
    EXPECT_EQ(port_mapping, nullptr);
    EXPECT_EQ(firewall_exception, nullptr);
}

struct TwiceCase {
    const char* name;
    bool manager;
};

TEST_F(FirewallOpeningTest, ASecondClosingDoesNothing) {
    const TwiceCase cases[] = {{"application method", true}, {"port-mapping method", false}};
    for (const TwiceCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeFirewallPlatform local;
        ScopedFirewallPlatform scoped(local);
        local.manager_present = c.manager;
        local.connections.emplace_back();
        CPortMapping* pm = nullptr;
        CFirewallException* fe = nullptr;
        OpenFirewallFor(pm, fe);
        CloseFirewallFor(pm, fe);
        const std::size_t calls_after_first = local.calls.size();
        CloseFirewallFor(pm, fe);
        EXPECT_EQ(local.calls.size(), calls_after_first);
        EXPECT_EQ(local.uninitialize_calls, 1);
        EXPECT_EQ(local.removed_paths.size(), c.manager ? 1u : 0u);
        EXPECT_EQ(local.delete_calls, c.manager ? 0 : 1);
        EXPECT_EQ(local.LiveReferences(), 0);
        EXPECT_TRUE(local.errors.empty()) << local.ErrorText();
    }
}

TEST_F(FirewallOpeningTest, ASecondOpeningWhileOneIsHeldDoesNothing) {
    Open();
    CPortMapping* const first_mapping = port_mapping;
    CFirewallException* const first_exception = firewall_exception;
    Open();
    EXPECT_EQ(port_mapping, first_mapping);
    EXPECT_EQ(firewall_exception, first_exception);
    EXPECT_EQ(fake.initialize_calls, 1);
    EXPECT_EQ(fake.entries.size(), 1u);
    Close();
    ExpectClosed();
}

TEST_F(FirewallOpeningTest, ReopeningAfterClosingWorksAgain) {
    Open();
    Close();
    Open();
    EXPECT_EQ(fake.entries.size(), 1u);
    Close();
    EXPECT_TRUE(fake.entries.empty());
    EXPECT_EQ(fake.LiveReferences(), 0);
    EXPECT_EQ(fake.com_depth, 0);
}

}  // namespace
