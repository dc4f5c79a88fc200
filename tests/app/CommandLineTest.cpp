// The command line: what each option sets, the two-parameter rule, syntax errors, the server list
// file, and the command line of the elevated copy.
#include <clocale>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestFiles.h"
#include "app/PatcherCommandLine.h"
#include "kernel/TextConvert.h"
#include "run/MessageCatalogue.h"

using namespace ZelkPatch;

namespace
{
class CommandLineTest : public testing::Test
{
protected:
    void SetUp() override
    {
        SetCatalogueLanguage(kLanguageEnglish);
    }

    bool Parse(std::vector<std::wstring> arguments)
    {
        arguments.insert(arguments.begin(), L"/opt/pelmo/pelmo-patcher");
        return m_commandLine.ParseCommandLine(arguments);
    }

    PatchSettings m_settings;
    PatcherCommandLine m_commandLine{m_settings};
    testfiles::TempDirectory m_temp;
};

TEST_F(CommandLineTest, StrayQuoteAfterTrailingBackslashIsDropped)
{
    std::vector<std::wstring> arguments = {L"prog", L"C:\\Games\\Korvil\\\"", L"1.0\"", L"\\\"", L"\"", L"a\\b"};
    PatcherCommandLine::DropStrayQuotes(arguments);
    EXPECT_EQ(arguments, (std::vector<std::wstring>{L"prog", L"C:\\Games\\Korvil\\", L"1.0\"", L"\\", L"\"", L"a\\b"}));
}

TEST_F(CommandLineTest, TwoParametersTakeEveryOption)
{
    const std::string list = m_temp / "servers.txt";
    testfiles::WriteFile(list, "ftp://one.example/\r\n\nhttp://two.example/patches/\nftp://three.example/");
    EXPECT_TRUE(Parse({L"--server=ftp://first/", L"--list=" + NativeToPath(list), L"--final=1.5", L"--admin",
                       L"--onexit=/usr/bin/touch /tmp/done", L"1.0", L"/games/korvil/"}));
    const PatchSettings &settings = m_settings;
    EXPECT_EQ(settings.CurrentVersion(), "1.0");
    EXPECT_EQ(settings.InstallPath(), L"/games/korvil/");
    EXPECT_EQ(settings.FinalVersion(), "1.5");
    EXPECT_EQ(settings.PatchName(), "1.0_to_");
    EXPECT_EQ(settings.PatchServers(), (std::vector<std::wstring>{L"ftp://first/", L"ftp://one.example/",
                                                                   L"http://two.example/patches/",
                                                                   L"ftp://three.example/"}));
    EXPECT_TRUE(settings.DownloadMode());
    EXPECT_FALSE(settings.LocalMode());
    EXPECT_FALSE(settings.RepairMode());
    EXPECT_TRUE(m_commandLine.Admin());
    EXPECT_TRUE(m_commandLine.LaunchOnExit());
    EXPECT_EQ(m_commandLine.OnExitCommand(), L"/usr/bin/touch /tmp/done");
}

TEST_F(CommandLineTest, OneParameterIgnoresServersListAndAdmin)
{
    const std::string list = m_temp / "servers.txt";
    testfiles::WriteFile(list, "ftp://one.example/\n");
    EXPECT_FALSE(Parse({L"--server=ftp://first/", L"--list=" + NativeToPath(list), L"--admin", L"--final=2.0",
                        L"--repair", L"--onexit=/bin/true", L"1.0"}));
    const PatchSettings &settings = m_settings;
    EXPECT_TRUE(settings.PatchServers().empty());
    EXPECT_FALSE(settings.DownloadMode());
    EXPECT_FALSE(m_commandLine.Admin());
    EXPECT_EQ(settings.CurrentVersion(), "");
    EXPECT_EQ(settings.InstallPath(), L"");
    // These three act even so.
    EXPECT_EQ(settings.FinalVersion(), "2.0");
    EXPECT_TRUE(settings.RepairMode());
    EXPECT_TRUE(m_commandLine.LaunchOnExit());
}

TEST_F(CommandLineTest, SyntaxErrorTakesNothing)
{
    EXPECT_FALSE(Parse({L"--final=2.0", L"--repair", L"--no-such-option", L"1.0", L"/games/korvil/"}));
    EXPECT_TRUE(m_commandLine.SyntaxError());
    const PatchSettings &settings = m_settings;
    EXPECT_EQ(settings.FinalVersion(), "");
    EXPECT_FALSE(settings.RepairMode());
    EXPECT_EQ(settings.InstallPath(), L"");
}

TEST_F(CommandLineTest, UnreadableServerListAddsNothing)
{
    EXPECT_TRUE(Parse({L"--list=" + NativeToPath(m_temp / "missing.txt"), L"1.0", L"/games/korvil/"}));
    EXPECT_TRUE(m_settings.PatchServers().empty());
    EXPECT_FALSE(m_settings.DownloadMode());
}

TEST_F(CommandLineTest, RelaunchLineForEmptyVersions)
{
    m_settings.SetInstallPath(L"/games/korvil/");
    EXPECT_EQ(m_commandLine.BuildRelaunchLine(), "--admin --final=  \"/games/korvil/\"");
    // As arguments the empty versions stay arguments, so the copy still sees two parameters.
    EXPECT_EQ(m_commandLine.BuildRelaunchArguments(),
              (std::vector<std::string>{"--admin", "--final=", "", "/games/korvil/"}));
}

TEST_F(CommandLineTest, RelaunchCarriesEveryServerAsItsOwnOption)
{
    ASSERT_TRUE(Parse({L"--server=ftp://one/", L"--server=http://two/", L"--repair", L"--final=1.5",
                       L"--onexit=/bin/true", L"--unattended", L"1.0", L"/games/korvil/"}));
    EXPECT_EQ(m_commandLine.BuildRelaunchLine(), "--admin --unattended --repair --server=\"ftp://one/\" "
                                                 "--server=\"http://two/\" --final=1.5 1.0 \"/games/korvil/\"");
    const std::vector<std::string> arguments = m_commandLine.BuildRelaunchArguments();
    EXPECT_EQ(arguments, (std::vector<std::string>{"--admin", "--unattended", "--repair", "--server=ftp://one/",
                                                   "--server=http://two/", "--final=1.5", "1.0",
                                                   "/games/korvil/"}));

    // The elevated copy reads them back as the same two servers.
    PatchSettings elevatedSettings;
    std::vector<std::wstring> copy = {L"/opt/pelmo/pelmo-patcher"};
    for (const std::string &argument : arguments)
        copy.push_back(NarrowToWide(argument));
    PatcherCommandLine elevated(elevatedSettings);
    ASSERT_TRUE(elevated.ParseCommandLine(copy));
    EXPECT_EQ(elevatedSettings.PatchServers(), (std::vector<std::wstring>{L"ftp://one/", L"http://two/"}));
    EXPECT_TRUE(elevated.Admin());
    EXPECT_TRUE(elevated.Unattended());
    EXPECT_FALSE(elevated.LaunchOnExit());
}

TEST_F(CommandLineTest, OptionDescriptionsFollowTheCatalogue)
{
    // German has letters outside ASCII ("ausf\u00fchren"), which must survive into the usage text
    // also where the user's locale is not installed and the C library's locale is "C".
    const std::string savedLocale = setlocale(LC_ALL, nullptr);
    setlocale(LC_ALL, "C");
    for (uint16_t language : {kLanguageEnglish, kLanguageGerman, kLanguageRussian})
    {
        SetCatalogueLanguage(language);
        const std::wstring usage = m_commandLine.UsageText();
        for (unsigned id : {121u, 122u, 123u, 124u, 125u, 126u, 127u, 129u, 130u, 243u, 244u, 400u})
            EXPECT_NE(usage.find(LoadMessage(id)), std::wstring::npos) << language << " " << id;
        EXPECT_EQ(usage.find(LoadMessage(128)), std::wstring::npos) << language;
    }
    setlocale(LC_ALL, savedLocale.c_str());
    SetCatalogueLanguage(kLanguageEnglish);
}
} // namespace
