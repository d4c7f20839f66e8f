// The two platform services the firewall opening sits on, in the shape of the Windows COM
// interfaces they stand for: the Windows Firewall (a manager, its local policy, the current
// profile and the profile's authorized-applications collection) and the older
// connection-sharing firewall (the sharing manager, the every-connection enumeration, a
// connection's properties and sharing configuration, the port mappings added to it).
//
// Every object is reference counted exactly like its COM counterpart: an operation that hands
// out an object hands out one counted reference, which the receiver releases once. The
// Windows back-end wraps the real COM objects (platform/win32/); the tests put fakes in their
// place that count every AddRef and Release. Linux has neither service and opens firewalld
// instead (firewall/firewalld_opening.h); the Windows logic runs there only on the fakes.
#pragma once

#include <cstdint>
#include <string>

// An HRESULT-like result. Only FW_S_OK counts as success where the logic looks at a result.
using FwResult = int32_t;
constexpr FwResult FW_S_OK = 0;
constexpr FwResult FW_S_FALSE = 1;
constexpr FwResult FW_E_FAIL = static_cast<int32_t>(0x80004005u);
constexpr FwResult FW_E_NOINTERFACE = static_cast<int32_t>(0x80004002u);
constexpr FwResult FW_E_INVALIDARG = static_cast<int32_t>(0x80070057u);
// What the Windows Firewall answers a change made without administrator rights.
constexpr FwResult FW_E_ACCESSDENIED = static_cast<int32_t>(0x80070005u);
// What Item answers for a path that has no entry (HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)).
constexpr FwResult FW_E_FILE_NOT_FOUND = static_cast<int32_t>(0x80070002u);
// The class of a platform object is not registered (what wine answers for the sharing manager).
constexpr FwResult FW_E_CLASSNOTREG = static_cast<int32_t>(0x80040154u);
inline bool FwSucceeded(FwResult r) { return r >= 0; }

// Wide text at the firewall interfaces: UTF-16 code units, as a BSTR carries them.
using FwText = std::u16string;
// The work area of one text conversion holds this many wide characters, terminator
// included, so a converted argument has at most FW_TEXT_CAPACITY - 1 characters.
constexpr std::size_t FW_TEXT_CAPACITY = 1024;

// The identities the logic asks an object for with QueryInterface.
enum class FwInterface {
    CONNECTION,    // INetConnection
    ENUM_VARIANT,  // IEnumVARIANT
};

class FwObject {
public:
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;
    // A new counted reference to the object as the asked-for interface in *out (an object of
    // the class named for that identity below), or null and a failure.
    virtual FwResult QueryInterface(FwInterface iid, FwObject** out) = 0;

protected:
    virtual ~FwObject() = default;
};

// Releases the reference if there is one and nulls the pointer.
template <class T>
void FwRelease(T*& object) {
    if (object != nullptr) {
        object->Release();
        object = nullptr;
    }
}

// ---- Windows Firewall -------------------------------------------------------------------

constexpr int32_t FW_SCOPE_ALL = 0;
constexpr int32_t FW_SCOPE_LOCAL_SUBNET = 1;

// INetFwAuthorizedApplication: one entry of the authorized-applications list.
class FwAuthorizedApplication : public FwObject {
public:
    virtual FwResult GetName(FwText* name) = 0;
    virtual FwResult PutName(const FwText& name) = 0;
    virtual FwResult PutProcessImageFileName(const FwText& path) = 0;
    virtual FwResult PutEnabled(bool enabled) = 0;
    virtual FwResult PutScope(int32_t scope) = 0;
};

// INetFwAuthorizedApplications: the current profile's list, keyed by process image path.
class FwAuthorizedApplications : public FwObject {
public:
    virtual FwResult Item(const FwText& path, FwAuthorizedApplication** out) = 0;
    virtual FwResult Add(FwAuthorizedApplication* entry) = 0;
    virtual FwResult Remove(const FwText& path) = 0;
};

// INetFwProfile
class FwProfile : public FwObject {
public:
    virtual FwResult GetAuthorizedApplications(FwAuthorizedApplications** out) = 0;
};

// INetFwPolicy
class FwPolicy : public FwObject {
public:
    virtual FwResult GetCurrentProfile(FwProfile** out) = 0;
};

// INetFwMgr
class FwManager : public FwObject {
public:
    virtual FwResult GetLocalPolicy(FwPolicy** out) = 0;
};

// ---- Connection sharing -----------------------------------------------------------------

// Connection characteristics and media types the qualifying test looks at.
constexpr uint32_t FW_NCCF_SHARED = 0x100;
constexpr uint32_t FW_NCCF_FIREWALLED = 0x400;
constexpr int32_t FW_NCM_SHAREDACCESSHOST_LAN = 8;
constexpr int32_t FW_NCM_SHAREDACCESSHOST_RAS = 9;
constexpr int32_t FW_ICSTT_NAME = 0;
constexpr uint8_t FW_PROTOCOL_TCP = 6;

// One enumerated item, as a VARIANT would hold it: an object of an unknown kind, a
// dispatch object, or something else. The item owns one reference to its object.
enum class FwVariantType { EMPTY, UNKNOWN, DISPATCH, OTHER };
struct FwVariant {
    FwVariantType type = FwVariantType::EMPTY;
    FwObject* object = nullptr;
};
// VariantClear: releases the item's object and empties it.
inline void FwVariantClear(FwVariant* item) {
    FwRelease(item->object);
    item->type = FwVariantType::EMPTY;
}

// IEnumVARIANT, asked for with FwInterface::ENUM_VARIANT.
class FwEnumVariant : public FwObject {
public:
    // Delivers the next item (count 1): FW_S_OK while one was delivered; anything else ends.
    virtual FwResult Next(FwVariant* item) = 0;
};

// INetSharingEveryConnectionCollection, enumerated through its _NewEnum object.
class FwCollection : public FwObject {
public:
    virtual FwResult GetNewEnum(FwObject** out) = 0;
};

// INetConnection, asked for with FwInterface::CONNECTION. The logic only hands it back to
// the sharing manager.
class FwConnection : public FwObject {};

// INetConnectionProps
class FwConnectionProps : public FwObject {
public:
    virtual FwResult GetCharacteristics(uint32_t* flags) = 0;
    virtual FwResult GetMediaType(int32_t* media_type) = 0;
};

// INetSharingPortMapping, as AddPortMapping hands it out. Removal deletes the very mappings
// that were added, so the mapping collection and its properties are never enumerated.
class FwPortMapping : public FwObject {
public:
    virtual FwResult Enable() = 0;
    virtual FwResult Delete() = 0;
};

// INetSharingConfiguration
class FwSharingConfiguration : public FwObject {
public:
    virtual FwResult GetInternetFirewallEnabled(bool* enabled) = 0;
    virtual FwResult AddPortMapping(const FwText& name, uint8_t protocol, uint16_t external_port,
                                    uint16_t internal_port, uint32_t options, const FwText& target,
                                    int32_t target_type, FwPortMapping** out) = 0;
};

// INetSharingManager
class FwSharingManager : public FwObject {
public:
    virtual FwResult GetEnumEveryConnection(FwCollection** out) = 0;
    virtual FwResult GetNetConnectionProps(FwConnection* connection, FwConnectionProps** out) = 0;
    virtual FwResult GetSharingConfigurationForConnection(FwConnection* connection,
                                                          FwSharingConfiguration** out) = 0;
};

// ---- The platform -----------------------------------------------------------------------

// What the platform supplies to the firewall classes: the COM apartment of the calling
// thread, the text conversion, the two creatable managers and the new-entry object, and the
// two facts about this process that the opening needs.
class FirewallPlatform {
public:
    virtual ~FirewallPlatform() = default;

    // CoInitialize(nullptr) and CoUninitialize on the calling thread.
    virtual FwResult InitializeCom() = 0;
    virtual void UninitializeCom() = 0;

    // ANSI text (the system's ANSI code page) to wide text. false when the text does not fit
    // FW_TEXT_CAPACITY with its terminator or cannot be converted; *out is then empty.
    virtual bool AnsiToWide(const char* text, FwText* out) = 0;

    // CoCreateInstance of NetFwMgr, NetFwAuthorizedApplication and NetSharingManager. Each
    // gives one reference in *out, or null and a failure.
    virtual FwResult CreateFirewallManager(FwManager** out) = 0;
    virtual FwResult CreateAuthorizedApplication(FwAuthorizedApplication** out) = 0;
    virtual FwResult CreateSharingManager(FwSharingManager** out) = 0;

    // The running executable's full path as wide text, read without a detour through the
    // ANSI code page (which would turn a "C:\Users\Łukasz" into a path that does not exist).
    // Shorter than EXECUTABLE_PATH_SIZE characters; false (and an empty text) when it cannot
    // be read or does not fit.
    virtual bool ReadExecutablePath(FwText* out) = 0;
    // This computer's name as the target of a port mapping; false when it cannot be read.
    virtual bool ReadComputerName(FwText* out) = 0;
};

// The platform's own services (platform/posix/ or platform/win32/).
FirewallPlatform& SystemFirewallPlatform();
// The services in use: the system's unless a test replaced them.
FirewallPlatform& CurrentFirewallPlatform();
// Puts platform in place of the services in use (null: the system's again) and returns the
// previous replacement, or null when the system's were in use. The window's thread only.
FirewallPlatform* SetFirewallPlatform(FirewallPlatform* platform);
