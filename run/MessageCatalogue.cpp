#include "run/MessageCatalogue.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cwchar>
#include <iterator>
#include <span>
#include <string_view>

#include "kernel/UserText.h"

namespace
{
struct CatalogueEntry
{
    unsigned id;
    const wchar_t *text;
};

constexpr CatalogueEntry kEnglishTexts[] = {
#include "resources/strings/en.inc"
};
constexpr CatalogueEntry kGermanTexts[] = {
#include "resources/strings/de.inc"
};
constexpr CatalogueEntry kFrenchTexts[] = {
#include "resources/strings/fr.inc"
};
constexpr CatalogueEntry kRussianTexts[] = {
#include "resources/strings/ru.inc"
};

// Lookups search by id, so a table out of order or with a doubled id would lose texts silently.
constexpr bool StrictlyAscending(std::span<const CatalogueEntry> table)
{
    return std::adjacent_find(table.begin(), table.end(), [](const CatalogueEntry &a, const CatalogueEntry &b) {
               return a.id >= b.id;
           }) == table.end();
}
static_assert(StrictlyAscending(kEnglishTexts));
static_assert(StrictlyAscending(kGermanTexts));
static_assert(StrictlyAscending(kFrenchTexts));
static_assert(StrictlyAscending(kRussianTexts));
static_assert(std::size(kGermanTexts) == std::size(kEnglishTexts));
static_assert(std::size(kFrenchTexts) == std::size(kEnglishTexts));
static_assert(std::size(kRussianTexts) == std::size(kEnglishTexts));

// The layers below find their texts through the catalogue from the program's start: every program
// that has the catalogue looks texts up here, so it installs itself before main.
std::wstring LookUpForLowerLayers(unsigned id)
{
    return LoadMessage(id);
}
[[maybe_unused]] const bool g_lowerLayersLookUpHere = (InstallUserTextLookup(LookUpForLowerLayers), true);

// Read by every thread that reports; written by the GUI thread and the patch worker.
std::atomic<uint16_t> g_catalogueLanguage{kLanguageNeutral};

constexpr uint16_t kPrimaryLanguageMask = 0x3ff;

uint16_t LocaleLanguage()
{
    const char *locale = nullptr;
    for (const char *name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        locale = std::getenv(name);
        if (locale != nullptr && *locale != '\0')
            break;
        locale = nullptr;
    }
    if (locale == nullptr)
        return kLanguageEnglish;
    const std::string_view value(locale);
    if (value.starts_with("de"))
        return kLanguageGerman;
    if (value.starts_with("fr"))
        return kLanguageFrench;
    if (value.starts_with("ru"))
        return kLanguageRussian;
    return kLanguageEnglish;
}

std::span<const CatalogueEntry> TableOf(uint16_t language)
{
    switch (language) {
    case kLanguageGerman:
        return kGermanTexts;
    case kLanguageFrench:
        return kFrenchTexts;
    case kLanguageRussian:
        return kRussianTexts;
    default:
        return kEnglishTexts;
    }
}

std::wstring_view FindText(unsigned id)
{
    const std::span<const CatalogueEntry> table = TableOf(EffectiveCatalogueLanguage());
    const auto entry = std::lower_bound(table.begin(), table.end(), id,
        [](const CatalogueEntry &e, unsigned wanted) { return e.id < wanted; });
    if (entry == table.end() || entry->id != id)
        return {};
    return entry->text;
}
} // namespace

void SetCatalogueLanguage(uint16_t language)
{
    g_catalogueLanguage.store(language);
}

uint16_t CatalogueLanguage()
{
    return g_catalogueLanguage.load();
}

uint16_t EffectiveCatalogueLanguage()
{
    const uint16_t language = CatalogueLanguage();
    if (language == kLanguageNeutral)
        return LocaleLanguage();
    switch (language & kPrimaryLanguageMask) {
    case kLanguageGerman & kPrimaryLanguageMask:
        return kLanguageGerman;
    case kLanguageFrench & kPrimaryLanguageMask:
        return kLanguageFrench;
    case kLanguageRussian & kPrimaryLanguageMask:
        return kLanguageRussian;
    default:
        return kLanguageEnglish;
    }
}

std::wstring LoadMessage(unsigned id)
{
    return std::wstring(FindText(id));
}

wchar_t *LoadMessage(unsigned id, wchar_t *buffer, size_t capacity)
{
    if (buffer == nullptr || capacity == 0)
        return buffer;
    const std::wstring_view text = FindText(id);
    const size_t length = std::min(text.size(), capacity - 1);
    std::wmemcpy(buffer, text.data(), length);
    buffer[length] = L'\0';
    return buffer;
}

std::wstring FormatCatalogueText(unsigned id, ...)
{
    va_list args;
    va_start(args, id);
    std::wstring text = FormatUserTextV(LoadMessage(id), args);
    va_end(args);
    return text;
}
