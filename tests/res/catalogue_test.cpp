// The message catalogue and the dialog templates: every text in every table, the one format,
// the label's blank, the templates' geometry and order, and the language choice.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "platform/catalogue/catalogue_strings.h"
#include "platform/dialog.h"
#include "res/catalogue/catalogue.h"

namespace {

const unsigned kLanguages[] = {LANG_ID_GERMAN,  LANG_ID_ENGLISH_US, LANG_ID_FRENCH,
                               LANG_ID_ITALIAN, LANG_ID_JAPANESE,   LANG_ID_ENGLISH_UK};

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Well-formed UTF-8: the Windows string tables are converted from it.
bool ValidUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80             ? 0
                   : (c & 0xE0) == 0xC0 ? 1
                   : (c & 0xF0) == 0xE0 ? 2
                   : (c & 0xF8) == 0xF0 ? 3
                                        : 9;
        if (n == 9 || i + n >= s.size() + (n == 0 ? 1 : 0)) return false;
        for (size_t k = 1; k <= n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n + 1;
    }
    return true;
}

TEST(Catalogue, SixTablesEachWithEverySixteenTexts) {
    EXPECT_EQ(sizeof kCatalogue / sizeof kCatalogue[0], 6u);
    for (unsigned language : kLanguages) {
        SCOPED_TRACE(language);
        ASSERT_NE(FindCatalogueTable(language), nullptr);
        for (unsigned id = IDS_ABOUT_MENU; id <= IDS_NOTICE; ++id) {
            const std::string text = CatalogueText(language, id);
            EXPECT_FALSE(text.empty()) << id;
            EXPECT_EQ(text.find('\r'), std::string::npos) << id;
            EXPECT_TRUE(ValidUtf8(text)) << id;
            // Only 105 is a format, and it has exactly one conversion: "%s".
            if (id == IDS_READY) {
                EXPECT_EQ(Count(text, "%s"), 1u);
                EXPECT_EQ(Count(text, "%"), 1u);
            } else {
                EXPECT_EQ(Count(text, "%"), 0u) << id;
            }
        }
        // The ready message names the Update button by the table's own label.
        EXPECT_NE(CatalogueText(language, IDS_READY).find("[" + CatalogueText(language, IDS_UPDATE) + "]"),
                  std::string::npos);
        EXPECT_EQ(CatalogueText(language, IDS_NOTICE), LEGAL_NOTICE);
    }
}

// The English texts as the user reads them, written out here rather than taken from the
// catalogue, so that an edit of a message shows up as a failing test.
TEST(Catalogue, EnglishTextsAreExactlyThese) {
    const std::map<unsigned, std::string> expected = {
        {IDS_ABOUT_MENU, "Updater version information"},
        {IDS_UPDATE, "Update"},
        {IDS_CANCEL, "Cancel"},
        {IDS_FINISH, "Finish"},
        {IDS_READY, "Start updating firmware of Orvane M1 to %s.\n\nPlease select [Update] button to start."},
        {IDS_PROBING,
         "Probing devices on the network...\n\nPlease power on your Orvane M1 for firmware update.\n"
         "From the Server list screen, click the OPTIONS button,\n"
         "go to [System Settings] -> [Firmware Update] and select [OK]."},
        {IDS_UPDATING, "Updating..."},
        {IDS_COMPLETED, "Update completed."},
        {IDS_NO_DEVICE,
         "Cannot probe any device that is ready for update.\n"
         "Please make sure the device and PC are connected to the same network."},
        {IDS_FAILED,
         "Failed to update.\nPlease make sure your network cable is connected properly, then retry the "
         "firmware update procedure."},
        {IDS_OLD_VERSION, "You're trying to backdate to an old version.\nFirmware update is cancelled."},
        {IDS_PROGRESS_TITLE, "Updating..."},
        {IDS_ABOUT_TITLE, "Version Information"},
        {IDS_MAIN_TITLE, "Firmware updater for Orvane M1"},
        {IDS_VERSION_LABEL, "Updater Version "},
        {IDS_NOTICE, "Copyright (C) 2026 Orvane"},
    };
    ASSERT_EQ(expected.size(), STRING_COUNT);
    for (const auto& [id, text] : expected) EXPECT_EQ(CatalogueText(LANG_ID_ENGLISH_US, id), text) << id;
}

TEST(Catalogue, VersionLabelEndsInABlankOnlyInTheUnitedStatesTable) {
    for (unsigned language : kLanguages) {
        const std::string label = CatalogueText(language, IDS_VERSION_LABEL);
        ASSERT_FALSE(label.empty());
        EXPECT_EQ(label.back() == ' ', language == LANG_ID_ENGLISH_US) << language;
    }
    EXPECT_EQ(CatalogueText(LANG_ID_ENGLISH_US, IDS_VERSION_LABEL), "Updater Version ");
    EXPECT_EQ(CatalogueText(LANG_ID_ENGLISH_UK, IDS_VERSION_LABEL), "Updater Version");
    for (unsigned id = IDS_ABOUT_MENU; id <= IDS_NOTICE; ++id) {
        if (id == IDS_VERSION_LABEL) continue;
        EXPECT_EQ(CatalogueText(LANG_ID_ENGLISH_UK, id), CatalogueText(LANG_ID_ENGLISH_US, id)) << id;
    }
}

TEST(Catalogue, TranslationsAreTranslated) {
    for (unsigned language : {LANG_ID_GERMAN, LANG_ID_FRENCH, LANG_ID_ITALIAN, LANG_ID_JAPANESE}) {
        int same = 0;
        for (unsigned id = IDS_ABOUT_MENU; id <= IDS_NOTICE; ++id)
            same += CatalogueText(language, id) == CatalogueText(LANG_ID_ENGLISH_US, id) ? 1 : 0;
        EXPECT_EQ(same, 1) << language << ": only the legal notice is the same in every table";
    }
}

TEST(Catalogue, MissingTablesAndIdsGiveEmptyTexts) {
    EXPECT_EQ(CatalogueText(1049, IDS_UPDATE), "");
    EXPECT_EQ(CatalogueText(LANG_ID_ENGLISH_US, 100), "");
    EXPECT_EQ(CatalogueText(LANG_ID_ENGLISH_US, 117), "");
    SetCatalogueLanguage(1049);  // no Russian table: English (United States)
    EXPECT_EQ(CatalogueLanguage(), LANG_ID_ENGLISH_US);
    EXPECT_EQ(LoadStringById(IDS_CANCEL), "Cancel");
    SetCatalogueLanguage(LANG_ID_ITALIAN);
    EXPECT_EQ(LoadStringById(IDS_CANCEL), "Annulla");
    EXPECT_EQ(LoadStringById(99), "");
    SetCatalogueLanguage(0);
}

std::map<std::string, std::string> g_env;
const char* FakeEnv(const char* name) {
    auto it = g_env.find(name);
    return it == g_env.end() ? nullptr : it->second.c_str();
}

TEST(Catalogue, LanguageComesFromTheEnvironmentLikeGettext) {
    struct Case {
        std::map<std::string, std::string> env;
        unsigned language;
    };
    const Case cases[] = {
        {{}, LANG_ID_ENGLISH_US},
        {{{"LANG", "de_DE.UTF-8"}}, LANG_ID_GERMAN},
        {{{"LANG", "de_AT"}}, LANG_ID_GERMAN},
        {{{"LANG", "en_GB.UTF-8"}}, LANG_ID_ENGLISH_UK},
        {{{"LANG", "en_AU.UTF-8"}}, LANG_ID_ENGLISH_US},
        {{{"LANG", "fr_CA.UTF-8@euro"}}, LANG_ID_FRENCH},
        {{{"LANG", "ja_JP.eucJP"}}, LANG_ID_JAPANESE},
        {{{"LANG", "ru_RU.UTF-8"}}, LANG_ID_ENGLISH_US},
        {{{"LANG", "C"}}, LANG_ID_ENGLISH_US},
        // LC_ALL before LC_MESSAGES before LANG.
        {{{"LANG", "de_DE"}, {"LC_MESSAGES", "it_IT"}}, LANG_ID_ITALIAN},
        {{{"LANG", "de_DE"}, {"LC_MESSAGES", "it_IT"}, {"LC_ALL", "fr_FR"}}, LANG_ID_FRENCH},
        {{{"LANG", "de_DE"}, {"LC_ALL", ""}}, LANG_ID_GERMAN},
        // LANGUAGE: the first entry with a table wins, but not under the C locale.
        {{{"LANG", "de_DE"}, {"LANGUAGE", "ru:ja:fr"}}, LANG_ID_JAPANESE},
        {{{"LANG", "de_DE"}, {"LANGUAGE", "::en_GB"}}, LANG_ID_ENGLISH_UK},
        {{{"LANG", "de_DE"}, {"LANGUAGE", "ru:pl"}}, LANG_ID_GERMAN},
        {{{"LANG", "C.UTF-8"}, {"LANGUAGE", "ja"}}, LANG_ID_ENGLISH_US},
        {{{"LANGUAGE", "ja"}}, LANG_ID_ENGLISH_US},
    };
    for (const Case& c : cases) {
        g_env = c.env;
        std::string trace;
        for (auto& [k, v] : c.env) trace += k + "=" + v + " ";
        EXPECT_EQ(LanguageFromEnvironment(FakeEnv), c.language) << trace;
    }
}

// ---- Templates -------------------------------------------------------------------------------

struct ExpectedControl {
    unsigned id;
    const char* window_class;
    int x, y, cx, cy;
    uint32_t style;
};

void ExpectTemplate(unsigned id, bool extended, uint32_t style, uint32_t ex_style, int cx, int cy,
                    const std::vector<ExpectedControl>& controls) {
    SCOPED_TRACE(id);
    const DialogTemplate* t = FindDialogTemplate(id);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->extended, extended);
    EXPECT_EQ(t->style, style);
    EXPECT_EQ(t->ex_style, ex_style);
    EXPECT_EQ(t->x, 0);
    EXPECT_EQ(t->y, 0);
    EXPECT_EQ(t->cx, cx);
    EXPECT_EQ(t->cy, cy);
    EXPECT_STREQ(t->font_face, "MS P????");
    EXPECT_EQ(t->point_size, 9);
    ASSERT_EQ(t->control_count, static_cast<int>(controls.size()));
    for (size_t i = 0; i < controls.size(); ++i) {
        const ControlTemplate& c = t->controls[i];
        const ExpectedControl& e = controls[i];
        SCOPED_TRACE(e.id);
        EXPECT_EQ(c.id, e.id);  // template order is the tab order
        EXPECT_STREQ(c.window_class, e.window_class);
        EXPECT_EQ(c.x, e.x);
        EXPECT_EQ(c.y, e.y);
        EXPECT_EQ(c.cx, e.cx);
        EXPECT_EQ(c.cy, e.cy);
        EXPECT_EQ(c.style, e.style);
        // Every control lies inside its dialog.
        EXPECT_LE(c.x + c.cx, cx);
        EXPECT_LE(c.y + c.cy, cy);
    }
}

TEST(Templates, MainWindow) {
    ExpectTemplate(IDD_UPDATER, true, 0x90C800C0u, 0x00040000u, 279, 187,
                   {{IDC_MESSAGE, "STATIC", 15, 22, 248, 85, 0x50020000u},
                    {IDC_UPDATE, "BUTTON", 89, 113, 99, 37, 0x50010000u},
                    {IDC_SEPARATOR, "STATIC", 0, 156, 278, 1, 0x50000010u},
                    {IDC_FINISH, "BUTTON", 215, 162, 55, 18, 0x50010000u}});
    const DialogTemplate* t = FindDialogTemplate(IDD_UPDATER);
    for (int i = 0; i < t->control_count; ++i) {
        // No OK or Cancel control, no default push button, no text of its own.
        EXPECT_NE(t->controls[i].id, static_cast<unsigned>(IDOK));
        EXPECT_NE(t->controls[i].id, static_cast<unsigned>(IDCANCEL));
        EXPECT_NE(t->controls[i].style & 0xFu, 1u);
        EXPECT_STREQ(t->controls[i].text, "");
    }
    EXPECT_EQ(t->style & 0x00020000u, 0u);  // no minimise box
}

TEST(Templates, AboutBox) {
    ExpectTemplate(IDD_ABOUT, false, 0x80C800C0u, 0, 235, 55,
                   {{IDC_STATIC_NONE, "STATIC", 11, 17, 20, 21, 0x50000003u},
                    {IDC_VERSION_LABEL, "STATIC", 40, 10, 188, 12, 0x50020080u},
                    {IDC_NOTICE, "STATIC", 40, 40, 132, 8, 0x50020000u},
                    {IDC_OK, "BUTTON", 178, 34, 50, 14, 0x50030001u},
                    {IDC_VERSION, "STATIC", 40, 24, 132, 9, 0x50020080u}});
    const DialogTemplate* t = FindDialogTemplate(IDD_ABOUT);
    EXPECT_EQ(t->controls[0].icon_id, IDI_UPDATER);
    EXPECT_STREQ(t->controls[3].text, "OK");
}

TEST(Templates, ProgressWindowHasNoSystemMenu) {
    ExpectTemplate(IDD_PROGRESS, false, 0x80C000C0u, 0, 186, 65,
                   {{IDC_PROGRESS, "msctls_progress32", 7, 28, 172, 10, 0x50800001u}});
    EXPECT_EQ(FindDialogTemplate(IDD_PROGRESS)->style & 0x00080000u, 0u);
    EXPECT_EQ(FindDialogTemplate(4711), nullptr);
}

TEST(Versions, Texts) {
    EXPECT_STREQ(FIRMWARE_VERSION, "1.0.28");
    EXPECT_STREQ(ABOUT_VERSION, "1.0.0.50208");
    EXPECT_STREQ(FILE_VERSION_TEXT, "1, 0, 0, 0502150");
    EXPECT_EQ(FILE_VERSION[3], 50215);
}

}  // namespace
