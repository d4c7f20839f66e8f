#include "tests/firewall/fake_firewall.h"

#include <cstring>

#include "firewall/firewall_constants.h"
#include "platform/process_info.h"

// Bookkeeping shared by every fake object: its count and its kind.
class FakeFirewallPlatform::Object {
public:
    Object(FakeFirewallPlatform* platform, const char* kind) : m_platform(platform), m_kind(kind) {}
    virtual ~Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    FakeFirewallPlatform* m_platform;
    const char* m_kind;
    int m_refs = 1;
};

namespace {

using Fake = FakeFirewallPlatform;

template <class Interface>
class Counted : public Interface, public Fake::Object {
public:
    Counted(Fake* platform, const char* kind) : Object(platform, kind) {}

    uint32_t AddRef() override {
        m_platform->Use(this, "AddRef");
        return static_cast<uint32_t>(++m_refs);
    }
    uint32_t Release() override {
        if (m_refs <= 0) {
            m_platform->errors.push_back(std::string("over-release of ") + m_kind);
            return 0;
        }
        return static_cast<uint32_t>(--m_refs);
    }
    FwResult QueryInterface(FwInterface, FwObject** out) override {
        m_platform->Use(this, "QueryInterface");
        *out = nullptr;
        return FW_E_NOINTERFACE;
    }

protected:
    // Records the call and checks that the object is still referenced and COM is running.
    void Call(const char* name) {
        m_platform->Use(this, name);
        m_platform->calls.push_back(name);
    }
};

// ---- Windows Firewall ----

// An entry already in the list: every change lands on the list itself.
class FakeListedEntry final : public Counted<FwAuthorizedApplication> {
public:
    FakeListedEntry(Fake* p, std::size_t index) : Counted(p, "listed entry"), m_index(index) {}
    FwResult GetName(FwText* name) override {
        Call("GetName");
        name->clear();
        if (m_platform->get_name_result != FW_S_OK) return m_platform->get_name_result;
        *name = m_platform->entries[m_index].name;
        return FW_S_OK;
    }
    FwResult PutName(const FwText& name) override {
        Call("PutName");
        m_platform->entries[m_index].name = name;
        return FW_S_OK;
    }
    FwResult PutProcessImageFileName(const FwText& path) override {
        Call("PutProcessImageFileName");
        m_platform->entries[m_index].path = path;
        return FW_S_OK;
    }
    FwResult PutEnabled(bool enabled) override {
        Call("PutEnabled");
        m_platform->entries[m_index].enabled = enabled;
        return FW_S_OK;
    }
    FwResult PutScope(int32_t scope) override {
        Call("PutScope");
        m_platform->entries[m_index].scope = scope;
        return FW_S_OK;
    }

private:
    std::size_t m_index;
};

// A new entry object, not in any list until Add.
class FakeNewEntry final : public Counted<FwAuthorizedApplication> {
public:
    explicit FakeNewEntry(Fake* p) : Counted(p, "new entry") {
        // The platform's defaults: no name, no path, enabled, every address.
        m_entry.enabled = true;
        m_entry.scope = FW_SCOPE_ALL;
    }
    FwResult GetName(FwText* name) override {
        Call("GetName");
        *name = m_entry.name;
        return FW_S_OK;
    }
    FwResult PutName(const FwText& name) override {
        Call("PutName");
        m_entry.name = name;
        return FW_S_OK;
    }
    FwResult PutProcessImageFileName(const FwText& path) override {
        Call("PutProcessImageFileName");
        m_entry.path = path;
        return FW_S_OK;
    }
    FwResult PutEnabled(bool enabled) override {
        Call("PutEnabled");
        m_entry.enabled = enabled;
        return FW_S_OK;
    }
    FwResult PutScope(int32_t scope) override {
        Call("PutScope");
        m_entry.scope = scope;
        return FW_S_OK;
    }
    const FakeEntry& Entry() const { return m_entry; }

private:
    FakeEntry m_entry;
};

class FakeApplications final : public Counted<FwAuthorizedApplications> {
public:
    explicit FakeApplications(Fake* p) : Counted(p, "authorized applications") {}
    FwResult Item(const FwText& path, FwAuthorizedApplication** out) override {
        Call("Item");
        ++m_platform->item_calls;
        *out = nullptr;
        for (std::size_t i = 0; i < m_platform->entries.size(); ++i) {
            if (m_platform->entries[i].path == path) {
                *out = m_platform->Make<FakeListedEntry>(i);
                return FW_S_OK;
            }
        }
        return FW_E_FILE_NOT_FOUND;
    }
    FwResult Add(FwAuthorizedApplication* entry) override {
        Call("Add");
        ++m_platform->add_calls;
        auto* fake = dynamic_cast<FakeNewEntry*>(entry);
        if (fake == nullptr) {
            m_platform->errors.push_back("Add with an object that is no new entry");
            return FW_E_INVALIDARG;
        }
        m_platform->Use(fake, "Add (the entry)");
        if (!m_platform->administrator) return FW_E_ACCESSDENIED;
        if (m_platform->add_result == FW_S_OK) m_platform->entries.push_back(fake->Entry());
        return m_platform->add_result;
    }
    FwResult Remove(const FwText& path) override {
        Call("Remove");
        m_platform->removed_paths.push_back(path);
        if (!m_platform->administrator) return FW_E_ACCESSDENIED;
        if (m_platform->remove_result != FW_S_OK) return m_platform->remove_result;
        for (auto it = m_platform->entries.begin(); it != m_platform->entries.end(); ++it) {
            if (it->path == path) {
                m_platform->entries.erase(it);
                return FW_S_OK;
            }
        }
        return FW_E_FILE_NOT_FOUND;
    }
};

class FakeProfile final : public Counted<FwProfile> {
public:
    explicit FakeProfile(Fake* p) : Counted(p, "profile") {}
    FwResult GetAuthorizedApplications(FwAuthorizedApplications** out) override {
        Call("GetAuthorizedApplications");
        *out = nullptr;
        if (!m_platform->collection_present) return FW_E_FAIL;
        *out = m_platform->Make<FakeApplications>();
        return m_platform->collection_result;
    }
};

class FakePolicy final : public Counted<FwPolicy> {
public:
    explicit FakePolicy(Fake* p) : Counted(p, "policy") {}
    FwResult GetCurrentProfile(FwProfile** out) override {
        Call("GetCurrentProfile");
        *out = m_platform->profile_present ? m_platform->Make<FakeProfile>() : nullptr;
        return *out != nullptr ? FW_S_OK : FW_E_FAIL;
    }
};

class FakeManager final : public Counted<FwManager> {
public:
    explicit FakeManager(Fake* p) : Counted(p, "firewall manager") {}
    FwResult GetLocalPolicy(FwPolicy** out) override {
        Call("GetLocalPolicy");
        *out = m_platform->policy_present ? m_platform->Make<FakePolicy>() : nullptr;
        return *out != nullptr ? FW_S_OK : FW_E_FAIL;
    }
};

// ---- Connection sharing ----

class FakeConnectionRef final : public Counted<FwConnection> {
public:
    FakeConnectionRef(Fake* p, std::size_t index) : Counted(p, "connection"), m_index(index) {}
    std::size_t Index() const { return m_index; }

private:
    std::size_t m_index;
};

// The object an enumerated item holds; answers for INetConnection if scripted so.
class FakeConnectionItem final : public Counted<FwConnection> {
public:
    FakeConnectionItem(Fake* p, std::size_t index) : Counted(p, "connection item"), m_index(index) {}
    FwResult QueryInterface(FwInterface iid, FwObject** out) override {
        Call("QueryInterface");
        *out = nullptr;
        if (iid != FwInterface::CONNECTION || !m_platform->connections[m_index].answers_connection) {
            return FW_E_NOINTERFACE;
        }
        *out = m_platform->Make<FakeConnectionRef>(m_index);
        return FW_S_OK;
    }

private:
    std::size_t m_index;
};

class FakeEnumerator final : public Counted<FwEnumVariant> {
public:
    explicit FakeEnumerator(Fake* p) : Counted(p, "connection enumerator") {}
    FwResult Next(FwVariant* item) override {
        Call("Next");
        if (item->object != nullptr) m_platform->errors.push_back("Next into an item not cleared");
        if (m_position >= m_platform->connections.size()) return FW_S_FALSE;
        const std::size_t index = m_position++;
        const FwVariantType type = m_platform->connections[index].item_type;
        item->type = type;
        item->object = (type == FwVariantType::UNKNOWN || type == FwVariantType::DISPATCH)
                           ? m_platform->Make<FakeConnectionItem>(index)
                           : nullptr;
        return FW_S_OK;
    }

private:
    std::size_t m_position = 0;
};

// What get__NewEnum gives: only its IEnumVARIANT enumerates.
class FakeEnumObject final : public Counted<FwObject> {
public:
    explicit FakeEnumObject(Fake* p) : Counted(p, "_NewEnum object") {}
    FwResult QueryInterface(FwInterface iid, FwObject** out) override {
        Call("QueryInterface");
        *out = nullptr;
        if (iid != FwInterface::ENUM_VARIANT || !m_platform->enum_variant_present) return FW_E_NOINTERFACE;
        *out = m_platform->Make<FakeEnumerator>();
        return FW_S_OK;
    }
};

class FakeConnections final : public Counted<FwCollection> {
public:
    explicit FakeConnections(Fake* p) : Counted(p, "every-connection collection") {}
    FwResult GetNewEnum(FwObject** out) override {
        Call("GetNewEnum");
        *out = m_platform->new_enum_present ? m_platform->Make<FakeEnumObject>() : nullptr;
        return *out != nullptr ? FW_S_OK : FW_E_FAIL;
    }
};

class FakeProps final : public Counted<FwConnectionProps> {
public:
    FakeProps(Fake* p, std::size_t index) : Counted(p, "connection properties"), m_index(index) {}
    FwResult GetCharacteristics(uint32_t* flags) override {
        Call("GetCharacteristics");
        const FakeConnection& c = m_platform->connections[m_index];
        if (c.props_write) *flags = c.characteristics;
        return FW_S_OK;
    }
    FwResult GetMediaType(int32_t* media_type) override {
        Call("GetMediaType");
        const FakeConnection& c = m_platform->connections[m_index];
        if (c.props_write) *media_type = c.media_type;
        return FW_S_OK;
    }

private:
    std::size_t m_index;
};

class FakeMappingRef final : public Counted<FwPortMapping> {
public:
    FakeMappingRef(Fake* p, std::size_t connection, std::size_t mapping)
        : Counted(p, "port mapping"), m_connection(connection), m_mapping(mapping) {}
    FwResult Enable() override {
        Call("Enable");
        ++Mapping().enable_calls;
        return FW_S_OK;
    }
    FwResult Delete() override {
        Call("Delete");
        ++m_platform->delete_calls;
        FakeMapping& mapping = Mapping();
        if (mapping.deleted) m_platform->errors.push_back("Delete of a mapping already deleted");
        mapping.deleted = true;
        return FW_S_OK;
    }

private:
    FakeMapping& Mapping() { return m_platform->connections[m_connection].mappings[m_mapping]; }
    std::size_t m_connection;
    std::size_t m_mapping;
};

class FakeConfiguration final : public Counted<FwSharingConfiguration> {
public:
    FakeConfiguration(Fake* p, std::size_t index) : Counted(p, "sharing configuration"), m_index(index) {}
    FwResult GetInternetFirewallEnabled(bool* enabled) override {
        Call("GetInternetFirewallEnabled");
        *enabled = m_platform->connections[m_index].firewall_on;
        return FW_S_OK;
    }
    FwResult AddPortMapping(const FwText& name, uint8_t protocol, uint16_t external_port,
                            uint16_t internal_port, uint32_t options, const FwText& target,
                            int32_t target_type, FwPortMapping** out) override {
        Call("AddPortMapping");
        FakeConnection& c = m_platform->connections[m_index];
        ++c.add_calls;
        *out = nullptr;
        if (!c.add_gives_mapping) return c.add_result != FW_S_OK ? c.add_result : FW_E_FAIL;
        FakeMapping mapping;
        mapping.name = name;
        mapping.protocol = protocol;
        mapping.external_port = external_port;
        mapping.internal_port = internal_port;
        mapping.options = options;
        mapping.target = target;
        mapping.target_type = target_type;
        mapping.added_by_call = true;
        c.mappings.push_back(mapping);
        *out = m_platform->Make<FakeMappingRef>(m_index, c.mappings.size() - 1);
        return c.add_result;
    }

private:
    std::size_t m_index;
};

class FakeSharingManager final : public Counted<FwSharingManager> {
public:
    explicit FakeSharingManager(Fake* p) : Counted(p, "sharing manager") {}
    FwResult GetEnumEveryConnection(FwCollection** out) override {
        Call("GetEnumEveryConnection");
        *out = m_platform->every_connection_present ? m_platform->Make<FakeConnections>() : nullptr;
        return *out != nullptr ? FW_S_OK : FW_E_FAIL;
    }
    FwResult GetNetConnectionProps(FwConnection* connection, FwConnectionProps** out) override {
        Call("GetNetConnectionProps");
        *out = nullptr;
        const FakeConnectionRef* ref = Check(connection);
        if (ref == nullptr || !m_platform->connections[ref->Index()].has_props) return FW_E_FAIL;
        *out = m_platform->Make<FakeProps>(ref->Index());
        return FW_S_OK;
    }
    FwResult GetSharingConfigurationForConnection(FwConnection* connection,
                                                  FwSharingConfiguration** out) override {
        Call("GetSharingConfigurationForConnection");
        *out = nullptr;
        const FakeConnectionRef* ref = Check(connection);
        if (ref == nullptr || !m_platform->connections[ref->Index()].has_configuration) return FW_E_FAIL;
        *out = m_platform->Make<FakeConfiguration>(ref->Index());
        return FW_S_OK;
    }

private:
    // Only an object that answered for INetConnection may be handed in.
    const FakeConnectionRef* Check(FwConnection* connection) {
        auto* ref = dynamic_cast<FakeConnectionRef*>(connection);
        if (ref == nullptr) {
            m_platform->errors.push_back("sharing manager given an object that is no INetConnection");
            return nullptr;
        }
        m_platform->Use(ref, "passed to the sharing manager");
        return ref;
    }
};

}  // namespace

std::vector<FakeMapping> FakeConnection::Present() const {
    std::vector<FakeMapping> present;
    for (const FakeMapping& m : mappings) {
        if (!m.deleted) present.push_back(m);
    }
    return present;
}

FakeFirewallPlatform::FakeFirewallPlatform() = default;
FakeFirewallPlatform::~FakeFirewallPlatform() = default;

template <class T, class... Args>
T* FakeFirewallPlatform::Make(Args&&... args) {
    auto object = std::make_unique<T>(this, std::forward<Args>(args)...);
    T* raw = object.get();
    m_objects.push_back(std::move(object));
    return raw;
}

void FakeFirewallPlatform::Use(const Object* object, const char* call) {
    if (object->m_refs <= 0) errors.push_back(std::string(call) + " on a released " + object->m_kind);
    if (com_depth <= 0)
        errors.push_back(std::string(call) + " on a " + object->m_kind + " while COM is not started");
}

int FakeFirewallPlatform::LiveReferences() const {
    int sum = 0;
    for (const auto& object : m_objects) sum += object->m_refs > 0 ? object->m_refs : 0;
    return sum;
}

std::string FakeFirewallPlatform::LiveReferenceText() const {
    std::string text;
    for (const auto& object : m_objects) {
        if (object->m_refs > 0)
            text += std::string(object->m_kind) + " x" + std::to_string(object->m_refs) + "; ";
    }
    return text.empty() ? "none" : text;
}

std::string FakeFirewallPlatform::ErrorText() const {
    std::string text;
    for (const std::string& e : errors) text += e + "; ";
    return text.empty() ? "none" : text;
}

int FakeFirewallPlatform::CallCount(const std::string& name) const {
    int count = 0;
    for (const std::string& c : calls) count += c == name ? 1 : 0;
    return count;
}

FwResult FakeFirewallPlatform::InitializeCom() {
    ++initialize_calls;
    calls.push_back("CoInitialize");
    if (FwSucceeded(initialize_result)) ++com_depth;
    return initialize_result;
}

void FakeFirewallPlatform::UninitializeCom() {
    ++uninitialize_calls;
    calls.push_back("CoUninitialize");
    if (com_depth <= 0) {
        errors.push_back("CoUninitialize without a CoInitialize to balance");
        return;
    }
    --com_depth;
}

bool FakeFirewallPlatform::AnsiToWide(const char* text, FwText* out) {
    ++conversions;
    out->clear();
    if (!conversion_works || text == nullptr) return false;
    const std::size_t length = std::strlen(text);
    if (length >= FW_TEXT_CAPACITY) return false;
    for (std::size_t i = 0; i < length; ++i) {
        out->push_back(static_cast<char16_t>(static_cast<unsigned char>(text[i])));
    }
    return true;
}

FwResult FakeFirewallPlatform::CreateFirewallManager(FwManager** out) {
    ++create_manager_calls;
    calls.push_back("CreateFirewallManager");
    if (com_depth <= 0) errors.push_back("firewall manager created while COM is not started");
    *out = manager_present && com_depth > 0 ? Make<FakeManager>() : nullptr;
    return *out != nullptr ? FW_S_OK : FW_E_CLASSNOTREG;
}

FwResult FakeFirewallPlatform::CreateAuthorizedApplication(FwAuthorizedApplication** out) {
    ++create_entry_calls;
    calls.push_back("CreateAuthorizedApplication");
    if (com_depth <= 0) errors.push_back("new entry created while COM is not started");
    *out = entry_creatable && com_depth > 0 ? Make<FakeNewEntry>() : nullptr;
    return *out != nullptr ? FW_S_OK : FW_E_CLASSNOTREG;
}

FwResult FakeFirewallPlatform::CreateSharingManager(FwSharingManager** out) {
    ++create_sharing_calls;
    calls.push_back("CreateSharingManager");
    if (com_depth <= 0) errors.push_back("sharing manager created while COM is not started");
    *out = sharing_present && com_depth > 0 ? Make<FakeSharingManager>() : nullptr;
    return *out != nullptr ? FW_S_OK : FW_E_CLASSNOTREG;
}

bool FakeFirewallPlatform::ReadExecutablePath(FwText* out) {
    if (system_process_info) return ReadExecutablePathText(out, EXECUTABLE_PATH_SIZE);
    out->clear();
    if (!executable_path_readable) return false;
    *out = executable_path;
    return true;
}

bool FakeFirewallPlatform::ReadComputerName(FwText* out) {
    if (system_process_info) return ReadComputerNameText(out);
    out->clear();
    if (!computer_name_readable) return false;
    *out = computer_name;
    return true;
}

FwText Wide(const std::string& ascii) {
    FwText wide;
    for (char c : ascii) wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    return wide;
}

std::string Narrow(const FwText& wide) {
    std::string narrow;
    for (char16_t c : wide) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return narrow;
}
