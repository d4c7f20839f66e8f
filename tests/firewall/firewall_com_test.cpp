// The firewall services through the real COM objects of the platform (Windows build only).
// What the platform stores is its own business; this shows that every call of the opening
// and closing reaches COM, that nothing crashes and that every reference is given back.
// The results each call gave are printed, so that a run shows what the platform supports.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "firewall/firewall_constants.h"
#include "firewall/firewall_exception.h"
#include "firewall/firewall_opening.h"
#include "firewall/port_mapping.h"
#include "platform/firewall_platform.h"
#include "platform/process_info.h"
#include "run/run_state.h"

namespace {

void Report(const char* what, FwResult result) {
    std::printf("[com] %-44s 0x%08lX\n", what, static_cast<unsigned long>(static_cast<uint32_t>(result)));
}

class FirewallComTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(FirewallPlatformReferencesHeld(), 0); }
    void TearDown() override { EXPECT_EQ(FirewallPlatformReferencesHeld(), 0); }
    FirewallPlatform& platform = SystemFirewallPlatform();
};

TEST_F(FirewallComTest, WindowsFirewallObjectsAnswerAndEveryReferenceIsGivenBack) {
    const FwResult init = platform.InitializeCom();
    Report("CoInitialize", init);
    ASSERT_TRUE(FwSucceeded(init));

    FwText wide_path;
    ASSERT_TRUE(platform.ReadExecutablePath(&wide_path));

    FwManager* manager = nullptr;
    Report("CoCreateInstance(NetFwMgr)", platform.CreateFirewallManager(&manager));
    ASSERT_NE(manager, nullptr);
    FwPolicy* policy = nullptr;
    Report("INetFwMgr::get_LocalPolicy", manager->GetLocalPolicy(&policy));
    ASSERT_NE(policy, nullptr);
    FwProfile* profile = nullptr;
    Report("INetFwPolicy::get_CurrentProfile", policy->GetCurrentProfile(&profile));
    ASSERT_NE(profile, nullptr);
    FwAuthorizedApplications* applications = nullptr;
    Report("INetFwProfile::get_AuthorizedApplications", profile->GetAuthorizedApplications(&applications));
    ASSERT_NE(applications, nullptr);
    EXPECT_EQ(FirewallPlatformReferencesHeld(), 4);

    FwAuthorizedApplication* found = nullptr;
    // Wine's list stores nothing: its Item hands out an entry for any path, before the Add as
    // after it, and that entry's get_Name is not implemented.
    Report("Item before Add", applications->Item(wide_path, &found));
    std::printf("[com] Item before Add gave %s\n", found != nullptr ? "an entry" : "no entry");
    FwRelease(found);

    FwAuthorizedApplication* entry = nullptr;
    Report("CoCreateInstance(NetFwAuthorizedApplication)", platform.CreateAuthorizedApplication(&entry));
    ASSERT_NE(entry, nullptr);
    Report("put_Name", entry->PutName(u"Orvane Updater"));
    Report("put_ProcessImageFileName", entry->PutProcessImageFileName(wide_path));
    Report("put_Enabled", entry->PutEnabled(true));
    Report("put_Scope", entry->PutScope(FW_SCOPE_LOCAL_SUBNET));
    Report("INetFwAuthorizedApplications::Add", applications->Add(entry));
    FwRelease(entry);

    Report("Item after Add", applications->Item(wide_path, &found));
    std::printf("[com] Item after Add gave %s\n", found != nullptr ? "an entry" : "no entry");
    if (found != nullptr) {
        FwText name;
        const FwResult got_name = found->GetName(&name);
        Report("get_Name of the entry found", got_name);
        // Where the platform answers, it answers with the name given.
        if (got_name == FW_S_OK) {
            EXPECT_EQ(name, u"Orvane Updater");
        }
    }
    FwRelease(found);
    Report("INetFwAuthorizedApplications::Remove", applications->Remove(wide_path));

    FwRelease(applications);
    FwRelease(profile);
    FwRelease(policy);
    FwRelease(manager);
    EXPECT_EQ(FirewallPlatformReferencesHeld(), 0);
    platform.UninitializeCom();
}

TEST_F(FirewallComTest, FirewallExceptionOpensAddsRemovesAndCloses) {
    FwText path;
    ASSERT_TRUE(platform.ReadExecutablePath(&path));
    CFirewallException exception;
    Report("CFirewallException::Initialize", exception.Initialize());
    ASSERT_TRUE(exception.Open());
    EXPECT_TRUE(exception.HasCollection());
    EXPECT_EQ(FirewallPlatformReferencesHeld(), 1) << "only the collection stays held";
    const bool added = exception.AddApplication(UPDATER_ENTRY_NAME, path);
    std::printf("[com] AddApplication: %s, entry %s by this object\n", added ? "true" : "false",
                exception.AddedEntry() ? "added" : "found, not added");
    EXPECT_TRUE(added);
    EXPECT_EQ(FirewallPlatformReferencesHeld(), 1);
    // Only an entry this object added is removed, and then Remove must succeed.
    const bool ours = exception.AddedEntry();
    const bool removed = exception.RemoveApplication(path);
    std::printf("[com] RemoveApplication: %s\n", removed ? "true" : "false");
    EXPECT_EQ(removed, ours);
    exception.Close();
    EXPECT_FALSE(exception.HasCollection());
}

TEST_F(FirewallComTest, WithoutTheSharingManagerThePortMappingChangesNothing) {
    CFirewallException com;
    com.Initialize();
    FwSharingManager* manager = nullptr;
    const FwResult created = platform.CreateSharingManager(&manager);
    Report("CoCreateInstance(NetSharingManager)", created);
    EXPECT_EQ(manager, nullptr);
    EXPECT_FALSE(FwSucceeded(created));
    FwRelease(manager);

    CPortMapping mapping;
    EXPECT_TRUE(mapping.AddMapping(20200, FW_PROTOCOL_TCP));
    EXPECT_EQ(mapping.MappingsHeld(), 0u);
    EXPECT_EQ(FirewallPlatformReferencesHeld(), 0);
    EXPECT_FALSE(mapping.RemoveMapping());
    com.Close();
}

TEST_F(FirewallComTest, ThePlatformsOpeningAndClosingRunThroughCom) {
    g_firewall_method = FIREWALL_NONE;
    CFirewallOpening* opening = nullptr;
    OpenSystemFirewall(opening);
    ASSERT_NE(opening, nullptr);
    EXPECT_EQ(g_firewall_method, FIREWALL_APP_EXCEPTION) << "the firewall manager is there";
    EXPECT_EQ(FirewallPlatformReferencesHeld(), 1) << "the collection is held until the closing";
    CloseSystemFirewall(opening);
    EXPECT_EQ(opening, nullptr);
    EXPECT_EQ(FirewallPlatformReferencesHeld(), 0);
    CloseSystemFirewall(opening);
    EXPECT_EQ(FirewallPlatformReferencesHeld(), 0);
}

TEST_F(FirewallComTest, AnsiTextConvertsUpToTheWorkArea) {
    FwText wide;
    ASSERT_TRUE(platform.AnsiToWide(UPDATER_ENTRY_NAME, &wide));
    EXPECT_EQ(wide, u"Orvane Updater");
    EXPECT_TRUE(platform.AnsiToWide(std::string(FW_TEXT_CAPACITY - 1, 'a').c_str(), &wide));
    EXPECT_EQ(wide.size(), FW_TEXT_CAPACITY - 1);
    EXPECT_FALSE(platform.AnsiToWide(std::string(FW_TEXT_CAPACITY, 'a').c_str(), &wide));
    EXPECT_TRUE(wide.empty());
    FwText name;
    EXPECT_TRUE(platform.ReadComputerName(&name));
    EXPECT_FALSE(name.empty());
}

}  // namespace
