// The application manifest of the real orvane-updater.exe, read back from the file: parsed as
// XML and checked element by element, then handed to the system's own activation-context
// loader, which must accept it (resolving common controls 6) and read the same execution
// level, supported versions and DPI awareness from it. And the release file itself: stripped,
// and small enough.
#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/win32/win32_test_util.h"

namespace {

// ---- A small XML reader: elements, attributes, text; enough for a manifest, and strict. ----

struct XmlElement {
    std::string name;  // without a namespace prefix
    std::vector<std::pair<std::string, std::string>> attributes;
    std::string text;
    std::vector<XmlElement> children;

    std::string Attribute(const std::string& key) const {
        for (const auto& a : attributes)
            if (a.first == key) return a.second;
        return std::string();
    }
    bool HasAttribute(const std::string& key) const {
        for (const auto& a : attributes)
            if (a.first == key) return true;
        return false;
    }
    std::vector<const XmlElement*> All(const std::string& child) const {
        std::vector<const XmlElement*> out;
        for (const XmlElement& c : children)
            if (c.name == child) out.push_back(&c);
        return out;
    }
    // The only child of that name, or null when there is none or more than one.
    const XmlElement* One(const std::string& child) const {
        const auto all = All(child);
        return all.size() == 1 ? all[0] : nullptr;
    }
};

class XmlReader {
public:
    explicit XmlReader(std::string text) : m_s(std::move(text)) {}

    // The document's root element; false with a reason on anything malformed.
    bool Parse(XmlElement* root, std::string* error) {
        if (m_s.compare(0, 3, "\xEF\xBB\xBF") == 0) m_at = 3;
        Skip();
        if (m_s.compare(m_at, 5, "<?xml") == 0) {
            const auto end = m_s.find("?>", m_at);
            if (end == std::string::npos) return Fail("unterminated declaration", error);
            m_at = end + 2;
        }
        SkipMisc();
        if (!Element(root, error)) return false;
        SkipMisc();
        if (m_at != m_s.size()) return Fail("content after the root element", error);
        return true;
    }

private:
    bool Fail(const std::string& why, std::string* error) {
        *error = why + " at byte " + std::to_string(m_at);
        return false;
    }
    void Skip() {
        while (m_at < m_s.size() && std::strchr(" \t\r\n", m_s[m_at]) != nullptr) ++m_at;
    }
    void SkipMisc() {
        for (;;) {
            Skip();
            if (m_s.compare(m_at, 4, "<!--") != 0) return;
            const auto end = m_s.find("-->", m_at + 4);
            m_at = end == std::string::npos ? m_s.size() : end + 3;
        }
    }
    std::string Name() {
        const size_t start = m_at;
        while (m_at < m_s.size() && (std::isalnum(static_cast<unsigned char>(m_s[m_at])) ||
                                     std::strchr(":_-.", m_s[m_at]) != nullptr))
            ++m_at;
        return m_s.substr(start, m_at - start);
    }
    static std::string Local(const std::string& name) {
        const auto colon = name.find(':');
        return colon == std::string::npos ? name : name.substr(colon + 1);
    }
    bool Element(XmlElement* e, std::string* error) {
        if (m_at >= m_s.size() || m_s[m_at] != '<') return Fail("expected an element", error);
        ++m_at;
        const std::string qname = Name();
        if (qname.empty()) return Fail("element without a name", error);
        e->name = Local(qname);
        for (;;) {
            Skip();
            if (m_at >= m_s.size()) return Fail("unterminated start tag", error);
            if (m_s.compare(m_at, 2, "/>") == 0) {
                m_at += 2;
                return true;
            }
            if (m_s[m_at] == '>') {
                ++m_at;
                break;
            }
            const std::string key = Name();
            Skip();
            if (key.empty() || m_at >= m_s.size() || m_s[m_at] != '=') return Fail("bad attribute", error);
            ++m_at;
            Skip();
            const char quote = m_at < m_s.size() ? m_s[m_at] : '\0';
            if (quote != '"' && quote != '\'') return Fail("unquoted attribute", error);
            const auto end = m_s.find(quote, m_at + 1);
            if (end == std::string::npos) return Fail("unterminated attribute", error);
            for (const auto& a : e->attributes)
                if (a.first == key) return Fail("attribute " + key + " twice", error);
            e->attributes.push_back({key, m_s.substr(m_at + 1, end - m_at - 1)});
            m_at = end + 1;
        }
        for (;;) {
            const auto lt = m_s.find('<', m_at);
            if (lt == std::string::npos) return Fail("unterminated element " + qname, error);
            e->text += m_s.substr(m_at, lt - m_at);
            m_at = lt;
            if (m_s.compare(m_at, 4, "<!--") == 0) {
                SkipMisc();
                continue;
            }
            if (m_s.compare(m_at, 2, "</") == 0) {
                m_at += 2;
                if (Name() != qname) return Fail("mismatched end tag for " + qname, error);
                Skip();
                if (m_at >= m_s.size() || m_s[m_at] != '>') return Fail("bad end tag", error);
                ++m_at;
                // Surrounding blanks of a text-only element are layout, not content.
                const auto first = e->text.find_first_not_of(" \t\r\n");
                const auto last = e->text.find_last_not_of(" \t\r\n");
                e->text =
                    first == std::string::npos ? std::string() : e->text.substr(first, last - first + 1);
                return true;
            }
            e->children.emplace_back();
            if (!Element(&e->children.back(), error)) return false;
        }
    }

    std::string m_s;
    size_t m_at = 0;
};

// ---- The manifest as the file carries it ----

std::string ManifestOf(const std::wstring& path) {
    HMODULE module =
        LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module == nullptr) return std::string();
    std::string text;
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
    if (found != nullptr) {
        const char* data = static_cast<const char*>(LockResource(LoadResource(module, found)));
        if (data != nullptr) text.assign(data, SizeofResource(module, found));
    }
    FreeLibrary(module);
    return text;
}

class UpdaterManifest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string text = ManifestOf(w32test::UpdaterPath());
        ASSERT_FALSE(text.empty()) << "orvane-updater.exe has no manifest (type 24, id 1)";
        std::string error;
        ASSERT_TRUE(XmlReader(text).Parse(&root, &error)) << error << "\n" << text;
    }
    XmlElement root;
};

TEST_F(UpdaterManifest, IsAnAssemblyManifest) {
    EXPECT_EQ(root.name, "assembly");
    EXPECT_EQ(root.Attribute("xmlns"), "urn:schemas-microsoft-com:asm.v1");
    EXPECT_EQ(root.Attribute("manifestVersion"), "1.0");
}

TEST_F(UpdaterManifest, AsksForAdministratorRightsWithoutUiAccess) {
    const XmlElement* trust = root.One("trustInfo");
    ASSERT_NE(trust, nullptr);
    EXPECT_EQ(trust->Attribute("xmlns"), "urn:schemas-microsoft-com:asm.v3");
    const XmlElement* security = trust->One("security");
    ASSERT_NE(security, nullptr);
    const XmlElement* privileges = security->One("requestedPrivileges");
    ASSERT_NE(privileges, nullptr);
    const XmlElement* level = privileges->One("requestedExecutionLevel");
    ASSERT_NE(level, nullptr);
    EXPECT_EQ(level->Attribute("level"), "requireAdministrator");
    EXPECT_EQ(level->Attribute("uiAccess"), "false");
}

TEST_F(UpdaterManifest, DependsOnCommonControlsSix) {
    const XmlElement* dependency = root.One("dependency");
    ASSERT_NE(dependency, nullptr);
    const XmlElement* assembly = dependency->One("dependentAssembly");
    ASSERT_NE(assembly, nullptr);
    const XmlElement* identity = assembly->One("assemblyIdentity");
    ASSERT_NE(identity, nullptr);
    EXPECT_EQ(identity->Attribute("type"), "win32");
    EXPECT_EQ(identity->Attribute("name"), "Microsoft.Windows.Common-Controls");
    EXPECT_EQ(identity->Attribute("version"), "6.0.0.0");
    EXPECT_EQ(identity->Attribute("publicKeyToken"), "6595b64144ccf1df");
    EXPECT_EQ(identity->Attribute("processorArchitecture"), "*");
}

TEST_F(UpdaterManifest, IsPerMonitorV2DpiAwareWithTrueSlashPmForOlderSystems) {
    const XmlElement* application = nullptr;
    for (const XmlElement* a : root.All("application"))
        if (a->Attribute("xmlns") == "urn:schemas-microsoft-com:asm.v3") application = a;
    ASSERT_NE(application, nullptr);
    const XmlElement* settings = application->One("windowsSettings");
    ASSERT_NE(settings, nullptr);
    const XmlElement* awareness = settings->One("dpiAwareness");
    ASSERT_NE(awareness, nullptr);
    EXPECT_EQ(awareness->Attribute("xmlns"), "http://schemas.microsoft.com/SMI/2016/WindowsSettings");
    // The first value a system knows is taken: PerMonitorV2 wherever it exists.
    EXPECT_EQ(awareness->text.substr(0, awareness->text.find(',')), "PerMonitorV2");
    const XmlElement* aware = settings->One("dpiAware");
    ASSERT_NE(aware, nullptr);
    EXPECT_EQ(aware->Attribute("xmlns"), "http://schemas.microsoft.com/SMI/2005/WindowsSettings");
    EXPECT_EQ(aware->text, "true/pm");
}

const char* const kSupportedOs[] = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // Windows 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // Windows 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // Windows 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // Windows 10 and 11
};

TEST_F(UpdaterManifest, ListsWindows7To11AsSupported) {
    const XmlElement* compatibility = root.One("compatibility");
    ASSERT_NE(compatibility, nullptr);
    EXPECT_EQ(compatibility->Attribute("xmlns"), "urn:schemas-microsoft-com:compatibility.v1");
    const XmlElement* application = compatibility->One("application");
    ASSERT_NE(application, nullptr);
    std::vector<std::string> ids;
    for (const XmlElement* os : application->All("supportedOS")) ids.push_back(os->Attribute("Id"));
    EXPECT_EQ(ids, std::vector<std::string>(std::begin(kSupportedOs), std::end(kSupportedOs)));
}

// ---- The system's own reading of it ----

struct ActCtxCloser {
    void operator()(HANDLE h) const { ReleaseActCtx(h); }
};
using ActCtx = std::unique_ptr<void, ActCtxCloser>;

ActCtx ActivationContextOf(const std::wstring& path) {
    ACTCTXW request = {};
    request.cbSize = sizeof request;
    request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    request.lpSource = path.c_str();
    request.lpResourceName = MAKEINTRESOURCEW(1);
    HANDLE context = CreateActCtxW(&request);
    return ActCtx(context == INVALID_HANDLE_VALUE ? nullptr : context);
}

TEST(UpdaterManifestAsTheSystemReadsIt, LoadsWithCommonControlsSixResolved) {
    const ActCtx context = ActivationContextOf(w32test::UpdaterPath());
    ASSERT_NE(context, nullptr) << "the system refuses the manifest, error " << GetLastError();

    // Index 1 is the program itself; the dependencies follow.
    bool found = false;
    for (DWORD index = 2; index < 8 && !found; ++index) {
        SIZE_T size = 0;
        QueryActCtxW(0, context.get(), &index, AssemblyDetailedInformationInActivationContext, nullptr, 0,
                     &size);
        if (size == 0) break;
        std::vector<unsigned char> buffer(size);
        auto* info = reinterpret_cast<ACTIVATION_CONTEXT_ASSEMBLY_DETAILED_INFORMATION*>(buffer.data());
        ASSERT_TRUE(QueryActCtxW(0, context.get(), &index, AssemblyDetailedInformationInActivationContext,
                                 info, size, nullptr));
        const std::wstring identity = info->lpAssemblyEncodedAssemblyIdentity;
        if (identity.find(L"Microsoft.Windows.Common-Controls") == std::wstring::npos) continue;
        found = true;
        // 6.0.0.0 as asked, or the 6.0 servicing version that the system's policy maps it to.
        EXPECT_NE(identity.find(L"version=\"6.0."), std::wstring::npos) << w32test::Narrow(identity);
    }
    EXPECT_TRUE(found) << "no common-controls assembly in the activation context";
}

TEST(UpdaterManifestAsTheSystemReadsIt, RunLevelIsRequireAdministrator) {
    const ActCtx context = ActivationContextOf(w32test::UpdaterPath());
    ASSERT_NE(context, nullptr);
    ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION level = {};
    ASSERT_TRUE(QueryActCtxW(0, context.get(), nullptr, RunlevelInformationInActivationContext, &level,
                             sizeof level, nullptr));
    EXPECT_EQ(level.RunLevel, ACTCTX_RUN_LEVEL_REQUIRE_ADMIN);
    EXPECT_EQ(level.UiAccess, 0u);
}

// The layout Windows 10 gives (with MaxVersionTested); the toolchain's header has the older one.
struct CompatibilityElement {
    GUID Id;
    ACTCTX_COMPATIBILITY_ELEMENT_TYPE Type;
    ULONGLONG MaxVersionTested;
};
struct CompatibilityInformation {
    DWORD ElementCount;
    CompatibilityElement Elements[1];
};

TEST(UpdaterManifestAsTheSystemReadsIt, SupportedVersionsAreTheFourListed) {
    const ActCtx context = ActivationContextOf(w32test::UpdaterPath());
    ASSERT_NE(context, nullptr);
    SIZE_T size = 0;
    QueryActCtxW(0, context.get(), nullptr, CompatibilityInformationInActivationContext, nullptr, 0, &size);
    ASSERT_GE(size, sizeof(DWORD));
    std::vector<unsigned char> buffer(size + sizeof(CompatibilityInformation));
    auto* info = reinterpret_cast<CompatibilityInformation*>(buffer.data());
    ASSERT_TRUE(QueryActCtxW(0, context.get(), nullptr, CompatibilityInformationInActivationContext, info,
                             size, nullptr));
    std::vector<std::string> ids;
    ASSERT_LE(
        offsetof(CompatibilityInformation, Elements) + info->ElementCount * sizeof(CompatibilityElement),
        size);
    for (DWORD i = 0; i < info->ElementCount; ++i) {
        if (info->Elements[i].Type != ACTCTX_COMPATIBILITY_ELEMENT_TYPE_OS) continue;
        wchar_t text[64];
        StringFromGUID2(info->Elements[i].Id, text, 64);
        std::string id = w32test::Narrow(text);
        for (char& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        ids.push_back(id);
    }
    EXPECT_EQ(ids, std::vector<std::string>(std::begin(kSupportedOs), std::end(kSupportedOs)));
}

TEST(UpdaterManifestAsTheSystemReadsIt, DpiSettingsReadBack) {
    const ActCtx context = ActivationContextOf(w32test::UpdaterPath());
    ASSERT_NE(context, nullptr);
    wchar_t value[64] = {};
    ASSERT_TRUE(QueryActCtxSettingsW(0, context.get(),
                                     L"http://schemas.microsoft.com/SMI/2016/WindowsSettings",
                                     L"dpiAwareness", value, 64, nullptr));
    EXPECT_EQ(std::wstring(value), L"PerMonitorV2, PerMonitor");
    ASSERT_TRUE(QueryActCtxSettingsW(0, context.get(),
                                     L"http://schemas.microsoft.com/SMI/2005/WindowsSettings", L"dpiAware",
                                     value, 64, nullptr));
    EXPECT_EQ(std::wstring(value), L"true/pm");
}

// ---- The release file ----

TEST(UpdaterReleaseFile, CarriesNoSymbolsOrDebugSectionsAndStaysUnder3Point2MB) {
    HANDLE file = CreateFileW(w32test::UpdaterPath().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER size = {};
    ASSERT_TRUE(GetFileSizeEx(file, &size));
    std::vector<unsigned char> head(4096);
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(file, head.data(), static_cast<DWORD>(head.size()), &got, nullptr));
    CloseHandle(file);
    std::printf("[release] orvane-updater.exe: %lld bytes\n", static_cast<long long>(size.QuadPart));
    EXPECT_LT(size.QuadPart, 3200000);

    ASSERT_GE(got, sizeof(IMAGE_DOS_HEADER));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(head.data());
    ASSERT_LT(static_cast<size_t>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS), got);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(head.data() + dos->e_lfanew);
    EXPECT_EQ(nt->FileHeader.PointerToSymbolTable, 0u);
    EXPECT_EQ(nt->FileHeader.NumberOfSymbols, 0u);
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        ASSERT_LE(reinterpret_cast<const unsigned char*>(section + 1), head.data() + got);
        // Long section names (".debug_info") are stored as "/nnn", an offset into the symbol
        // table's strings: a stripped file has neither.
        const std::string name(
            reinterpret_cast<const char*>(section->Name),
            strnlen(reinterpret_cast<const char*>(section->Name), IMAGE_SIZEOF_SHORT_NAME));
        EXPECT_NE(name[0], '/') << name;
        EXPECT_NE(name.rfind(".debug", 0), 0u) << name;
    }
}

}  // namespace
