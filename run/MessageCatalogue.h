// The message catalogue: every text the patcher shows or logs, by id, in English, German, French
// and Russian. The tables are compiled in (resources/strings/*.inc), so a lookup never fails; an id
// without a text gives the empty text, which callers show as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Language ids as the tables know them. Any other id is looked up by its primary language (the low
// ten bits, so 2055 German (Switzerland) reads German) and ends in English when none of the four fits.
enum CatalogueLanguageId : uint16_t
{
    kLanguageNeutral = 0, // follow the user's locale
    kLanguageEnglish = 9,
    kLanguageGerman = 1031,
    kLanguageFrench = 1036,
    kLanguageRussian = 1049,
};

constexpr unsigned kFirstMessageId = 121;
constexpr unsigned kLastMessageId = 699;

// The process-wide language of every lookup, the lower layers' (kernel/UserText.h) included;
// starts as kLanguageNeutral, which follows the user's locale. Safe from any thread.
void SetCatalogueLanguage(uint16_t language);
uint16_t CatalogueLanguage();

// The table a lookup uses now: one of kLanguageEnglish, kLanguageGerman, kLanguageFrench,
// kLanguageRussian. For kLanguageNeutral it follows the first non-empty of LC_ALL, LC_MESSAGES and
// LANG: "de..." German, "fr..." French, "ru..." Russian, anything else English.
uint16_t EffectiveCatalogueLanguage();

// The text of id in the catalogue language, or the empty text.
std::wstring LoadMessage(unsigned id);

// The same text copied into buffer, at most capacity - 1 characters and always terminated (a text
// that does not fit is cut). Returns buffer; with capacity 0 nothing is written.
wchar_t *LoadMessage(unsigned id, wchar_t *buffer, size_t capacity);

// The text of id with its printf conversions filled in (bounded, never overrun). The catalogue's
// "%s" takes wide text; glibc's wide printf calls that "%ls", so the format is adapted.
std::wstring FormatCatalogueText(unsigned id, ...);
