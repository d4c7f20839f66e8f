// CFirewallException on the fake Windows Firewall: Open over every missing piece, the entry
// it adds and the one it finds, the removal of only its own entry (added now, or left behind
// by an earlier run), no rights, the COM apartment, and every reference given back.
#include <gtest/gtest.h>

#include <string>

#include "firewall/firewall_constants.h"
#include "firewall/firewall_exception.h"
#include "tests/firewall/fake_firewall.h"

namespace {

const FwText kPath = u"C:\\Program Files\\Orvane\\orvane-updater.exe";
constexpr FwResult kChangedMode = static_cast<int32_t>(0x80010106u);  // RPC_E_CHANGED_MODE

class FirewallExceptionTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_TRUE(fake.errors.empty()) << fake.ErrorText(); }
    // Initialize and Open as the opening does.
    bool InitializeAndOpen() {
        exception.Initialize();
        return exception.Open();
    }
    void ExpectOnlyCollectionHeld() { EXPECT_EQ(fake.LiveReferences(), 1) << fake.LiveReferenceText(); }

    FakeFirewallPlatform fake;
    ScopedFirewallPlatform use{fake};
    CFirewallException exception;
};

struct OpenCase {
    const char* name;
    bool manager, policy, profile, collection;
    FwResult collection_result;
    bool open_result;
    bool holds_collection;
};

TEST_F(FirewallExceptionTest, OpenOverEveryMissingPiece) {
    const OpenCase cases[] = {
        {"everything there", true, true, true, true, FW_S_OK, true, true},
        {"no manager", false, true, true, true, FW_S_OK, false, false},
        {"no local policy", true, false, true, true, FW_S_OK, true, false},
        {"no current profile", true, true, false, true, FW_S_OK, true, false},
        {"no collection", true, true, true, false, FW_S_OK, true, false},
        // Anything but S_OK counts as no collection, also when an object was written.
        {"collection with S_FALSE", true, true, true, true, FW_S_FALSE, true, false},
        {"collection with a failure", true, true, true, true, FW_E_FAIL, true, false},
    };
    for (const OpenCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeFirewallPlatform local;
        ScopedFirewallPlatform scoped(local);
        local.manager_present = c.manager;
        local.policy_present = c.policy;
        local.profile_present = c.profile;
        local.collection_present = c.collection;
        local.collection_result = c.collection_result;

        CFirewallException ex;
        ex.Initialize();
        EXPECT_EQ(ex.Open(), c.open_result);
        EXPECT_EQ(ex.HasCollection(), c.holds_collection);
        // Only the collection outlives Open.
        EXPECT_EQ(local.LiveReferences(), c.holds_collection ? 1 : 0) << local.LiveReferenceText();
        ex.Close();
        EXPECT_EQ(local.LiveReferences(), 0) << local.LiveReferenceText();
        EXPECT_EQ(local.com_depth, 0);
        EXPECT_TRUE(local.errors.empty()) << local.ErrorText();
    }
}

TEST_F(FirewallExceptionTest, SecondOpenDoesNotLeakTheFirstCollection) {
    ASSERT_TRUE(InitializeAndOpen());
    ASSERT_TRUE(exception.Open());
    ExpectOnlyCollectionHeld();
    exception.Close();
    EXPECT_EQ(fake.LiveReferences(), 0) << fake.LiveReferenceText();
}

TEST_F(FirewallExceptionTest, AddsANewEntryEnabledForTheLocalSubnet) {
    ASSERT_TRUE(InitializeAndOpen());
    fake.calls.clear();
    EXPECT_TRUE(exception.AddApplication(UPDATER_ENTRY_NAME, kPath));

    ASSERT_EQ(fake.entries.size(), 1u);
    EXPECT_EQ(fake.entries[0].name, u"Orvane Updater");
    EXPECT_EQ(fake.entries[0].path, kPath);
    EXPECT_TRUE(fake.entries[0].enabled);
    EXPECT_EQ(fake.entries[0].scope, FW_SCOPE_LOCAL_SUBNET);
    const std::vector<std::string> expected = {
        "Item", "CreateAuthorizedApplication", "PutName", "PutProcessImageFileName", "PutEnabled", "PutScope",
        "Add"};
    EXPECT_EQ(fake.calls, expected);
    EXPECT_TRUE(exception.AddedEntry());
    ExpectOnlyCollectionHeld();
}

TEST_F(FirewallExceptionTest, ExistingEntryIsLeftExactlyAsItWas) {
    // The user's own entry for the same path: disabled, another name, every address.
    fake.entries.push_back({u"My media tool", kPath, false, FW_SCOPE_ALL});
    ASSERT_TRUE(InitializeAndOpen());
    EXPECT_TRUE(exception.AddApplication(UPDATER_ENTRY_NAME, kPath));

    ASSERT_EQ(fake.entries.size(), 1u);
    EXPECT_EQ(fake.entries[0].name, u"My media tool");
    EXPECT_FALSE(fake.entries[0].enabled);
    EXPECT_EQ(fake.entries[0].scope, FW_SCOPE_ALL);
    EXPECT_EQ(fake.create_entry_calls, 0);
    EXPECT_EQ(fake.add_calls, 0);
    EXPECT_EQ(fake.CallCount("PutName") + fake.CallCount("PutEnabled") + fake.CallCount("PutScope"), 0);
    EXPECT_FALSE(exception.AddedEntry());
    ExpectOnlyCollectionHeld();
}

TEST_F(FirewallExceptionTest, FailuresToAddGiveFalseAndStoreNothing) {
    struct Case {
        const char* name;
        bool creatable;
        FwResult add_result;
    };
    const Case cases[] = {
        {"no new entry object", false, FW_S_OK},
        {"Add fails", true, FW_E_FAIL},
        {"Add gives S_FALSE", true, FW_S_FALSE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeFirewallPlatform local;
        ScopedFirewallPlatform scoped(local);
        local.entry_creatable = c.creatable;
        local.add_result = c.add_result;
        CFirewallException ex;
        ex.Initialize();
        ASSERT_TRUE(ex.Open());
        EXPECT_FALSE(ex.AddApplication(UPDATER_ENTRY_NAME, kPath));
        EXPECT_TRUE(local.entries.empty());
        EXPECT_EQ(local.add_calls, c.creatable ? 1 : 0) << "no retry";
        EXPECT_EQ(local.LiveReferences(), 1) << local.LiveReferenceText();
        // Not added, so nothing to remove at exit.
        EXPECT_FALSE(ex.RemoveApplication(kPath));
        EXPECT_TRUE(local.removed_paths.empty());
        ex.Close();
        EXPECT_EQ(local.LiveReferences(), 0);
        EXPECT_TRUE(local.errors.empty()) << local.ErrorText();
    }
}

TEST_F(FirewallExceptionTest, WithoutCollectionNothingIsConvertedOrCalled) {
    fake.profile_present = false;
    ASSERT_TRUE(InitializeAndOpen());
    const std::size_t calls_before = fake.calls.size();
    EXPECT_FALSE(exception.AddApplication(UPDATER_ENTRY_NAME, kPath));
    EXPECT_FALSE(exception.RemoveApplication(kPath));
    EXPECT_EQ(fake.calls.size(), calls_before);
    EXPECT_EQ(fake.conversions, 0);
    EXPECT_EQ(fake.LiveReferences(), 0);
}

TEST_F(FirewallExceptionTest, ConstructedOnlyActsOnNothing) {
    EXPECT_FALSE(exception.AddApplication(UPDATER_ENTRY_NAME, kPath));
    EXPECT_FALSE(exception.RemoveApplication(kPath));
    EXPECT_TRUE(fake.calls.empty());
}

TEST_F(FirewallExceptionTest, TextThatDoesNotFitTheWorkAreaIsNotPassedOn) {
    ASSERT_TRUE(InitializeAndOpen());
    const FwText longest(FW_TEXT_CAPACITY - 1, u'p');
    const FwText too_long(FW_TEXT_CAPACITY, u'p');
    const std::string too_long_name(FW_TEXT_CAPACITY, 'n');

    EXPECT_FALSE(exception.AddApplication(UPDATER_ENTRY_NAME, too_long));
    EXPECT_FALSE(exception.AddApplication(too_long_name.c_str(), kPath));
    EXPECT_FALSE(exception.AddApplication(UPDATER_ENTRY_NAME, FwText()));
    EXPECT_EQ(fake.item_calls, 0) << "a text cut off, empty or unconverted must not reach the firewall";
    EXPECT_TRUE(fake.entries.empty());

    EXPECT_TRUE(exception.AddApplication(UPDATER_ENTRY_NAME, longest));
    ASSERT_EQ(fake.entries.size(), 1u);
    EXPECT_EQ(fake.entries[0].path, longest);
    EXPECT_FALSE(exception.RemoveApplication(too_long));
    EXPECT_TRUE(exception.RemoveApplication(longest));
}

TEST_F(FirewallExceptionTest, APathOutsideTheAnsiCodePageReachesTheFirewallUnchanged) {
    // A profile folder with a Polish letter (not in code page 1252) and a Japanese folder.
    const FwText path = u"C:\\Users\\\u0141ukasz\\\u30C0\u30A6\u30F3\u30ED\u30FC\u30C9\\orvane-updater.exe";
    ASSERT_TRUE(InitializeAndOpen());
    EXPECT_TRUE(exception.AddApplication(UPDATER_ENTRY_NAME, path));
    ASSERT_EQ(fake.entries.size(), 1u);
    EXPECT_EQ(fake.entries[0].path, path);
    EXPECT_EQ(fake.entries[0].name, u"Orvane Updater");
    EXPECT_TRUE(exception.RemoveApplication(path));
    ASSERT_EQ(fake.removed_paths.size(), 1u);
    EXPECT_EQ(fake.removed_paths[0], path);
    EXPECT_TRUE(fake.entries.empty());
}

TEST_F(FirewallExceptionTest, RemovesTheEntryItAdded) {
    ASSERT_TRUE(InitializeAndOpen());
    ASSERT_TRUE(exception.AddApplication(UPDATER_ENTRY_NAME, kPath));
    EXPECT_TRUE(exception.RemoveApplication(kPath));
    EXPECT_TRUE(fake.entries.empty());
    ASSERT_EQ(fake.removed_paths.size(), 1u);
    EXPECT_EQ(fake.removed_paths[0], kPath);
    ExpectOnlyCollectionHeld();

    // Gone already: a second removal asks for nothing.
    EXPECT_FALSE(exception.RemoveApplication(kPath));
    EXPECT_EQ(fake.removed_paths.size(), 1u);
}

TEST_F(FirewallExceptionTest, AnEntryLeftBehindUnderTheUpdatersOwnNameIsTakenAsOursAndRemoved) {
    // What a killed or crashed run leaves: the entry exactly as this class makes it.
    fake.entries.push_back({u"Orvane Updater", kPath, true, FW_SCOPE_LOCAL_SUBNET});
    ASSERT_TRUE(InitializeAndOpen());
    fake.calls.clear();
    EXPECT_TRUE(exception.AddApplication(UPDATER_ENTRY_NAME, kPath));
    EXPECT_TRUE(exception.AddedEntry());
    // Found and kept as it is: nothing created, added or changed.
    const std::vector<std::string> expected = {"Item", "GetName"};
    EXPECT_EQ(fake.calls, expected);
    EXPECT_EQ(fake.entries.size(), 1u);
    ExpectOnlyCollectionHeld();

    EXPECT_TRUE(exception.RemoveApplication(kPath));
    EXPECT_TRUE(fake.entries.empty());
    ASSERT_EQ(fake.removed_paths.size(), 1u);
    EXPECT_EQ(fake.removed_paths[0], kPath);
}

TEST_F(FirewallExceptionTest, EntriesForThePathUnderAnyOtherNameStayTheUsers) {
    const FwText names[] = {
        u"Orvane Updater (mine)",
        u"orvane updater",   // the same letters in another case
        u"Orvane Updater ",  // a trailing blank
        u"Updater",          // Windows' own prompt names its rule after the file's description
        u"",
    };
    for (const FwText& name : names) {
        SCOPED_TRACE(Narrow(name));
        FakeFirewallPlatform local;
        ScopedFirewallPlatform scoped(local);
        local.entries.push_back({name, kPath, false, FW_SCOPE_ALL});
        CFirewallException ex;
        ex.Initialize();
        ASSERT_TRUE(ex.Open());
        EXPECT_TRUE(ex.AddApplication(UPDATER_ENTRY_NAME, kPath));
        EXPECT_FALSE(ex.AddedEntry());
        EXPECT_FALSE(ex.RemoveApplication(kPath));
        EXPECT_TRUE(local.removed_paths.empty());
        ASSERT_EQ(local.entries.size(), 1u);
        EXPECT_EQ(local.entries[0].name, name);
        EXPECT_FALSE(local.entries[0].enabled);
        ex.Close();
        EXPECT_EQ(local.LiveReferences(), 0) << local.LiveReferenceText();
        EXPECT_TRUE(local.errors.empty()) << local.ErrorText();
    }
}

TEST_F(FirewallExceptionTest, AnEntryWhoseNameCannotBeReadStaysTheUsers) {
    fake.entries.push_back({u"Orvane Updater", kPath, true, FW_SCOPE_LOCAL_SUBNET});
    fake.get_name_result = FW_E_FAIL;
    ASSERT_TRUE(InitializeAndOpen());
    EXPECT_TRUE(exception.AddApplication(UPDATER_ENTRY_NAME, kPath));
    EXPECT_FALSE(exception.AddedEntry());
    EXPECT_FALSE(exception.RemoveApplication(kPath));
    EXPECT_EQ(fake.entries.size(), 1u);
    ExpectOnlyCollectionHeld();
}

TEST_F(FirewallExceptionTest, WithoutAdministratorRightsAddIsRefusedAndNothingIsOurs) {
    fake.administrator = false;
    ASSERT_TRUE(InitializeAndOpen());
    EXPECT_FALSE(exception.AddApplication(UPDATER_ENTRY_NAME, kPath));
    EXPECT_EQ(fake.add_calls, 1) << "no retry";
    EXPECT_TRUE(fake.entries.empty());
    EXPECT_FALSE(exception.AddedEntry());
    // Nothing of ours to take out: not even asked.
    EXPECT_FALSE(exception.RemoveApplication(kPath));
    EXPECT_TRUE(fake.removed_paths.empty());
    ExpectOnlyCollectionHeld();
}

TEST_F(FirewallExceptionTest, RemovesOnlyThePathItAdded) {
    fake.entries.push_back({u"Other program", u"C:\\other.exe", true, FW_SCOPE_ALL});
    ASSERT_TRUE(InitializeAndOpen());
    ASSERT_TRUE(exception.AddApplication(UPDATER_ENTRY_NAME, kPath));
    EXPECT_FALSE(exception.RemoveApplication(u"C:\\other.exe"));
    EXPECT_TRUE(fake.removed_paths.empty());
    EXPECT_EQ(fake.entries.size(), 2u);
}

TEST_F(FirewallExceptionTest, FailedRemovalIsReportedAndKeepsTheRecord) {
    ASSERT_TRUE(InitializeAndOpen());
    ASSERT_TRUE(exception.AddApplication(UPDATER_ENTRY_NAME, kPath));
    fake.remove_result = FW_E_FAIL;
    EXPECT_FALSE(exception.RemoveApplication(kPath));
    EXPECT_TRUE(exception.AddedEntry());
    fake.remove_result = FW_S_OK;
    EXPECT_TRUE(exception.RemoveApplication(kPath));
    EXPECT_TRUE(fake.entries.empty());
}

struct ComCase {
    const char* name;
    FwResult initialize_result;
    bool with_collection;
    int uninitialize_calls;
};

TEST_F(FirewallExceptionTest, CloseEndsExactlyTheComUseInitializeStarted) {
    const ComCase cases[] = {
        {"started, with collection", FW_S_OK, true, 1},
        {"started, without collection", FW_S_OK, false, 1},
        // Already initialised on this thread: S_FALSE still takes one CoUninitialize.
        {"already started", FW_S_FALSE, true, 1},
        // Another apartment model: COM was not started here and must not be ended here.
        {"changed mode", kChangedMode, false, 0},
    };
    for (const ComCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeFirewallPlatform local;
        ScopedFirewallPlatform scoped(local);
        local.initialize_result = c.initialize_result;
        local.profile_present = c.with_collection;
        if (!FwSucceeded(c.initialize_result)) local.manager_present = false;
        CFirewallException ex;
        EXPECT_EQ(ex.Initialize(), c.initialize_result);
        if (FwSucceeded(c.initialize_result)) {
            EXPECT_TRUE(ex.Open());
        }
        EXPECT_EQ(ex.HasCollection(), c.with_collection && FwSucceeded(c.initialize_result));
        ex.Close();
        ex.Close();  // a second Close ends nothing more
        EXPECT_EQ(local.uninitialize_calls, c.uninitialize_calls);
        EXPECT_FALSE(ex.HasCollection());
        EXPECT_EQ(local.LiveReferences(), 0);
        EXPECT_TRUE(local.errors.empty()) << local.ErrorText();
    }
}

}  // namespace
