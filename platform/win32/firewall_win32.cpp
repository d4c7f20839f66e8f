// The firewall services over COM: the Windows Firewall (INetFwMgr and what is reached from
// it) and the connection-sharing service (INetSharingManager and what is reached from it).
// Each object handed to the firewall classes wraps exactly one COM reference and releases it
// when its own count drops to zero, so the logic's reference discipline carries over one to
// one. Text goes in as BSTRs that live for one call.
#include <windows.h>
// windows.h first: the COM headers rely on its types.
#include <netcon.h>
#include <netfw.h>
#include <oleauto.h>

#include <atomic>
#include <string>

#include "firewall/firewall_constants.h"
#include "firewall/firewall_services.h"
#include "platform/firewall_platform.h"
#include "platform/process_info.h"

namespace {

// Class context 7: CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER.
constexpr DWORD CREATE_CONTEXT = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER;
static_assert(CREATE_CONTEXT == 7, "class context");

// The identities, spelled out here so that they do not depend on the import library.
const CLSID CLSID_FW_MGR = {0x304CE942, 0x6E39, 0x40D8, {0x94, 0x3A, 0xB9, 0x13, 0xC4, 0x0C, 0x9C, 0xD4}};
const IID IID_FW_MGR = {0xF7898AF5, 0xCAC4, 0x4632, {0xA2, 0xEC, 0xDA, 0x06, 0xE5, 0x11, 0x1A, 0xF2}};
const CLSID CLSID_FW_APP = {0xEC9846B3, 0x2762, 0x4A6B, {0xA2, 0x14, 0x6A, 0xCB, 0x60, 0x34, 0x62, 0xD2}};
const IID IID_FW_APP = {0xB5E64FFA, 0xC2C5, 0x444E, {0xA3, 0x01, 0xFB, 0x5E, 0x00, 0x01, 0x80, 0x50}};
const CLSID CLSID_SHARING_MGR = {
    0x5C63C1AD, 0x3956, 0x4FF8, {0x84, 0x86, 0x40, 0x03, 0x47, 0x58, 0x31, 0x5B}};
const IID IID_SHARING_MGR = {0xC08956B7, 0x1CD3, 0x11D1, {0xB1, 0xC5, 0x00, 0x80, 0x5F, 0xC1, 0x27, 0x0E}};
const IID IID_CONNECTION = {0xC08956A1, 0x1CD3, 0x11D1, {0xB1, 0xC5, 0x00, 0x80, 0x5F, 0xC1, 0x27, 0x0E}};
const IID IID_ENUM_VARIANT = {0x00020404, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// COM references held by the wrappers below.
std::atomic<long> g_references_held{0};

// A BSTR for the duration of one call.
class Bstr {
public:
    explicit Bstr(const FwText& text) {
        const std::wstring wide(text.begin(), text.end());
        m_bstr = SysAllocStringLen(wide.c_str(), static_cast<UINT>(wide.size()));
    }
    ~Bstr() { SysFreeString(m_bstr); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR Get() const { return m_bstr; }
    bool Ok() const { return m_bstr != nullptr; }

private:
    BSTR m_bstr = nullptr;
};

// One COM reference behind one of our interfaces.
template <class Interface, class Com>
class ComRef : public Interface {
public:
    explicit ComRef(Com* com) : m_com(com) { ++g_references_held; }
    uint32_t AddRef() override { return ++m_refs; }
    uint32_t Release() override {
        const uint32_t left = --m_refs;
        if (left == 0) delete this;
        return left;
    }
    FwResult QueryInterface(FwInterface, FwObject** out) override {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    Com* Native() const { return m_com; }

protected:
    ~ComRef() override {
        m_com->Release();
        --g_references_held;
    }
    Com* m_com;

private:
    uint32_t m_refs = 1;
};

// Wraps what a COM getter wrote, if anything, and passes its result on.
template <class Wrapper, class Interface, class Com>
FwResult Wrap(HRESULT hr, Com* com, Interface** out) {
    *out = com != nullptr ? new Wrapper(com) : nullptr;
    return hr;
}

// ---- Windows Firewall ----

class Entry final : public ComRef<FwAuthorizedApplication, INetFwAuthorizedApplication> {
public:
    using ComRef::ComRef;
    FwResult GetName(FwText* name) override {
        name->clear();
        BSTR b = nullptr;
        const HRESULT hr = m_com->get_Name(&b);
        if (b != nullptr) {
            name->assign(b, b + SysStringLen(b));
            SysFreeString(b);
        }
        return hr;
    }
    FwResult PutName(const FwText& name) override {
        Bstr b(name);
        return b.Ok() ? m_com->put_Name(b.Get()) : E_OUTOFMEMORY;
    }
    FwResult PutProcessImageFileName(const FwText& path) override {
        Bstr b(path);
        return b.Ok() ? m_com->put_ProcessImageFileName(b.Get()) : E_OUTOFMEMORY;
    }
    FwResult PutEnabled(bool enabled) override {
        return m_com->put_Enabled(enabled ? VARIANT_TRUE : VARIANT_FALSE);
    }
    FwResult PutScope(int32_t scope) override { return m_com->put_Scope(static_cast<NET_FW_SCOPE>(scope)); }
};

class Applications final : public ComRef<FwAuthorizedApplications, INetFwAuthorizedApplications> {
public:
    using ComRef::ComRef;
    FwResult Item(const FwText& path, FwAuthorizedApplication** out) override {
        *out = nullptr;
        Bstr b(path);
        if (!b.Ok()) return E_OUTOFMEMORY;
        INetFwAuthorizedApplication* entry = nullptr;
        const HRESULT hr = m_com->Item(b.Get(), &entry);
        return Wrap<Entry>(hr, entry, out);
    }
    FwResult Add(FwAuthorizedApplication* entry) override {
        auto* ours = dynamic_cast<Entry*>(entry);
        return ours != nullptr ? m_com->Add(ours->Native()) : E_INVALIDARG;
    }
    FwResult Remove(const FwText& path) override {
        Bstr b(path);
        return b.Ok() ? m_com->Remove(b.Get()) : E_OUTOFMEMORY;
    }
};

class Profile final : public ComRef<FwProfile, INetFwProfile> {
public:
    using ComRef::ComRef;
    FwResult GetAuthorizedApplications(FwAuthorizedApplications** out) override {
        INetFwAuthorizedApplications* applications = nullptr;
        const HRESULT hr = m_com->get_AuthorizedApplications(&applications);
        return Wrap<Applications>(hr, applications, out);
    }
};

class Policy final : public ComRef<FwPolicy, INetFwPolicy> {
public:
    using ComRef::ComRef;
    FwResult GetCurrentProfile(FwProfile** out) override {
        INetFwProfile* profile = nullptr;
        const HRESULT hr = m_com->get_CurrentProfile(&profile);
        return Wrap<Profile>(hr, profile, out);
    }
};

class Manager final : public ComRef<FwManager, INetFwMgr> {
public:
    using ComRef::ComRef;
    FwResult GetLocalPolicy(FwPolicy** out) override {
        INetFwPolicy* policy = nullptr;
        const HRESULT hr = m_com->get_LocalPolicy(&policy);
        return Wrap<Policy>(hr, policy, out);
    }
};

// ---- Connection sharing ----

class Connection final : public ComRef<FwConnection, INetConnection> {
public:
    using ComRef::ComRef;
};

class EnumVariant final : public ComRef<FwEnumVariant, IEnumVARIANT> {
public:
    using ComRef::ComRef;
    FwResult Next(FwVariant* item) override;
};

// An object of unknown kind: an enumerated item or a _NewEnum object.
class Unknown final : public ComRef<FwObject, IUnknown> {
public:
    using ComRef::ComRef;
    FwResult QueryInterface(FwInterface iid, FwObject** out) override {
        *out = nullptr;
        void* queried = nullptr;
        if (iid == FwInterface::CONNECTION) {
            const HRESULT hr = m_com->QueryInterface(IID_CONNECTION, &queried);
            if (queried != nullptr) *out = new Connection(static_cast<INetConnection*>(queried));
            return hr;
        }
        if (iid == FwInterface::ENUM_VARIANT) {
            const HRESULT hr = m_com->QueryInterface(IID_ENUM_VARIANT, &queried);
            if (queried != nullptr) *out = new EnumVariant(static_cast<IEnumVARIANT*>(queried));
            return hr;
        }
        return E_NOINTERFACE;
    }
};

FwResult EnumVariant::Next(FwVariant* item) {
    VARIANT v;
    VariantInit(&v);
    const HRESULT hr = m_com->Next(1, &v, nullptr);
    if (hr == S_OK) {
        IUnknown* object = nullptr;
        if (v.vt == VT_UNKNOWN) {
            item->type = FwVariantType::UNKNOWN;
            object = v.punkVal;
        } else if (v.vt == VT_DISPATCH) {
            item->type = FwVariantType::DISPATCH;
            object = v.pdispVal;
        } else {
            item->type = FwVariantType::OTHER;
        }
        // The item takes a reference of its own; the VARIANT's goes with VariantClear.
        if (object != nullptr) {
            object->AddRef();
            item->object = new Unknown(object);
        }
    }
    VariantClear(&v);
    return hr;
}

class Collection final : public ComRef<FwCollection, INetSharingEveryConnectionCollection> {
public:
    using ComRef::ComRef;
    FwResult GetNewEnum(FwObject** out) override {
        IUnknown* enum_object = nullptr;
        const HRESULT hr = m_com->get__NewEnum(&enum_object);
        return Wrap<Unknown>(hr, enum_object, out);
    }
};

class ConnectionProps final : public ComRef<FwConnectionProps, INetConnectionProps> {
public:
    using ComRef::ComRef;
    FwResult GetCharacteristics(uint32_t* flags) override {
        DWORD value = *flags;
        const HRESULT hr = m_com->get_Characteristics(&value);
        *flags = value;
        return hr;
    }
    FwResult GetMediaType(int32_t* media_type) override {
        NETCON_MEDIATYPE value = static_cast<NETCON_MEDIATYPE>(*media_type);
        const HRESULT hr = m_com->get_MediaType(&value);
        *media_type = static_cast<int32_t>(value);
        return hr;
    }
};

class PortMapping final : public ComRef<FwPortMapping, INetSharingPortMapping> {
public:
    using ComRef::ComRef;
    FwResult Enable() override { return m_com->Enable(); }
    FwResult Delete() override { return m_com->Delete(); }
};

class SharingConfiguration final : public ComRef<FwSharingConfiguration, INetSharingConfiguration> {
public:
    using ComRef::ComRef;
    FwResult GetInternetFirewallEnabled(bool* enabled) override {
        VARIANT_BOOL value = *enabled ? VARIANT_TRUE : VARIANT_FALSE;
        const HRESULT hr = m_com->get_InternetFirewallEnabled(&value);
        *enabled = value != VARIANT_FALSE;
        return hr;
    }
    FwResult AddPortMapping(const FwText& name, uint8_t protocol, uint16_t external_port,
                            uint16_t internal_port, uint32_t options, const FwText& target,
                            int32_t target_type, FwPortMapping** out) override {
        *out = nullptr;
        Bstr b_name(name);
        Bstr b_target(target);
        if (!b_name.Ok() || !b_target.Ok()) return E_OUTOFMEMORY;
        INetSharingPortMapping* mapping = nullptr;
        const HRESULT hr =
            m_com->AddPortMapping(b_name.Get(), protocol, external_port, internal_port, options,
                                  b_target.Get(), static_cast<ICS_TARGETTYPE>(target_type), &mapping);
        return Wrap<PortMapping>(hr, mapping, out);
    }
};

class SharingManager final : public ComRef<FwSharingManager, INetSharingManager> {
public:
    using ComRef::ComRef;
    FwResult GetEnumEveryConnection(FwCollection** out) override {
        INetSharingEveryConnectionCollection* collection = nullptr;
        const HRESULT hr = m_com->get_EnumEveryConnection(&collection);
        return Wrap<Collection>(hr, collection, out);
    }
    FwResult GetNetConnectionProps(FwConnection* connection, FwConnectionProps** out) override {
        *out = nullptr;
        auto* ours = dynamic_cast<Connection*>(connection);
        if (ours == nullptr) return E_INVALIDARG;
        INetConnectionProps* props = nullptr;
        const HRESULT hr = m_com->get_NetConnectionProps(ours->Native(), &props);
        return Wrap<ConnectionProps>(hr, props, out);
    }
    FwResult GetSharingConfigurationForConnection(FwConnection* connection,
                                                  FwSharingConfiguration** out) override {
        *out = nullptr;
        auto* ours = dynamic_cast<Connection*>(connection);
        if (ours == nullptr) return E_INVALIDARG;
        INetSharingConfiguration* configuration = nullptr;
        const HRESULT hr =
            m_com->get_INetSharingConfigurationForINetConnection(ours->Native(), &configuration);
        return Wrap<SharingConfiguration>(hr, configuration, out);
    }
};

class Win32FirewallPlatform final : public FirewallPlatform {
public:
    FwResult InitializeCom() override { return CoInitialize(nullptr); }
    void UninitializeCom() override { CoUninitialize(); }

    bool AnsiToWide(const char* text, FwText* out) override {
        out->clear();
        if (text == nullptr) return false;
        wchar_t buffer[FW_TEXT_CAPACITY];
        // Fails (0) when the text with its terminator does not fit the area.
        const int count =
            MultiByteToWideChar(CP_ACP, 0, text, -1, buffer, static_cast<int>(FW_TEXT_CAPACITY));
        if (count <= 0) return false;
        out->assign(buffer, buffer + count - 1);
        return true;
    }

    FwResult CreateFirewallManager(FwManager** out) override {
        void* object = nullptr;
        const HRESULT hr = CoCreateInstance(CLSID_FW_MGR, nullptr, CREATE_CONTEXT, IID_FW_MGR, &object);
        return Wrap<Manager>(hr, static_cast<INetFwMgr*>(object), out);
    }
    FwResult CreateAuthorizedApplication(FwAuthorizedApplication** out) override {
        void* object = nullptr;
        const HRESULT hr = CoCreateInstance(CLSID_FW_APP, nullptr, CREATE_CONTEXT, IID_FW_APP, &object);
        return Wrap<Entry>(hr, static_cast<INetFwAuthorizedApplication*>(object), out);
    }
    FwResult CreateSharingManager(FwSharingManager** out) override {
        void* object = nullptr;
        const HRESULT hr =
            CoCreateInstance(CLSID_SHARING_MGR, nullptr, CREATE_CONTEXT, IID_SHARING_MGR, &object);
        return Wrap<SharingManager>(hr, static_cast<INetSharingManager*>(object), out);
    }

    bool ReadExecutablePath(FwText* out) override {
        return ReadExecutablePathText(out, EXECUTABLE_PATH_SIZE);
    }
    bool ReadComputerName(FwText* out) override { return ReadComputerNameText(out); }
};

}  // namespace

FirewallPlatform& SystemFirewallPlatform() {
    static Win32FirewallPlatform platform;
    return platform;
}

long FirewallPlatformReferencesHeld() { return g_references_held; }
