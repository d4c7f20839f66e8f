// CPortMapping on the fake connection-sharing service: which connections qualify, what the
// mapping carries, that removal deletes exactly the mappings that were added (on every
// connection, never the user's own), and every reference given back.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "firewall/port_mapping.h"
#include "tests/firewall/fake_firewall.h"

namespace {

class PortMappingTest : public ::testing::Test {
protected:
    // CFirewallException::Initialize starts COM before the port mapping runs.
    void SetUp() override { fake.InitializeCom(); }
    void TearDown() override {
        fake.UninitializeCom();
        EXPECT_TRUE(fake.errors.empty()) << fake.ErrorText();
    }
    FakeConnection& AddConnection() {
        fake.connections.emplace_back();
        return fake.connections.back();
    }
    void ExpectNothingHeld() { EXPECT_EQ(fake.LiveReferences(), 0) << fake.LiveReferenceText(); }

    FakeFirewallPlatform fake;
    ScopedFirewallPlatform use{fake};
};

struct QualifyCase {
    const char* name;
    void (*script)(FakeConnection&);
    bool mapped;
};

TEST_F(PortMappingTest, OnlyQualifyingConnectionsWithTheirFirewallOnAreMapped) {
    const QualifyCase cases[] = {
        {"firewalled LAN, firewall on", [](FakeConnection&) {}, true},
        {"shared only", [](FakeConnection& c) { c.characteristics = FW_NCCF_SHARED; }, true},
        {"shared and firewalled",
         [](FakeConnection& c) { c.characteristics = FW_NCCF_SHARED | FW_NCCF_FIREWALLED | 0x1; }, true},
        {"neither shared nor firewalled", [](FakeConnection& c) { c.characteristics = 0x1 | 0x200; }, false},
        {"shared-access host LAN", [](FakeConnection& c) { c.media_type = FW_NCM_SHAREDACCESSHOST_LAN; },
         false},
        {"shared-access host RAS", [](FakeConnection& c) { c.media_type = FW_NCM_SHAREDACCESSHOST_RAS; },
         false},
        // Queries that write nothing: characteristics 0 fail, media type 0 passes.
        {"properties write nothing", [](FakeConnection& c) { c.props_write = false; }, false},
        {"item is a dispatch object", [](FakeConnection& c) { c.item_type = FwVariantType::DISPATCH; },
         false},
        {"item holds no object", [](FakeConnection& c) { c.item_type = FwVariantType::OTHER; }, false},
        {"object is no INetConnection", [](FakeConnection& c) { c.answers_connection = false; }, false},
        {"no properties", [](FakeConnection& c) { c.has_props = false; }, false},
        {"no sharing configuration", [](FakeConnection& c) { c.has_configuration = false; }, false},
        {"firewall off", [](FakeConnection& c) { c.firewall_on = false; }, false},
    };
    for (const QualifyCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeFirewallPlatform local;
        ScopedFirewallPlatform scoped(local);
        local.InitializeCom();
        local.connections.emplace_back();
        c.script(local.connections[0]);

        CPortMapping mapping;
        EXPECT_TRUE(mapping.AddMapping(20200, FW_PROTOCOL_TCP));
        EXPECT_EQ(local.connections[0].Present().size(), c.mapped ? 1u : 0u);
        // Between the operations only the created mappings are held.
        EXPECT_EQ(local.LiveReferences(), static_cast<int>(mapping.MappingsHeld()))
            << local.LiveReferenceText();
        EXPECT_EQ(mapping.RemoveMapping(), c.mapped);
        EXPECT_TRUE(local.connections[0].Present().empty());
        EXPECT_EQ(local.LiveReferences(), 0) << local.LiveReferenceText();
        local.UninitializeCom();
        EXPECT_TRUE(local.errors.empty()) << local.ErrorText();
    }
}

TEST_F(PortMappingTest, TheMappingCarriesNamePortsAndThisComputerAndIsEnabledOnce) {
    AddConnection();
    fake.computer_name = u"LIVINGROOM-PC";
    CPortMapping mapping;
    ASSERT_TRUE(mapping.AddMapping(20201, FW_PROTOCOL_TCP));

    const std::vector<FakeMapping> present = fake.connections[0].Present();
    ASSERT_EQ(present.size(), 1u);
    const FakeMapping& m = present[0];
    EXPECT_EQ(m.name, u"Orvane Updater");
    EXPECT_EQ(m.protocol, 6);
    EXPECT_EQ(m.external_port, 20201);
    EXPECT_EQ(m.internal_port, 20201);
    EXPECT_EQ(m.options, 0u);
    EXPECT_EQ(m.target, u"LIVINGROOM-PC");
    EXPECT_EQ(m.target_type, FW_ICSTT_NAME);
    EXPECT_EQ(m.enable_calls, 1);
    // Enabled right after it was created, and nowhere else.
    const auto add = std::find(fake.calls.begin(), fake.calls.end(), "AddPortMapping");
    ASSERT_NE(add, fake.calls.end());
    ASSERT_NE(add + 1, fake.calls.end());
    EXPECT_EQ(*(add + 1), "Enable");
    EXPECT_EQ(fake.CallCount("Enable"), 1);
    EXPECT_EQ(mapping.Port(), 20201);
    EXPECT_EQ(mapping.Protocol(), 6);
}

TEST_F(PortMappingTest, EveryMappedConnectionIsUndoneAtExit) {
    AddConnection();
    AddConnection();
    CPortMapping mapping;
    mapping.AddMapping(20200, FW_PROTOCOL_TCP);
    EXPECT_EQ(fake.connections[0].Present().size(), 1u);
    EXPECT_EQ(fake.connections[1].Present().size(), 1u);
    EXPECT_EQ(fake.LiveReferences(), 2) << fake.LiveReferenceText();

    EXPECT_TRUE(mapping.RemoveMapping());
    EXPECT_TRUE(fake.connections[0].Present().empty());
    EXPECT_TRUE(fake.connections[1].Present().empty()) << "the second connection must not stay open";
    EXPECT_EQ(fake.delete_calls, 2);
    ExpectNothingHeld();
}

TEST_F(PortMappingTest, FirewallOffFirstDoesNotHideTheMappingOnTheSecond) {
    AddConnection().firewall_on = false;
    AddConnection();
    CPortMapping mapping;
    mapping.AddMapping(20200, FW_PROTOCOL_TCP);
    EXPECT_EQ(fake.connections[0].add_calls, 0);
    EXPECT_EQ(fake.connections[1].Present().size(), 1u);

    EXPECT_TRUE(mapping.RemoveMapping());
    EXPECT_TRUE(fake.connections[1].Present().empty());
    ExpectNothingHeld();
}

TEST_F(PortMappingTest, TheUsersOwnMappingsStay) {
    // The user's mappings on the first qualifying connection, with the same protocol and
    // external port but another name, internal port and target, enumerated before ours.
    FakeMapping own;
    own.name = u"Media server";
    own.protocol = FW_PROTOCOL_TCP;
    own.external_port = 20200;
    own.internal_port = 8080;
    own.target = u"NAS";
    FakeConnection& first = AddConnection();
    first.mappings.push_back(own);
    FakeConnection& second = AddConnection();
    second.firewall_on = false;
    second.mappings.push_back(own);

    CPortMapping mapping;
    mapping.AddMapping(20200, FW_PROTOCOL_TCP);
    ASSERT_EQ(fake.connections[0].Present().size(), 2u);
    EXPECT_TRUE(mapping.RemoveMapping());

    for (const FakeConnection& c : fake.connections) {
        const std::vector<FakeMapping> present = c.Present();
        ASSERT_EQ(present.size(), 1u);
        EXPECT_EQ(present[0].name, u"Media server");
        EXPECT_FALSE(present[0].added_by_call);
    }
    EXPECT_EQ(fake.delete_calls, 1);
    ExpectNothingHeld();
}

TEST_F(PortMappingTest, NoQualifyingConnectionChangesNothing) {
    AddConnection().characteristics = 0;
    AddConnection().media_type = FW_NCM_SHAREDACCESSHOST_LAN;
    CPortMapping mapping;
    EXPECT_TRUE(mapping.AddMapping(20200, FW_PROTOCOL_TCP));
    EXPECT_EQ(fake.CallCount("AddPortMapping"), 0);
    ExpectNothingHeld();
    EXPECT_FALSE(mapping.RemoveMapping());
    EXPECT_EQ(fake.delete_calls, 0);
}

TEST_F(PortMappingTest, NoMappingObjectOnOneConnectionStillHandlesTheOthers) {
    AddConnection().add_gives_mapping = false;
    AddConnection();
    CPortMapping mapping;
    EXPECT_TRUE(mapping.AddMapping(20200, FW_PROTOCOL_TCP));
    EXPECT_EQ(fake.connections[0].add_calls, 1);
    EXPECT_TRUE(fake.connections[0].Present().empty());
    ASSERT_EQ(fake.connections[1].Present().size(), 1u);
    EXPECT_EQ(fake.connections[1].Present()[0].enable_calls, 1);
    EXPECT_EQ(fake.CallCount("Enable"), 1) << "nothing is enabled where no mapping came back";
    EXPECT_EQ(mapping.MappingsHeld(), 1u);

    EXPECT_TRUE(mapping.RemoveMapping());
    EXPECT_TRUE(fake.connections[1].Present().empty());
    ExpectNothingHeld();
}

TEST_F(PortMappingTest, MappingObjectWithAFailureIsStillEnabledAndUndone) {
    // The HRESULT of AddPortMapping is not examined: an object that came back is ours.
    AddConnection().add_result = FW_S_FALSE;
    CPortMapping mapping;
    mapping.AddMapping(20200, FW_PROTOCOL_TCP);
    ASSERT_EQ(fake.connections[0].Present().size(), 1u);
    EXPECT_EQ(fake.connections[0].Present()[0].enable_calls, 1);
    EXPECT_TRUE(mapping.RemoveMapping());
    EXPECT_TRUE(fake.connections[0].Present().empty());
    ExpectNothingHeld();
}

TEST_F(PortMappingTest, PortsOverTheWholeRangeAreMappedAndDeleted) {
    for (const uint16_t port :
         {uint16_t{1}, uint16_t{20200}, uint16_t{32767}, uint16_t{32768}, uint16_t{40000}, uint16_t{65535}}) {
        SCOPED_TRACE(port);
        FakeFirewallPlatform local;
        ScopedFirewallPlatform scoped(local);
        local.InitializeCom();
        local.connections.emplace_back();
        CPortMapping mapping;
        mapping.AddMapping(port, FW_PROTOCOL_TCP);
        ASSERT_EQ(local.connections[0].Present().size(), 1u);
        EXPECT_EQ(local.connections[0].Present()[0].external_port, port);
        EXPECT_EQ(local.connections[0].Present()[0].internal_port, port);
        EXPECT_TRUE(mapping.RemoveMapping());
        EXPECT_TRUE(local.connections[0].Present().empty());
        EXPECT_EQ(mapping.Port(), 0);
        EXPECT_EQ(mapping.Protocol(), 0);
        EXPECT_EQ(local.LiveReferences(), 0);
        local.UninitializeCom();
        EXPECT_TRUE(local.errors.empty()) << local.ErrorText();
    }
}

struct MissingCase {
    const char* name;
    void (*script)(FakeFirewallPlatform&);
};

TEST_F(PortMappingTest, AMissingServicePieceChangesNothing) {
    const MissingCase cases[] = {
        {"no sharing manager", [](FakeFirewallPlatform& f) { f.sharing_present = false; }},
        {"no every-connection collection",
         [](FakeFirewallPlatform& f) { f.every_connection_present = false; }},
        {"no _NewEnum object", [](FakeFirewallPlatform& f) { f.new_enum_present = false; }},
        {"no IEnumVARIANT", [](FakeFirewallPlatform& f) { f.enum_variant_present = false; }},
        {"no computer name", [](FakeFirewallPlatform& f) { f.computer_name_readable = false; }},
        {"entry name does not convert", [](FakeFirewallPlatform& f) { f.conversion_works = false; }},
    };
    for (const MissingCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeFirewallPlatform local;
        ScopedFirewallPlatform scoped(local);
        local.InitializeCom();
        local.connections.emplace_back();
        c.script(local);
        CPortMapping mapping;
        EXPECT_TRUE(mapping.AddMapping(20200, FW_PROTOCOL_TCP));
        EXPECT_TRUE(local.connections[0].mappings.empty());
        EXPECT_EQ(local.CallCount("AddPortMapping"), 0);
        EXPECT_EQ(local.LiveReferences(), 0) << local.LiveReferenceText();
        EXPECT_FALSE(mapping.RemoveMapping());
        EXPECT_EQ(local.delete_calls, 0);
        local.UninitializeCom();
        EXPECT_TRUE(local.errors.empty()) << local.ErrorText();
    }
}

TEST_F(PortMappingTest, ASecondRemovalDoesNothing) {
    AddConnection();
    CPortMapping mapping;
    mapping.AddMapping(20200, FW_PROTOCOL_TCP);
    EXPECT_TRUE(mapping.RemoveMapping());
    EXPECT_FALSE(mapping.RemoveMapping());
    EXPECT_EQ(fake.delete_calls, 1);
    ExpectNothingHeld();
}

TEST_F(PortMappingTest, DestroyedWithoutRemovalReleasesButDeletesNothing) {
    AddConnection();
    {
        CPortMapping mapping;
        mapping.AddMapping(20200, FW_PROTOCOL_TCP);
        EXPECT_EQ(fake.LiveReferences(), 1);
    }
    ExpectNothingHeld();
    EXPECT_EQ(fake.delete_calls, 0);
    EXPECT_EQ(fake.connections[0].Present().size(), 1u);
}

}  // namespace
