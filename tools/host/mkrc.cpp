// mkrc <output.rc> <icon.ico | ->
// mkrc --manifest <output.rc> <requireAdministrator | asInvoker>
//
// The first form writes the Windows resource script of the updater from the catalogue: the three dialog
// templates, the string tables of every language, the icon group and the version record. The
// catalogue is the only place these are written down; the Linux back-ends read it directly, and
// this script is made from it at build time so that windres sees exactly the same data.
// The firmware images are not here: they come from their own script (orvane_embed_resources).
//
// The script is written in UTF-8 under "#pragma code_page(65001)", which windres turns into the
// UTF-16 that string tables and templates hold. A text that windres could not carry through
// unchanged (a carriage return or another control character, malformed UTF-8) stops the build
// rather than reaching a user as something else.
//
// The second form writes the application manifest (resource type 24, id 1) as <output>.manifest
// beside a one-line script that embeds it. The program itself asks for administrator rights:
// changing the Windows Firewall needs them, and without them Windows refuses the opening and
// its own prompt leaves a permanent rule behind. The test programs that open the same windows
// run as invoked, with everything else the same.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "res/catalogue/catalogue.h"

namespace {

// Version record texts that only the version record carries.
constexpr const char* kFileDescription = "Updater";
constexpr const char* kInternalName = "Updater";
constexpr const char* kOriginalFilename = "Updater";
constexpr const char* kProductName = "Updater application";

// The six tables the program ships; each must be in the catalogue.
constexpr unsigned kLanguages[] = {LANG_ID_GERMAN,  LANG_ID_ENGLISH_US, LANG_ID_FRENCH,
                                   LANG_ID_ITALIAN, LANG_ID_JAPANESE,   LANG_ID_ENGLISH_UK};

[[noreturn]] void Fail(const std::string& why) {
    std::fprintf(stderr, "mkrc: %s\n", why.c_str());
    std::exit(1);
}

bool ValidUtf8(const std::string& s) {
    size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        size_t extra = 0;
        if (c < 0x80) {
            extra = 0;
        } else if ((c & 0xE0) == 0xC0 && c >= 0xC2) {
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
        } else if ((c & 0xF8) == 0xF0 && c <= 0xF4) {
            extra = 3;
        } else {
            return false;
        }
        for (size_t k = 1; k <= extra; ++k) {
            if (i + k >= s.size()) return false;
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        }
        i += extra + 1;
    }
    return true;
}

// A quoted resource-script string. windres reads "" as a quote and \\ as a backslash; "\n" is
// the line feed that the message area breaks at.
std::string Quote(const std::string& text, const std::string& where) {
    if (!ValidUtf8(text)) Fail(where + ": not valid UTF-8");
    std::string out = "\"";
    for (char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (ch == '"') {
            out += "\"\"";
        } else if (ch == '\\') {
            out += "\\\\";
        } else if (ch == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7F) {
            Fail(where + ": control character " + std::to_string(c) + " has no place in a text");
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

std::string Hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(v));
    return buf;
}

std::string Language(unsigned id) {
    // A language id is the primary language in the low 10 bits and the sublanguage above.
    return "LANGUAGE " + std::to_string(id & 0x3FFu) + ", " + std::to_string(id >> 10);
}

void WriteDialog(std::string& rc, const DialogTemplate& t) {
    rc += std::to_string(t.id) + (t.extended ? " DIALOGEX " : " DIALOG ") + std::to_string(t.x) + ", " +
          std::to_string(t.y) + ", " + std::to_string(t.cx) + ", " + std::to_string(t.cy) + "\n";
    rc += "STYLE " + Hex(t.style) + "\n";
    if (t.extended) {
        rc += "EXSTYLE " + Hex(t.ex_style) + "\n";
    } else if (t.ex_style != 0) {
        Fail("dialog " + std::to_string(t.id) + ": a classic template has no extended style");
    }
    const std::string where = "dialog " + std::to_string(t.id);
    rc += "FONT " + std::to_string(t.point_size) + ", " + Quote(t.font_face, where);
    if (t.extended)
        rc += ", " + std::to_string(t.font_weight) + ", " + (t.italic ? "1" : "0") + ", " +
              std::to_string(t.charset);
    rc += "\nBEGIN\n";
    for (int i = 0; i < t.control_count; ++i) {
        const ControlTemplate& c = t.controls[i];
        const std::string cwhere = where + " control " + std::to_string(c.id);
        // An icon control names its icon by ordinal as its text.
        const std::string text = c.icon_id != 0 ? std::to_string(c.icon_id) : Quote(c.text, cwhere);
        rc += "    CONTROL " + text + ", " + std::to_string(c.id) + ", " + Quote(c.window_class, cwhere) +
              ", " + Hex(c.style) + ", " + std::to_string(c.x) + ", " + std::to_string(c.y) + ", " +
              std::to_string(c.cx) + ", " + std::to_string(c.cy) + "\n";
    }
    rc += "END\n\n";
}

void WriteVersion(std::string& rc) {
    const std::string v = std::to_string(FILE_VERSION[0]) + "," + std::to_string(FILE_VERSION[1]) + "," +
                          std::to_string(FILE_VERSION[2]) + "," + std::to_string(FILE_VERSION[3]);
    rc += "1 VERSIONINFO\n";
    rc += "FILEVERSION " + v + "\nPRODUCTVERSION " + v + "\n";
    rc += "FILEFLAGSMASK 0x3F\nFILEFLAGS 0x0\nFILEOS 0x4\nFILETYPE 0x1\nFILESUBTYPE 0x0\n";
    rc += "BEGIN\n    BLOCK \"StringFileInfo\"\n    BEGIN\n        BLOCK \"041104b0\"\n        BEGIN\n";
    const struct {
        const char* key;
        const char* value;
    } rows[] = {
        {"Comments", ""},
        {"CompanyName", ""},
        {"FileDescription", kFileDescription},
        {"FileVersion", FILE_VERSION_TEXT},
        {"InternalName", kInternalName},
        {"LegalCopyright", LEGAL_NOTICE},
        {"LegalTrademarks", ""},
        {"OriginalFilename", kOriginalFilename},
        {"PrivateBuild", ""},
        {"ProductName", kProductName},
        {"ProductVersion", FILE_VERSION_TEXT},
        {"SpecialBuild", ""},
    };
    for (const auto& row : rows)
        rc += std::string("            VALUE \"") + row.key + "\", " + Quote(row.value, row.key) + "\n";
    rc += "        END\n    END\n";
    rc +=
        "    BLOCK \"VarFileInfo\"\n    BEGIN\n        VALUE \"Translation\", 0x411, 1200\n    END\nEND\n\n";
}

// The Windows versions the program has been written for: Windows 7, 8, 8.1 and 10/11. A
// version not listed here would run it with the older behaviour it was written for.
constexpr struct {
    const char* id;
    const char* name;
} kSupportedOs[] = {
    {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "Windows 7"},
    {"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "Windows 8"},
    {"{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "Windows 8.1"},
    {"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", "Windows 10 and 11"},
};

std::string Manifest(const std::string& level) {
    std::string m = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";
    m += "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\n";
    // Under User Account Control even an administrator's programs run without administrator
    // rights unless they ask for them.
    m += "  <trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">\n"
         "    <security>\n"
         "      <requestedPrivileges>\n"
         "        <requestedExecutionLevel level=\"" +
         level +
         "\" uiAccess=\"false\"/>\n"
         "      </requestedPrivileges>\n"
         "    </security>\n"
         "  </trustInfo>\n";
    // Common controls 6: the visual styles of the desktop for buttons and the progress bar.
    m += "  <dependency>\n"
         "    <dependentAssembly>\n"
         "      <assemblyIdentity type=\"win32\" name=\"Microsoft.Windows.Common-Controls\" "
         "version=\"6.0.0.0\" processorArchitecture=\"*\" publicKeyToken=\"6595b64144ccf1df\" "
         "language=\"*\"/>\n"
         "    </dependentAssembly>\n"
         "  </dependency>\n";
    m += "  <compatibility xmlns=\"urn:schemas-microsoft-com:compatibility.v1\">\n    <application>\n";
    for (const auto& os : kSupportedOs)
        m += std::string("      <!-- ") + os.name + " -->\n      <supportedOS Id=\"" + os.id + "\"/>\n";
    m += "    </application>\n  </compatibility>\n";
    // Per-monitor DPI awareness: the dialogs are laid out from their templates at the
    // monitor's own DPI, so text stays sharp at any scaling. Windows 10 1703 and later read
    // PerMonitorV2 (1607 falls back to PerMonitor); older systems read dpiAware, where true/pm
    // asks for per-monitor awareness on 8.1 and system awareness on 7.
    m +=
        "  <application xmlns=\"urn:schemas-microsoft-com:asm.v3\">\n"
        "    <windowsSettings>\n"
        "      <dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true/pm</dpiAware>\n"
        "      <dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">"
        "PerMonitorV2, PerMonitor</dpiAwareness>\n"
        "    </windowsSettings>\n"
        "  </application>\n";
    m += "</assembly>\n";
    return m;
}

void WriteFile(const std::string& path, const std::string& content) {
    const std::string tmp = path + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "wb");
    if (f == nullptr) Fail("cannot write " + tmp);
    const bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
    if (std::fclose(f) != 0 || !ok) Fail("cannot write " + tmp);
    if (std::rename(tmp.c_str(), path.c_str()) != 0) Fail("cannot rename " + tmp);
}

// The manifest beside its script: <output>.rc embeds <output>.manifest.
void WriteManifest(const std::string& rc_path, const std::string& level) {
    if (level != "requireAdministrator" && level != "asInvoker") Fail("unknown execution level " + level);
    std::string manifest_path = rc_path;
    const std::string::size_type dot = manifest_path.rfind('.');
    const std::string::size_type slash = manifest_path.find_last_of("/\\");
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) manifest_path.erase(dot);
    manifest_path += ".manifest";
    if (manifest_path.find('"') != std::string::npos) Fail("manifest path with a quote");

    WriteFile(manifest_path, Manifest(level));
    std::string rc = "// Generated by mkrc: do not edit.\n";
    // Neutral: the language the loader asks for first.
    rc += Language(0) + "\n";
    // 1 is CREATEPROCESS_MANIFEST_RESOURCE_ID, 24 is RT_MANIFEST.
    rc += "1 24 " + Quote(manifest_path, "manifest path") + "\n";
    WriteFile(rc_path, rc);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--manifest") {
        WriteManifest(argv[2], argv[3]);
        return 0;
    }
    if (argc != 3)
        Fail(
            "usage: mkrc <output.rc> <icon.ico | ->\n       mkrc --manifest <output.rc> "
            "<requireAdministrator | asInvoker>");
    const std::string icon = argv[2];

    std::string rc = "// Generated by mkrc from res/catalogue/catalogue.h: do not edit.\n";
    rc += "#pragma code_page(65001)\n\n";
    // Templates, icon and version record are language neutral (system-default sublanguage,
    // 2048), like the firmware resources.
    rc += Language(2048) + "\n\n";
    if (icon != "-") {
        if (icon.find('"') != std::string::npos) Fail("icon path with a quote");
        rc += std::to_string(IDI_UPDATER) + " ICON " + Quote(icon, "icon path") + "\n\n";
    }
    for (const DialogTemplate& t : kDialogTemplates) WriteDialog(rc, t);
    WriteVersion(rc);

    for (unsigned lang : kLanguages) {
        const CatalogueTable* table = FindCatalogueTable(lang);
        if (table == nullptr) {
            // Not yet translated: the loader falls back to another table, and the resource
            // test reports the gap.
            std::fprintf(stderr, "mkrc: warning: no table for language %u in the catalogue\n", lang);
            continue;
        }
        rc += Language(lang) + "\nSTRINGTABLE\nBEGIN\n";
        for (unsigned i = 0; i < STRING_COUNT; ++i) {
            const std::string where =
                "language " + std::to_string(lang) + " id " + std::to_string(FIRST_STRING_ID + i);
            const char* text = table->texts[i];
            if (text == nullptr || *text == '\0') Fail(where + ": empty text");
            rc += "    " + std::to_string(FIRST_STRING_ID + i) + ", " + Quote(text, where) + "\n";
        }
        rc += "END\n\n";
    }

    WriteFile(argv[1], rc);
    return 0;
}
