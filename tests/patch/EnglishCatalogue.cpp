// The package code's messages come from the catalogue; these tests read them in English, whatever
// the locale of the machine that runs them.
#include <gtest/gtest.h>

#include "run/MessageCatalogue.h"

namespace
{
class EnglishCatalogue : public ::testing::Environment
{
public:
    void SetUp() override { SetCatalogueLanguage(kLanguageEnglish); }
};

[[maybe_unused]] ::testing::Environment *const g_englishCatalogue =
    ::testing::AddGlobalTestEnvironment(new EnglishCatalogue);
} // namespace
