// The resources of the real orvane-updater.exe, read back from the file: the firmware images,
// every string of every language table, the three dialog templates, the icon group and the
// version record, each against the catalogue (or, for the version record's fixed texts, the
// values the record must carry).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "res/catalogue/catalogue.h"
#include "tests/win32/win32_test_util.h"

using w32test::Narrow;
using w32test::Widen;

namespace {

constexpr WORD kNeutral = MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT);  // 2048

class UpdaterResources : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_module = LoadLibraryExW(w32test::UpdaterPath().c_str(), nullptr,
                                  LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    }
    static void TearDownTestSuite() {
        if (s_module != nullptr) FreeLibrary(s_module);
        s_module = nullptr;
    }
    void SetUp() override { ASSERT_NE(s_module, nullptr) << "cannot open orvane-updater.exe as data"; }

    // The bytes of one resource in one language; empty when there is none.
    static std::vector<unsigned char> Bytes(LPCWSTR type, LPCWSTR name, WORD language) {
        HRSRC found = FindResourceExW(s_module, type, name, language);
        if (found == nullptr) return {};
        const DWORD size = SizeofResource(s_module, found);
        const void* data = LockResource(LoadResource(s_module, found));
        if (data == nullptr) return {};
        const unsigned char* p = static_cast<const unsigned char*>(data);
        return std::vector<unsigned char>(p, p + size);
    }

    static std::vector<WORD> Languages(LPCWSTR type, LPCWSTR name) {
        std::vector<WORD> out;
        EnumResourceLanguagesW(
            s_module, type, name,
            [](HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR param) -> BOOL {
                reinterpret_cast<std::vector<WORD>*>(param)->push_back(language);
                return TRUE;
            },
            reinterpret_cast<LONG_PTR>(&out));
        return out;
    }

    static HMODULE s_module;
};

HMODULE UpdaterResources::s_module = nullptr;

TEST_F(UpdaterResources, FirmwareImagesAreZelpakResourcesOfTheShippedSizesInTheNeutralLanguage) {
    const std::pair<unsigned, size_t> expected[] = {{132, 1929216}, {133, 749568}, {134, 1}, {135, 484}};
    for (const auto& [id, size] : expected) {
        SCOPED_TRACE(id);
        EXPECT_EQ(Languages(L"ZELPAK", MAKEINTRESOURCEW(id)), std::vector<WORD>{kNeutral});
        EXPECT_EQ(Bytes(L"ZELPAK", MAKEINTRESOURCEW(id), kNeutral).size(), size);
    }
    // A narrow lookup by type name, as the image store makes it, finds them too.
    EXPECT_NE(FindResourceA(s_module, MAKEINTRESOURCEA(132), "ZELPAK"), nullptr);
}

// The 16 strings of one string-table block (ids block*16-16 to block*16-1).
std::vector<std::wstring> StringBlock(const std::vector<unsigned char>& bytes) {
    std::vector<std::wstring> out;
    size_t at = 0;
    for (int i = 0; i < 16 && at + 2 <= bytes.size(); ++i) {
        WORD length;
        std::memcpy(&length, &bytes[at], 2);
        at += 2;
        std::wstring text(length, L'\0');
        if (at + 2u * length > bytes.size()) break;
        std::memcpy(&text[0], &bytes[at], 2u * length);
        at += 2u * length;
        out.push_back(text);
    }
    return out;
}

TEST_F(UpdaterResources, EveryStringIdIsInEachOfTheSixLanguageTablesAsTheCatalogueHasIt) {
    const unsigned languages[] = {LANG_ID_GERMAN,  LANG_ID_ENGLISH_US, LANG_ID_FRENCH,
                                  LANG_ID_ITALIAN, LANG_ID_JAPANESE,   LANG_ID_ENGLISH_UK};
    for (unsigned language : languages) {
        SCOPED_TRACE(language);
        const CatalogueTable* table = FindCatalogueTable(language);
        ASSERT_NE(table, nullptr) << "the catalogue has no table for this language";
        std::vector<std::wstring> strings;  // ids 96 to 127: blocks 7 and 8
        for (WORD block : {7, 8}) {
            const std::vector<std::wstring> part =
                StringBlock(Bytes(MAKEINTRESOURCEW(6), MAKEINTRESOURCEW(block), static_cast<WORD>(language)));
            ASSERT_EQ(part.size(), 16u) << "string block " << block << " is missing or short";
            strings.insert(strings.end(), part.begin(), part.end());
        }
        for (unsigned i = 0; i < STRING_COUNT; ++i) {
            const unsigned id = FIRST_STRING_ID + i;
            SCOPED_TRACE(id);
            EXPECT_EQ(Narrow(strings[id - 96]), table->texts[i]);
            EXPECT_FALSE(strings[id - 96].empty());
            EXPECT_EQ(strings[id - 96].find(L'\r'), std::wstring::npos);
        }
        // Nothing beyond the catalogue's ids.
        for (unsigned id = 96; id < 128; ++id) {
            if (id < FIRST_STRING_ID || id >= FIRST_STRING_ID + STRING_COUNT) {
                EXPECT_TRUE(strings[id - 96].empty()) << id;
            }
        }
    }
}

TEST_F(UpdaterResources, TheTwoEnglishTablesDifferOnlyInTheVersionLabelsTrailingBlank) {
    const std::wstring us = StringBlock(Bytes(MAKEINTRESOURCEW(6), MAKEINTRESOURCEW(8), 1033))[115 - 112];
    const std::wstring uk = StringBlock(Bytes(MAKEINTRESOURCEW(6), MAKEINTRESOURCEW(8), 2057))[115 - 112];
    EXPECT_EQ(us, L"Updater Version ");
    EXPECT_EQ(uk, L"Updater Version");
}

// A reader over a dialog template in the platform's layout.
class TemplateReader {
public:
    explicit TemplateReader(const std::vector<unsigned char>& bytes) : m_bytes(bytes) {}
    WORD Word() {
        WORD v = 0;
        if (m_at + 2 <= m_bytes.size()) std::memcpy(&v, &m_bytes[m_at], 2);
        m_at += 2;
        return v;
    }
    DWORD Dword() {
        DWORD v = 0;
        if (m_at + 4 <= m_bytes.size()) std::memcpy(&v, &m_bytes[m_at], 4);
        m_at += 4;
        return v;
    }
    BYTE Byte() {
        BYTE v = m_at < m_bytes.size() ? m_bytes[m_at] : 0;
        m_at += 1;
        return v;
    }
    short Short() { return static_cast<short>(Word()); }
    // A string or an ordinal (0xFFFF, then the number); an ordinal comes back as "#<n>".
    std::string SzOrOrd() {
        WORD first = Word();
        if (first == 0xFFFF) return "#" + std::to_string(Word());
        std::wstring text;
        while (first != 0 && m_at <= m_bytes.size()) {
            text += static_cast<wchar_t>(first);
            first = Word();
        }
        return Narrow(text);
    }
    void AlignDword() { m_at = (m_at + 3) & ~size_t{3}; }
    bool Overrun() const { return m_at > m_bytes.size(); }

private:
    const std::vector<unsigned char>& m_bytes;
    size_t m_at = 0;
};

std::string ClassName(const std::string& stored) {
    // Predefined classes are stored by ordinal or by name, in any case.
    if (stored == "#128") return "BUTTON";
    if (stored == "#130") return "STATIC";
    std::string upper = stored;
    for (char& c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return upper;
}

std::string Upper(const char* text) { return ClassName(text); }

TEST_F(UpdaterResources, DialogTemplatesCarryTheCataloguesStylesSizesFontsAndControlsInTabOrder) {
    for (const DialogTemplate& t : kDialogTemplates) {
        SCOPED_TRACE(t.id);
        EXPECT_EQ(Languages(MAKEINTRESOURCEW(5), MAKEINTRESOURCEW(t.id)), std::vector<WORD>{kNeutral});
        const std::vector<unsigned char> bytes = Bytes(MAKEINTRESOURCEW(5), MAKEINTRESOURCEW(t.id), kNeutral);
        ASSERT_FALSE(bytes.empty());
        TemplateReader r(bytes);
        DWORD style = 0;
        DWORD ex_style = 0;
        if (t.extended) {
            EXPECT_EQ(r.Word(), 1);       // dlgVer
            EXPECT_EQ(r.Word(), 0xFFFF);  // signature of the extended form
            EXPECT_EQ(r.Dword(), 0u);     // help id
            ex_style = r.Dword();
            style = r.Dword();
        } else {
            style = r.Dword();
            ex_style = r.Dword();
            ASSERT_NE(style & 0xFFFF0000u, 0xFFFF0000u) << "classic template expected";
        }
        EXPECT_EQ(style, t.style);
        EXPECT_EQ(ex_style, t.ex_style);
        const WORD count = r.Word();
        ASSERT_EQ(count, t.control_count);
        EXPECT_EQ(r.Short(), t.x);
        EXPECT_EQ(r.Short(), t.y);
        EXPECT_EQ(r.Short(), t.cx);
        EXPECT_EQ(r.Short(), t.cy);
        EXPECT_EQ(r.SzOrOrd(), "");  // no menu
        EXPECT_EQ(r.SzOrOrd(), "");  // no window class
        EXPECT_EQ(r.SzOrOrd(), "");  // no title: every title is set at run time
        ASSERT_NE(style & DS_SETFONT, 0u);
        EXPECT_EQ(r.Word(), t.point_size);
        if (t.extended) {
            EXPECT_EQ(r.Word(), t.font_weight);
            EXPECT_EQ(r.Byte(), t.italic ? 1 : 0);
            EXPECT_EQ(r.Byte(), t.charset);
        }
        EXPECT_EQ(r.SzOrOrd(), t.font_face);
        for (int i = 0; i < count; ++i) {
            const ControlTemplate& c = t.controls[i];
            SCOPED_TRACE(c.id);
            r.AlignDword();
            DWORD c_style = 0;
            DWORD c_ex = 0;
            DWORD id = 0;
            if (t.extended) {
                EXPECT_EQ(r.Dword(), 0u);  // help id
                c_ex = r.Dword();
                c_style = r.Dword();
            } else {
                c_style = r.Dword();
                c_ex = r.Dword();
            }
            const short x = r.Short(), y = r.Short(), cx = r.Short(), cy = r.Short();
            id = t.extended ? r.Dword() : r.Word();
            EXPECT_EQ(id, c.id);
            EXPECT_EQ(c_style, c.style);
            EXPECT_EQ(c_ex, 0u);
            EXPECT_EQ(std::make_tuple(x, y, cx, cy), std::make_tuple(c.x, c.y, c.cx, c.cy));
            EXPECT_EQ(ClassName(r.SzOrOrd()), Upper(c.window_class));
            const std::string text = r.SzOrOrd();
            if (c.icon_id != 0) {
                EXPECT_EQ(text, "#" + std::to_string(c.icon_id));
            } else {
                EXPECT_EQ(text, c.text);
            }
            const WORD extra = r.Word();
            EXPECT_EQ(extra, 0);
        }
        EXPECT_FALSE(r.Overrun());
    }
}

TEST_F(UpdaterResources, TheMainWindowHasNoOkCancelOrDefaultButtonAndNoMinimiseBox) {
    const DialogTemplate* t = FindDialogTemplate(IDD_UPDATER);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->style & WS_MINIMIZEBOX, 0u);
    for (int i = 0; i < t->control_count; ++i) {
        EXPECT_NE(t->controls[i].id, static_cast<unsigned>(IDOK));
        EXPECT_NE(t->controls[i].id, static_cast<unsigned>(IDCANCEL));
        EXPECT_NE(t->controls[i].style & 0xFu, static_cast<unsigned>(BS_DEFPUSHBUTTON));
    }
}

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bit_count;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

TEST_F(UpdaterResources, IconGroup128HoldsSixImagesAt48_32_16PixelsIn8And24BitsPerPixel) {
    EXPECT_EQ(Languages(MAKEINTRESOURCEW(14), MAKEINTRESOURCEW(IDI_UPDATER)), std::vector<WORD>{kNeutral});
    const std::vector<unsigned char> group =
        Bytes(MAKEINTRESOURCEW(14), MAKEINTRESOURCEW(IDI_UPDATER), kNeutral);
    ASSERT_GE(group.size(), 6u) << "no icon group " << IDI_UPDATER;
    WORD header[3];
    std::memcpy(header, group.data(), 6);
    EXPECT_EQ(header[1], 1);  // icons, not cursors
    ASSERT_EQ(header[2], 6);
    ASSERT_EQ(group.size(), 6u + 6u * sizeof(GroupIconEntry));
    std::set<std::pair<int, int>> seen;
    for (int i = 0; i < 6; ++i) {
        GroupIconEntry e;
        std::memcpy(&e, &group[6 + i * sizeof(GroupIconEntry)], sizeof e);
        // The image itself: a DIB whose header tells its real size and depth.
        const std::vector<unsigned char> image = Bytes(MAKEINTRESOURCEW(3), MAKEINTRESOURCEW(e.id), kNeutral);
        ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER));
        EXPECT_EQ(image.size(), e.bytes);
        BITMAPINFOHEADER bih;
        std::memcpy(&bih, image.data(), sizeof bih);
        ASSERT_EQ(bih.biSize, sizeof(BITMAPINFOHEADER)) << "image " << e.id << " is not a DIB";
        EXPECT_EQ(bih.biWidth, e.width);
        EXPECT_EQ(bih.biHeight, 2 * e.height);  // colour and mask
        seen.insert({static_cast<int>(bih.biWidth), static_cast<int>(bih.biBitCount)});
    }
    const std::set<std::pair<int, int>> expected = {{48, 8}, {32, 8}, {16, 8}, {48, 24}, {32, 24}, {16, 24}};
    EXPECT_EQ(seen, expected);
}

// One node of a version resource: its key, its value bytes and its children.
struct VersionNode {
    std::wstring key;
    WORD type = 0;
    std::vector<unsigned char> value;
    std::vector<VersionNode> children;
};

size_t Align4(size_t v) { return (v + 3) & ~size_t{3}; }

bool ParseVersionNode(const unsigned char* base, size_t size, VersionNode* node) {
    if (size < 6) return false;
    WORD length, value_length, type;
    std::memcpy(&length, base, 2);
    std::memcpy(&value_length, base + 2, 2);
    std::memcpy(&type, base + 4, 2);
    if (length > size || length < 6) return false;
    size_t at = 6;
    while (at + 2 <= length) {
        WORD ch;
        std::memcpy(&ch, base + at, 2);
        at += 2;
        if (ch == 0) break;
        node->key += static_cast<wchar_t>(ch);
    }
    at = Align4(at);
    node->type = type;
    // Text values count characters, binary ones bytes.
    const size_t value_bytes = type == 1 ? 2u * value_length : value_length;
    if (at + value_bytes > length) return false;
    node->value.assign(base + at, base + at + value_bytes);
    at = Align4(at + value_bytes);
    while (at < length) {
        VersionNode child;
        WORD child_length;
        std::memcpy(&child_length, base + at, 2);
        if (child_length == 0 || !ParseVersionNode(base + at, length - at, &child)) return false;
        node->children.push_back(child);
        at = Align4(at + child_length);
    }
    return true;
}

std::wstring TextValue(const VersionNode& node) {
    std::wstring text(node.value.size() / 2, L'\0');
    if (!text.empty()) std::memcpy(&text[0], node.value.data(), text.size() * 2);
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    return text;
}

TEST_F(UpdaterResources, VersionRecordFixedPartAsRead) {
    const std::wstring path = w32test::UpdaterPath();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<unsigned char> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixed_size = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixed_size));
    ASSERT_EQ(fixed_size, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    const DWORD ms = static_cast<DWORD>(FILE_VERSION[0]) << 16 | FILE_VERSION[1];
    const DWORD ls = static_cast<DWORD>(FILE_VERSION[2]) << 16 | FILE_VERSION[3];
    EXPECT_EQ(ms, 0x00010000u);
    EXPECT_EQ(ls, 50215u);
    EXPECT_EQ(fixed->dwFileVersionMS, ms);
    EXPECT_EQ(fixed->dwFileVersionLS, ls);
    EXPECT_EQ(fixed->dwProductVersionMS, ms);
    EXPECT_EQ(fixed->dwProductVersionLS, ls);
    EXPECT_EQ(fixed->dwFileFlagsMask, 0x3Fu);
    EXPECT_EQ(fixed->dwFileFlags, 0u);
    EXPECT_EQ(fixed->dwFileOS, 0x4u);
    EXPECT_EQ(fixed->dwFileType, 1u);
    EXPECT_EQ(fixed->dwFileSubtype, 0u);

    // The translation list: one pair, Japanese with the Unicode code page.
    WORD* translation = nullptr;
    UINT translation_size = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &translation_size));
    ASSERT_EQ(translation_size, 4u);
    EXPECT_EQ(translation[0], 0x0411);
    EXPECT_EQ(translation[1], 0x04B0);

    wchar_t* value = nullptr;
    UINT value_size = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\StringFileInfo\\041104b0\\ProductName",
                               reinterpret_cast<void**>(&value), &value_size));
    EXPECT_EQ(std::wstring(value), L"Updater application");
}

TEST_F(UpdaterResources, VersionRecordHasOneStringBlockWithTheTwelveKeysInOrder) {
    EXPECT_EQ(Languages(MAKEINTRESOURCEW(16), MAKEINTRESOURCEW(1)), std::vector<WORD>{kNeutral});
    const std::vector<unsigned char> bytes = Bytes(MAKEINTRESOURCEW(16), MAKEINTRESOURCEW(1), kNeutral);
    ASSERT_FALSE(bytes.empty());
    VersionNode root;
    ASSERT_TRUE(ParseVersionNode(bytes.data(), bytes.size(), &root));
    EXPECT_EQ(root.key, L"VS_VERSION_INFO");
    ASSERT_EQ(root.children.size(), 2u);
    const VersionNode& strings = root.children[0];
    EXPECT_EQ(strings.key, L"StringFileInfo");
    ASSERT_EQ(strings.children.size(), 1u);
    const VersionNode& block = strings.children[0];
    EXPECT_EQ(block.key, L"041104b0");
    const std::vector<std::pair<std::wstring, std::string>> expected = {
        {L"Comments", ""},
        {L"CompanyName", ""},
        {L"FileDescription", "Updater"},
        {L"FileVersion", FILE_VERSION_TEXT},
        {L"InternalName", "Updater"},
        {L"LegalCopyright", LEGAL_NOTICE},
        {L"LegalTrademarks", ""},
        {L"OriginalFilename", "Updater"},
        {L"PrivateBuild", ""},
        {L"ProductName", "Updater application"},
        {L"ProductVersion", FILE_VERSION_TEXT},
        {L"SpecialBuild", ""},
    };
    std::vector<std::pair<std::wstring, std::string>> got;
    for (const VersionNode& entry : block.children) got.push_back({entry.key, Narrow(TextValue(entry))});
    EXPECT_EQ(got, expected);
    EXPECT_EQ(std::string(FILE_VERSION_TEXT), "1, 0, 0, 0502150");
    // The notice is message 116 of every table.
    for (const CatalogueTable& table : kCatalogue)
        EXPECT_STREQ(table.texts[IDS_NOTICE - FIRST_STRING_ID], LEGAL_NOTICE);

    const VersionNode& vars = root.children[1];
    EXPECT_EQ(vars.key, L"VarFileInfo");
    ASSERT_EQ(vars.children.size(), 1u);
    EXPECT_EQ(vars.children[0].key, L"Translation");
    EXPECT_EQ(vars.children[0].value, (std::vector<unsigned char>{0x11, 0x04, 0xB0, 0x04}));
}

TEST_F(UpdaterResources, TheProgramNeedsNoDllBeyondTheSystems) {
    // Static linking: the import table names only system libraries.
    HMODULE image = LoadLibraryExW(w32test::UpdaterPath().c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(image, nullptr);
    const unsigned char* base = reinterpret_cast<const unsigned char*>(image);
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    ASSERT_NE(dir.VirtualAddress, 0u);
    const std::set<std::string> system = {"advapi32.dll", "comctl32.dll", "gdi32.dll",    "kernel32.dll",
                                          "msvcrt.dll",   "ole32.dll",    "oleaut32.dll", "shell32.dll",
                                          "user32.dll",   "ws2_32.dll",   "iphlpapi.dll"};
    std::vector<std::string> names;
    for (const IMAGE_IMPORT_DESCRIPTOR* d =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
         d->Name != 0; ++d) {
        std::string name = reinterpret_cast<const char*>(base + d->Name);
        for (char& c : name)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        names.push_back(name);
        EXPECT_TRUE(system.count(name)) << name << " is not a system library";
    }
    EXPECT_FALSE(names.empty());
    FreeLibrary(image);
}

}  // namespace
