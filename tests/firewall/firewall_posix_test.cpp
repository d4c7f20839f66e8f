// The opening through this platform's own services, which have no firewall: the port-mapping
// method is recorded and neither the opening nor the closing changes anything.
#include <gtest/gtest.h>

#include <string>

#include "firewall/firewall_exception.h"
#include "firewall/firewall_opening.h"
#include "firewall/port_mapping.h"
#include "platform/sockets.h"
#include "run/run_state.h"

namespace {

TEST(FirewallPosixTest, NoManagerOfEitherKindExists) {
    FirewallPlatform& platform = SystemFirewallPlatform();
    FwManager* manager = nullptr;
    FwSharingManager* sharing = nullptr;
    FwAuthorizedApplication* entry = nullptr;
    EXPECT_FALSE(FwSucceeded(platform.CreateFirewallManager(&manager)));
    EXPECT_FALSE(FwSucceeded(platform.CreateSharingManager(&sharing)));
    EXPECT_FALSE(FwSucceeded(platform.CreateAuthorizedApplication(&entry)));
    EXPECT_EQ(manager, nullptr);
    EXPECT_EQ(sharing, nullptr);
    EXPECT_EQ(entry, nullptr);
}

TEST(FirewallPosixTest, TheOpeningTakesThePortMappingAndChangesNothing) {
    SockStartup();
    g_firewall_method = FIREWALL_NONE;
    CPortMapping* port_mapping = nullptr;
    CFirewallException* firewall_exception = nullptr;
    OpenFirewallFor(port_mapping, firewall_exception);
    EXPECT_EQ(g_firewall_method, FIREWALL_PORT_MAPPING);
    EXPECT_EQ(g_server_port, 20200) << "the probe ran (the suite's network namespace has 20200 free)";
    ASSERT_NE(port_mapping, nullptr);
    EXPECT_EQ(port_mapping->MappingsHeld(), 0u);
    EXPECT_EQ(port_mapping->Port(), 20200);
    CloseFirewallFor(port_mapping, firewall_exception);
    EXPECT_EQ(port_mapping, nullptr);
    EXPECT_EQ(firewall_exception, nullptr);
    SockCleanup();
}

TEST(FirewallPosixTest, TextConvertsByteForByteUpToTheWorkArea) {
    FirewallPlatform& platform = SystemFirewallPlatform();
    FwText wide;
    ASSERT_TRUE(platform.AnsiToWide("Orvane Updater", &wide));
    EXPECT_EQ(wide, u"Orvane Updater");
    ASSERT_TRUE(platform.AnsiToWide("\xe9t\xe9", &wide));
    EXPECT_EQ(wide, u"\u00e9t\u00e9");
    EXPECT_TRUE(platform.AnsiToWide(std::string(FW_TEXT_CAPACITY - 1, 'a').c_str(), &wide));
    EXPECT_FALSE(platform.AnsiToWide(std::string(FW_TEXT_CAPACITY, 'a').c_str(), &wide));
    EXPECT_TRUE(wide.empty());
}

}  // namespace
