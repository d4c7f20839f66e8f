#include "platform/catalogue/catalogue_strings.h"

#include <atomic>
#include <cstdlib>

#include "platform/dialog.h"
#include "res/catalogue/catalogue.h"

namespace {

std::atomic<unsigned> g_forced_language{0};

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

const char* GetEnv(const char* name) { return std::getenv(name); }

unsigned EnvironmentLanguage() {
    // The environment does not change under a running program: read it once.
    static const unsigned language = LanguageFromEnvironment(GetEnv);
    return language;
}

}  // namespace

unsigned LanguageForLocaleName(const std::string& locale) {
    // language[_territory][.codeset][@modifier]
    std::string name = locale.substr(0, locale.find_first_of(".@"));
    const std::string::size_type sep = name.find_first_of("_-");
    const std::string language = Lower(name.substr(0, sep));
    const std::string territory = sep == std::string::npos ? std::string() : Lower(name.substr(sep + 1));
    if (language == "de") return LANG_ID_GERMAN;
    if (language == "fr") return LANG_ID_FRENCH;
    if (language == "it") return LANG_ID_ITALIAN;
    if (language == "ja") return LANG_ID_JAPANESE;
    if (language == "en") return territory == "gb" ? LANG_ID_ENGLISH_UK : LANG_ID_ENGLISH_US;
    return 0;
}

unsigned LanguageFromEnvironment(const char* (*get)(const char* name)) {
    std::string locale;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = get(name);
        if (value != nullptr && *value != '\0') {
            locale = value;
            break;
        }
    }
    const bool c_locale = locale.empty() || locale == "C" || locale == "POSIX" || locale.rfind("C.", 0) == 0;
    const char* preferences = get("LANGUAGE");
    if (!c_locale && preferences != nullptr) {
        const std::string list = preferences;
        std::string::size_type start = 0;
        while (start <= list.size()) {
            const std::string::size_type end = list.find(':', start);
            const std::string entry =
                list.substr(start, end == std::string::npos ? std::string::npos : end - start);
            if (!entry.empty()) {
                const unsigned language = LanguageForLocaleName(entry);
                if (language != 0) return language;
            }
            if (end == std::string::npos) break;
            start = end + 1;
        }
    }
    if (!c_locale) {
        const unsigned language = LanguageForLocaleName(locale);
        if (language != 0) return language;
    }
    return LANG_ID_ENGLISH_US;
}

unsigned CatalogueLanguage() {
    const unsigned forced = g_forced_language;
    const unsigned language = forced != 0 ? forced : EnvironmentLanguage();
    return FindCatalogueTable(language) != nullptr ? language : LANG_ID_ENGLISH_US;
}

void SetCatalogueLanguage(unsigned language_id) { g_forced_language = language_id; }

std::string CatalogueText(unsigned language_id, unsigned id) {
    const CatalogueTable* table = FindCatalogueTable(language_id);
    if (table == nullptr || id < FIRST_STRING_ID || id >= FIRST_STRING_ID + STRING_COUNT)
        return std::string();
    const char* text = table->texts[id - FIRST_STRING_ID];
    return text == nullptr ? std::string() : std::string(text);
}

std::string LoadStringById(unsigned id) { return CatalogueText(CatalogueLanguage(), id); }
