// Catalogue texts by id for the back-ends that have no string-table resources (Qt,
// headless): the table of the user's interface language, English (United States) when no
// table matches. LoadStringById (platform/dialog.h) reads from here.
#pragma once

#include <string>

// The language table in use: the one set for tests, else the one chosen from the
// environment the first time a text is loaded.
unsigned CatalogueLanguage();
// Makes every later LoadStringById read the table of this language id (a table that does
// not exist gives English (United States)). 0 returns to the choice from the environment.
void SetCatalogueLanguage(unsigned language_id);

// The table for a POSIX locale name such as "de_DE.UTF-8", "en_GB" or "ja"; 0 when no table
// matches ("C", "POSIX", a language without a table).
unsigned LanguageForLocaleName(const std::string& locale);

// The table the environment asks for, the way gettext reads it: LANGUAGE (a colon-separated
// list of preferences, ignored when the locale is "C") before LC_ALL, LC_MESSAGES and LANG,
// English (United States) when none matches. get is the environment lookup (getenv).
unsigned LanguageFromEnvironment(const char* (*get)(const char* name));

// The text of id in the table of language_id; empty when the table or the id is missing.
std::string CatalogueText(unsigned language_id, unsigned id);
