// Fakes of the two firewall services for tests: a scriptable Windows Firewall (manager,
// policy, profile, authorized-applications list) and a scriptable connection-sharing service
// (connections with their properties, sharing configuration, firewall state and port
// mappings). Every object handed out is counted: LiveReferences() is the sum of all counts
// still held, and errors collects every over-release, every use of a released object and
// every call made while COM is not started.
//
// Use (library orvane_firewall_fakes, header "tests/firewall/fake_firewall.h"):
//
//     FakeFirewallPlatform fake;                 // manager present, empty list
//     fake.entries.push_back({u"Other", u"C:\\x.exe", false, FW_SCOPE_ALL});
//     ScopedFirewallPlatform use(fake);          // OpenFirewallFor/CloseFirewallFor see it
//     ...
//     EXPECT_EQ(fake.LiveReferences(), 0);
//     EXPECT_TRUE(fake.errors.empty()) << fake.ErrorText();
//
// For the port-mapping method: fake.manager_present = false, and add connections to
// fake.connections (each by default a firewalled LAN connection with its firewall on).
//
// The fake answers as Windows documents: Item for a path without an entry fails with
// 0x80070002 (file not found) and gives no entry; without administrator rights
// (fake.administrator = false) Add and Remove fail with E_ACCESSDENIED and change nothing,
// while reading the list still works.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "firewall/firewall_services.h"

struct FakeEntry {
    FwText name;
    FwText path;
    bool enabled = true;
    int32_t scope = FW_SCOPE_LOCAL_SUBNET;
};

struct FakeMapping {
    FwText name;
    uint8_t protocol = FW_PROTOCOL_TCP;
    int32_t external_port = 0;
    int32_t internal_port = 0;
    uint32_t options = 0;
    FwText target;
    int32_t target_type = FW_ICSTT_NAME;
    int enable_calls = 0;
    bool deleted = false;
    // Set on mappings that AddPortMapping created (not on scripted pre-existing ones).
    bool added_by_call = false;
};

struct FakeConnection {
    // The enumerated item: its VARIANT type and whether its object is an INetConnection.
    FwVariantType item_type = FwVariantType::UNKNOWN;
    bool answers_connection = true;
    // get_NetConnectionProps gives properties; their queries write the values below (or, with
    // props_write false, answer without writing anything).
    bool has_props = true;
    bool props_write = true;
    uint32_t characteristics = FW_NCCF_FIREWALLED;
    int32_t media_type = 1;  // NCM_LAN
    bool has_configuration = true;
    bool firewall_on = true;
    // AddPortMapping stores the mapping and hands out an object, or hands out none.
    bool add_gives_mapping = true;
    FwResult add_result = FW_S_OK;
    // The connection's mappings in order, scripted ones and added ones; Delete marks them.
    std::vector<FakeMapping> mappings;
    int add_calls = 0;

    // The mappings not deleted.
    std::vector<FakeMapping> Present() const;
};

class FakeFirewallPlatform final : public FirewallPlatform {
public:
    FakeFirewallPlatform();
    ~FakeFirewallPlatform() override;

    // ---- script: Windows Firewall ----
    bool manager_present = true;
    bool policy_present = true;
    bool profile_present = true;
    bool collection_present = true;
    // What get_AuthorizedApplications returns; with a failure and collection_present the
    // call still writes an object (a misbehaving platform).
    FwResult collection_result = FW_S_OK;
    bool entry_creatable = true;
    FwResult add_result = FW_S_OK;     // Add stores the entry only on FW_S_OK
    FwResult remove_result = FW_S_OK;  // Remove deletes the entry only on FW_S_OK
    // Without administrator rights every change of the list is refused.
    bool administrator = true;
    FwResult get_name_result = FW_S_OK;  // what get_Name of a listed entry answers
    std::vector<FakeEntry> entries;

    // ---- script: connection sharing ----
    bool sharing_present = true;
    bool every_connection_present = true;
    bool new_enum_present = true;
    bool enum_variant_present = true;
    std::vector<FakeConnection> connections;

    // ---- script: process ----
    FwResult initialize_result = FW_S_OK;
    bool conversion_works = true;
    FwText executable_path = u"C:\\Program Files\\Orvane\\orvane-updater.exe";
    bool executable_path_readable = true;
    FwText computer_name = u"ORVANE-PC";
    bool computer_name_readable = true;
    // The executable's path and the computer name from the real platform instead of the two
    // values above.
    bool system_process_info = false;

    // ---- observations ----
    int initialize_calls = 0;
    int uninitialize_calls = 0;
    int com_depth = 0;  // initialisations not yet ended
    int conversions = 0;
    int create_manager_calls = 0;
    int create_entry_calls = 0;
    int create_sharing_calls = 0;
    int item_calls = 0;
    int add_calls = 0;
    std::vector<FwText> removed_paths;  // every Remove asked for, in order
    int delete_calls = 0;
    // Calls in order, by name ("PutName", "Add", "AddPortMapping", "Enable", "Delete", ...).
    std::vector<std::string> calls;
    std::vector<std::string> errors;

    // The sum of all reference counts still held by the code under test.
    int LiveReferences() const;
    // The kinds of the objects still referenced, and every error, as text for messages.
    std::string LiveReferenceText() const;
    std::string ErrorText() const;
    // How many times name occurs in calls.
    int CallCount(const std::string& name) const;

    // FirewallPlatform
    FwResult InitializeCom() override;
    void UninitializeCom() override;
    bool AnsiToWide(const char* text, FwText* out) override;
    FwResult CreateFirewallManager(FwManager** out) override;
    FwResult CreateAuthorizedApplication(FwAuthorizedApplication** out) override;
    FwResult CreateSharingManager(FwSharingManager** out) override;
    bool ReadExecutablePath(FwText* out) override;
    bool ReadComputerName(FwText* out) override;

    // Used by the fake objects.
    class Object;
    template <class T, class... Args>
    T* Make(Args&&... args);
    void Use(const Object* object, const char* call);

private:
    std::vector<std::unique_ptr<Object>> m_objects;
};

// Installs a platform for the life of the scope and restores the previous one after.
class ScopedFirewallPlatform {
public:
    explicit ScopedFirewallPlatform(FirewallPlatform& platform)
        : m_previous(SetFirewallPlatform(&platform)) {}
    ~ScopedFirewallPlatform() { SetFirewallPlatform(m_previous); }
    ScopedFirewallPlatform(const ScopedFirewallPlatform&) = delete;
    ScopedFirewallPlatform& operator=(const ScopedFirewallPlatform&) = delete;

private:
    FirewallPlatform* m_previous;
};

// Wide text from plain ASCII, for comparing with what the fakes stored.
FwText Wide(const std::string& ascii);
// ASCII from wide text (other characters become '?'), for test messages.
std::string Narrow(const FwText& wide);
