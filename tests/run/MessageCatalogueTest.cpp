#include "run/MessageCatalogue.h"
#include "kernel/UserText.h"
#include "kernel/UserTextIds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <optional>
#include <string>
#include <vector>

namespace
{
constexpr uint16_t kAllLanguages[] = {kLanguageEnglish, kLanguageGerman, kLanguageFrench, kLanguageRussian};
constexpr unsigned kIdsWithoutText[] = {0, 1, 120, 133, 155, 156, 233, 245, 255, 256, 1000, 65535, 4294967295u};
constexpr const char *kLocaleVariables[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
// Callers load texts into buffers of 255 wide characters; a longer translation would be cut.
constexpr size_t kSmallestCallerBuffer = 255;

// Leaves the catalogue language and the locale variables as it found them.
class MessageCatalogueTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_language = CatalogueLanguage();
        for (const char *name : kLocaleVariables) {
            const char *value = std::getenv(name);
            m_locale.push_back(value ? std::optional<std::string>(value) : std::nullopt);
        }
    }

    void TearDown() override
    {
        SetCatalogueLanguage(m_language);
        for (size_t i = 0; i < std::size(kLocaleVariables); ++i) {
            if (m_locale[i])
                setenv(kLocaleVariables[i], m_locale[i]->c_str(), 1);
            else
                unsetenv(kLocaleVariables[i]);
        }
    }

    static void SetLocale(const char *lcAll, const char *lcMessages, const char *lang)
    {
        const char *values[] = {lcAll, lcMessages, lang};
        for (size_t i = 0; i < std::size(kLocaleVariables); ++i) {
            if (values[i])
                setenv(kLocaleVariables[i], values[i], 1);
            else
                unsetenv(kLocaleVariables[i]);
        }
    }

    uint16_t m_language = kLanguageNeutral;
    std::vector<std::optional<std::string>> m_locale;
};

// The printf conversions of a text in order ("%s", "%lu", ...), so that a translation that drops,
// adds or reorders one is caught before a caller's formatting reads the wrong argument.
std::vector<std::wstring> Conversions(const std::wstring &text)
{
    std::vector<std::wstring> found;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'%')
            continue;
        size_t end = i + 1;
        while (end < text.size() && std::wcschr(L"-+ #0123456789.hlLqjzt", text[end]) != nullptr)
            ++end;
        found.push_back(text.substr(i, end - i + 1));
        i = end;
    }
    return found;
}

std::wstring LeadingSpace(const std::wstring &text)
{
    size_t n = 0;
    while (n < text.size() && std::iswspace(text[n]))
        ++n;
    return text.substr(0, n);
}

std::wstring TrailingSpace(const std::wstring &text)
{
    size_t n = text.size();
    while (n > 0 && std::iswspace(text[n - 1]))
        --n;
    return text.substr(n);
}
} // namespace

TEST_F(MessageCatalogueTest, IdsWithoutTextGiveTheEmptyTextInEveryLanguage)
{
    for (uint16_t language : kAllLanguages) {
        SetCatalogueLanguage(language);
        for (unsigned id : kIdsWithoutText) {
            EXPECT_EQ(LoadMessage(id), L"") << "language " << language << " id " << id;
            wchar_t buffer[8] = L"junk";
            EXPECT_STREQ(LoadMessage(id, buffer, std::size(buffer)), L"") << "language " << language << " id " << id;
        }
    }
}

TEST_F(MessageCatalogueTest, EnglishHoldsTheKnownTexts)
{
    SetCatalogueLanguage(kLanguageEnglish);
    unsigned count = 0;
    // The ids the program has always had; the later ones are held to English id for id below.
    for (unsigned id = kFirstMessageId; id <= 244; ++id)
        count += !LoadMessage(id).empty();
    EXPECT_EQ(count, 120u); // 121..244 without 133, 155, 156 and 233
    EXPECT_EQ(LoadMessage(121), L"print usage");
    EXPECT_EQ(LoadMessage(151), L"Patching...\n");
    EXPECT_EQ(LoadMessage(165), L"ManualPatchPath:      ");
    EXPECT_EQ(LoadMessage(174), L"Download Progress %lu kB of %lu kB, %lu hr %lu min remaining");
    EXPECT_EQ(LoadMessage(242), L"Patch installer is unable to determine whether sufficient disk space is available "
                                L"for this installation. Patching may fail if insufficient disk space is available.");
    EXPECT_EQ(LoadMessage(243), L"run without a window");
    EXPECT_EQ(LoadMessage(132).size(), 232u);
}

TEST_F(MessageCatalogueTest, LowerLayersReadTheCatalogueInItsLanguage)
{
    for (uint16_t language : kAllLanguages) {
        SetCatalogueLanguage(language);
        for (unsigned id = kFirstMessageId; id <= kLastMessageId; ++id)
            ASSERT_EQ(UserText(id), LoadMessage(id)) << "language " << language << " id " << id;
        EXPECT_EQ(FormatUserText(ZelkPatch::kIdListRefused, L"ftp://a/", L"x"),
                  FormatCatalogueText(ZelkPatch::kIdListRefused, L"ftp://a/", L"x"));
    }
    SetCatalogueLanguage(kLanguageGerman);
    EXPECT_EQ(FormatUserText(ZelkPatch::kIdListRefused, L"ftp://a/", L"x"),
              L"Die Patchliste von ftp://a/ wird abgewiesen: x");
}

TEST_F(MessageCatalogueTest, TranslationsMatchEnglishIdForId)
{
    for (uint16_t language : kAllLanguages) {
        for (unsigned id = 0; id <= kLastMessageId + 16; ++id) {
            SetCatalogueLanguage(kLanguageEnglish);
            const std::wstring english = LoadMessage(id);
            SetCatalogueLanguage(language);
            const std::wstring text = LoadMessage(id);
            SCOPED_TRACE(::testing::Message() << "language " << language << " id " << id);
            EXPECT_EQ(text.empty(), english.empty());
            EXPECT_EQ(Conversions(text), Conversions(english));
            EXPECT_EQ(LeadingSpace(text), LeadingSpace(english));
            EXPECT_EQ(TrailingSpace(text), TrailingSpace(english));
            EXPECT_LT(text.size(), kSmallestCallerBuffer);
        }
    }
}

TEST_F(MessageCatalogueTest, TranslationsAreNotEnglish)
{
    SetCatalogueLanguage(kLanguageGerman);
    EXPECT_EQ(LoadMessage(191), L"Abbrechen");
    SetCatalogueLanguage(kLanguageFrench);
    EXPECT_EQ(LoadMessage(191), L"Annuler");
    SetCatalogueLanguage(kLanguageRussian);
    EXPECT_EQ(LoadMessage(191), L"Отмена");
    for (uint16_t language : {kLanguageGerman, kLanguageFrench, kLanguageRussian}) {
        SetCatalogueLanguage(language);
        EXPECT_EQ(LoadMessage(176), L"about:blank");
        EXPECT_EQ(LoadMessage(211), L"...");
    }
}

TEST_F(MessageCatalogueTest, NeutralLanguageFollowsTheLocale)
{
    struct Case
    {
        const char *lcAll;
        const char *lcMessages;
        const char *lang;
        uint16_t expected;
    };
    const Case cases[] = {
        {nullptr, nullptr, nullptr, kLanguageEnglish},
        {nullptr, nullptr, "de_DE.UTF-8", kLanguageGerman},
        {nullptr, nullptr, "fr_CA.UTF-8", kLanguageFrench},
        {nullptr, nullptr, "ru_RU.UTF-8", kLanguageRussian},
        {nullptr, nullptr, "en_GB.UTF-8", kLanguageEnglish},
        {nullptr, nullptr, "C", kLanguageEnglish},
        {nullptr, nullptr, "es_ES.UTF-8", kLanguageEnglish},
        {nullptr, "fr_FR.UTF-8", "de_DE.UTF-8", kLanguageFrench},
        {"ru_RU.UTF-8", "fr_FR.UTF-8", "de_DE.UTF-8", kLanguageRussian},
        {"C.UTF-8", nullptr, "de_DE.UTF-8", kLanguageEnglish},
        {"", "", "de_AT.UTF-8", kLanguageGerman}, // empty variables do not count
        {"", "ru_UA", nullptr, kLanguageRussian},
    };
    SetCatalogueLanguage(kLanguageNeutral);
    for (const Case &c : cases) {
        SetLocale(c.lcAll, c.lcMessages, c.lang);
        SCOPED_TRACE(::testing::Message() << "LC_ALL=" << (c.lcAll ? c.lcAll : "(unset)") << " LC_MESSAGES="
                                          << (c.lcMessages ? c.lcMessages : "(unset)")
                                          << " LANG=" << (c.lang ? c.lang : "(unset)"));
        EXPECT_EQ(EffectiveCatalogueLanguage(), c.expected);
        const std::wstring expectedText = c.expected == kLanguageEnglish ? L"Cancel"
            : c.expected == kLanguageGerman                          ? L"Abbrechen"
            : c.expected == kLanguageFrench                          ? L"Annuler"
                                                                     : L"Отмена";
        EXPECT_EQ(LoadMessage(191), expectedText);
    }
}

TEST_F(MessageCatalogueTest, EnglishOnceSetHoldsWhateverTheLocale)
{
    SetLocale(nullptr, nullptr, "de_DE.UTF-8");
    SetCatalogueLanguage(kLanguageNeutral);
    EXPECT_EQ(LoadMessage(134), L"Administratorrechte erforderlich");
    SetCatalogueLanguage(kLanguageEnglish);
    EXPECT_EQ(CatalogueLanguage(), kLanguageEnglish);
    for (const char *locale : {"de_DE.UTF-8", "fr_FR.UTF-8", "ru_RU.UTF-8"}) {
        SetLocale(locale, nullptr, nullptr);
        EXPECT_EQ(LoadMessage(134), L"Requires Administrator Privileges") << locale;
    }
}

TEST_F(MessageCatalogueTest, OtherLanguageIdsUseTheirPrimaryLanguage)
{
    const std::pair<uint16_t, uint16_t> cases[] = {
        {2055, kLanguageGerman}, {3084, kLanguageFrench}, {1033, kLanguageEnglish}, {1034, kLanguageEnglish}};
    for (const auto &[language, expected] : cases) {
        SetCatalogueLanguage(language);
        EXPECT_EQ(EffectiveCatalogueLanguage(), expected) << language;
    }
}

TEST_F(MessageCatalogueTest, BoundedLoadCutsAndTerminates)
{
    SetCatalogueLanguage(kLanguageEnglish);
    const std::wstring full = LoadMessage(162); // "Patching completed."

    wchar_t buffer[9];
    std::fill(std::begin(buffer), std::end(buffer), L'#');
    EXPECT_EQ(LoadMessage(162, buffer, 6), buffer);
    EXPECT_STREQ(buffer, L"Patch");
    EXPECT_EQ(buffer[6], L'#') << "wrote beyond the capacity";

    EXPECT_STREQ(LoadMessage(162, buffer, 1), L"");
    buffer[0] = L'#';
    EXPECT_EQ(LoadMessage(162, buffer, 0), buffer);
    EXPECT_EQ(buffer[0], L'#') << "capacity 0 must not write";
    EXPECT_EQ(LoadMessage(162, nullptr, 10), nullptr);

    std::vector<wchar_t> exact(full.size() + 1, L'#');
    EXPECT_EQ(std::wstring(LoadMessage(162, exact.data(), exact.size())), full);
    std::vector<wchar_t> oneShort(full.size(), L'#');
    EXPECT_EQ(std::wstring(LoadMessage(162, oneShort.data(), oneShort.size())), full.substr(0, full.size() - 1));

    wchar_t large[256];
    SetCatalogueLanguage(kLanguageRussian);
    EXPECT_EQ(std::wstring(LoadMessage(132, large, std::size(large))), LoadMessage(132));
}
