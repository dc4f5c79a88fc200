// Finding the installation and its build: registry entries, the user's picks in the locate dialog,
// and the payload's build table, with payloads made by zelk-mkpayload.
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "RecordingObserver.h"
#include "TestFiles.h"
#include "TestRegistry.h"
#include "run/InstallDiscovery.h"
#include "run/MessageCatalogue.h"
#include "kernel/TextConvert.h"
#include "patch/MD5.h"

using namespace ZelkPatch;

namespace
{
using Expected = std::vector<std::pair<int, std::wstring>>;

const std::wstring kRequesting =
    L"Unable to determine Korvil installation path. Requesting user to specify installation location.\n";
const std::wstring kCancelled = L"Unable to determine installation location. Aborted patching at user's request.";

std::string InstallationEntry(const std::string &name, const std::string &productClass, const std::string &path)
{
    return "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo\\Products\\KorvilSimulator\\" + name + "]\n\"ProductClass\"=\"" +
           productClass + "\"\n\"ProductInstallPath\"=\"" + path + "\"\n\n";
}

struct RegistryCase
{
    const char *name;
    std::string entries;
    std::wstring productClass;
    std::wstring expected;
};

void PrintTo(const RegistryCase &value, std::ostream *out)
{
    *out << value.name;
}

class FindProductInstallPathTest : public testing::TestWithParam<RegistryCase>
{
};

TEST_P(FindProductInstallPathTest, TakesTheLastMatchingInstallation)
{
    testfiles::TempDirectory temp;
    testfiles::ScopedRegistry registry(temp / "registry.reg", GetParam().entries);
    EXPECT_EQ(FindProductInstallPath(L"KorvilSimulator", GetParam().productClass), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Registry, FindProductInstallPathTest,
    testing::Values(
        RegistryCase{"LastOfTwoWins",
                     InstallationEntry("A", "Korvil", "/games/first/") + InstallationEntry("B", "Korvil", "/games/second/"),
                     L"Korvil", L"/games/second/"},
        RegistryCase{"ClassInOtherCase", InstallationEntry("A", "KORVIL", "/games/upper/"), L"Korvil",
                     L"/games/upper/"},
        RegistryCase{"OtherClassIgnored",
                     InstallationEntry("A", "Korvil", "/games/mine/") + InstallationEntry("B", "Assetry", "/games/other/"),
                     L"Korvil", L"/games/mine/"},
        RegistryCase{"EmptyClassTakesAny", InstallationEntry("A", "Assetry", "/games/any/"), L"", L"/games/any/"},
        RegistryCase{"EmptyPathPassedOver",
                     InstallationEntry("A", "Korvil", "/games/kept/") + InstallationEntry("B", "Korvil", ""), L"Korvil",
                     L"/games/kept/"},
        RegistryCase{"NoProductKey", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo]\n", L"Korvil", L""}),
    [](const testing::TestParamInfo<RegistryCase> &info) { return std::string(info.param.name); });

TEST(InstallDirectoryOfPickTest, TheBinDirectoryStandsForItsInstallation)
{
    const std::vector<std::pair<std::wstring, std::wstring>> cases = {
        {L"/games/Korvil/bin/Korvil.exe", L"/games/Korvil/"},
        {L"/games/Korvil/Korvil.exe", L"/games/Korvil/"},
        {L"/games/Korvil/BIN/Korvil.exe", L"/games/Korvil/"},
        {L"/games/cabin/Korvil.exe", L"/games/cabin/"},
        {L"C:\\Games\\Korvil\\bin\\Korvil.exe", L"C:\\Games\\Korvil\\"},
    };
    for (const auto &[picked, expected] : cases)
        EXPECT_EQ(InstallDirectoryOfPick(picked), expected) << WideToNarrow(picked);
}

// A standalone patcher whose payload knows the builds given, and installations to point it at.
class CheckStandalonePayloadTest : public testing::Test
{
protected:
    void SetUp() override
    {
        SetCatalogueLanguage(kLanguageEnglish);
        testfiles::WriteFile(m_temp / "plain-patcher", std::string(5000, 'x'));
    }

    // An installation whose launcher has the given content; returns its directory with '/'.
    std::string MakeInstallation(const std::string &name, const std::string &launcher)
    {
        const std::string directory = m_temp / name;
        testfiles::WriteFile(directory + "/bin/Launcher.exe", launcher);
        testfiles::WriteFile(directory + "/bin/Korvil.exe", "korvil");
        return directory + "/";
    }

    std::string Hash(const std::string &directory)
    {
        std::wstring hash;
        EXPECT_TRUE(HashFileMD5(NativeToPath(directory + "bin/Launcher.exe"), hash));
        return WideToNarrow(hash);
    }

    std::wstring MakePatcher(const std::string &target, const std::vector<std::string> &builds)
    {
        std::string command = std::string(ZELK_BUILD_DIR) + "/zelk-mkpayload " + (m_temp / "plain-patcher") + " " +
                              (m_temp / "patcher") + " --target " + target;
        for (const std::string &build : builds)
            command += " --build " + build;
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return NativeToPath(m_temp / "patcher");
    }

    void UseRegistry(const std::string &entries)
    {
        m_registry = std::make_unique<testfiles::ScopedRegistry>(m_temp / "registry.reg", entries);
    }


    testfiles::TempDirectory m_temp;
    std::unique_ptr<testfiles::ScopedRegistry> m_registry;
    // The standalone check with this test's payload reader, settings and observer.
    bool Check(const std::wstring &patcher, bool browseOnly)
    {
        m_check = CheckStandalonePayload(patcher, browseOnly, m_payload, m_settings, m_observer);
        return m_check.ready;
    }

    PatchPayload m_payload;
    PatchSettings m_settings;
    testrun::RecordingObserver m_observer;
    PayloadCheck m_check;
};



TEST_F(CheckStandalonePayloadTest, ExecutableWithoutPayloadSaysNothing)
{
    EXPECT_FALSE(Check(NativeToPath(m_temp / "plain-patcher"), false));
    EXPECT_TRUE(m_observer.lines.empty());
    EXPECT_FALSE(m_check.payloadFound);
    EXPECT_TRUE(m_observer.fileDialogs.empty());
}

TEST_F(CheckStandalonePayloadTest, ReadyBuildSetsUpStandaloneMode)
{
    const std::string installation = MakeInstallation("korvil", "build 120");
    const std::wstring patcher = MakePatcher("1.2", {Hash(installation) + "=1.0"});
    UseRegistry(InstallationEntry("A", "Korvil", installation));
    m_settings.SetRepairMode(true);
    m_settings.AddPatchServer(L"ftp://patches/");
    m_settings.SetDownloadMode(true);

    EXPECT_TRUE(Check(patcher, false));
    EXPECT_EQ(m_observer.lines, (Expected{{0, L"Ready to install from local patch file."},
                              {0, L"Current version: 1.0."},
                              {0, L"Target version: 1.2."},
                              {0, L""}}));
    EXPECT_TRUE(m_check.payloadFound);
    EXPECT_TRUE(m_check.ready);
    const PatchSettings &settings = m_settings;
    EXPECT_EQ(settings.CurrentVersion(), "1.0");
    EXPECT_EQ(settings.NextVersion(), "");
    EXPECT_EQ(settings.FinalVersion(), "1.2");
    EXPECT_TRUE(settings.LocalMode());
    EXPECT_FALSE(settings.DownloadMode());
    EXPECT_FALSE(settings.RepairMode());
    // The registry's candidate is used without changing installPath.
    EXPECT_EQ(settings.InstallPath(), L"");
    EXPECT_TRUE(m_observer.fileDialogs.empty());
}

TEST_F(CheckStandalonePayloadTest, UnknownBuildShowsItsHash)
{
    const std::string installation = MakeInstallation("korvil", "build 999");
    const std::wstring patcher = MakePatcher("1.2", {"0123456789abcdef0123456789abcdef=1.0"});
    UseRegistry(InstallationEntry("A", "Korvil", installation));

    EXPECT_FALSE(Check(patcher, false));
    EXPECT_EQ(m_observer.lines, (Expected{{2, L"This patch file is not applicable to your current installation version."},
                              {0, L"(Build hash: " + NarrowToWide(Hash(installation)) + L")\n"}}));
    EXPECT_TRUE(m_check.payloadFound);
    EXPECT_FALSE(m_check.ready);
}

TEST_F(CheckStandalonePayloadTest, BuildAtTheTargetLeavesTheModesAlone)
{
    const std::string installation = MakeInstallation("korvil", "build 121");
    const std::wstring patcher = MakePatcher("1.2", {Hash(installation) + "=1.2"});
    UseRegistry(InstallationEntry("A", "Korvil", installation));
    m_settings.AddPatchServer(L"ftp://patches/");
    m_settings.SetDownloadMode(true);
    m_settings.SetRepairMode(true);

    EXPECT_FALSE(Check(patcher, false));
    EXPECT_EQ(m_observer.lines, (Expected{{0, L"The installed build does not require this patch."}}));
    EXPECT_TRUE(m_settings.DownloadMode());
    EXPECT_TRUE(m_settings.RepairMode());
    EXPECT_FALSE(m_settings.LocalMode());
    EXPECT_FALSE(m_check.ready);
    EXPECT_TRUE(m_check.upToDate);
}

TEST_F(CheckStandalonePayloadTest, MissingLauncherAsksAgainUntilCancelled)
{
    const std::string broken = m_temp / "broken/";
    testfiles::WriteFile(broken + "bin/Korvil.exe", "korvil");
    const std::wstring patcher = MakePatcher("1.2", {"0123456789abcdef0123456789abcdef=1.0"});
    UseRegistry(InstallationEntry("A", "Korvil", broken));
    m_observer.picks.push_back(NativeToPath(broken + "bin/Korvil.exe"));

    EXPECT_FALSE(Check(patcher, false));
    const std::wstring noVersion = L"Unable to determine the version number of your Korvil installation.";
    EXPECT_EQ(m_observer.lines, (Expected{{2, noVersion}, {2, noVersion}, {2, kCancelled}}));
    ASSERT_EQ(m_observer.fileDialogs.size(), 2u);
    EXPECT_EQ(m_observer.fileDialogs[0].first, L"Locate Korvil.exe...");
    EXPECT_EQ(m_observer.fileDialogs[0].second, L"Korvil.exe|Korvil.exe");
    EXPECT_EQ(m_settings.InstallPath(), NativeToPath(broken));
}

TEST_F(CheckStandalonePayloadTest, PickedFileGivesTheInstallationDirectory)
{
    const std::string installation = MakeInstallation("korvil", "build 130");
    const std::wstring patcher = MakePatcher("1.3", {Hash(installation) + "=1.1"});
    UseRegistry("");
    // First a file at the installation's root, then (after a second browse) the product inside bin/.
    for (const std::string &picked : {installation + "Korvil.exe", installation + "bin/Korvil.exe"})
    {
        testfiles::WriteFile(installation + "Korvil.exe", "root copy");
        m_settings = PatchSettings();
        m_observer.lines.clear();
        m_observer.picks.push_back(NativeToPath(picked));
        EXPECT_TRUE(Check(patcher, true)) << picked;
        EXPECT_EQ(m_settings.InstallPath(), NativeToPath(installation)) << picked;
        // Browsing asks at once, without the registry's message.
        ASSERT_FALSE(m_observer.lines.empty());
        EXPECT_EQ(m_observer.lines.front().second, L"Ready to install from local patch file.");
    }
}

TEST_F(CheckStandalonePayloadTest, NoRegistryEntryRequestsTheLocation)
{
    const std::wstring patcher = MakePatcher("1.2", {"0123456789abcdef0123456789abcdef=1.0"});
    UseRegistry("");
    EXPECT_FALSE(Check(patcher, false));
    EXPECT_EQ(m_observer.lines, (Expected{{2, kRequesting}, {2, kCancelled}}));
    EXPECT_EQ(m_observer.fileDialogs.size(), 1u);
}

TEST_F(CheckStandalonePayloadTest, DamagedPayloadIsAReadError)
{
    const std::wstring patcher = MakePatcher("1.2", {"0123456789abcdef0123456789abcdef=1.0"});
    // Cutting the file leaves the header behind with a total size that no longer matches.
    const std::string bytes = testfiles::ReadFile(WideToNarrow(patcher));
    testfiles::WriteFile(WideToNarrow(patcher), bytes.substr(0, bytes.size() - 10));
    EXPECT_FALSE(Check(patcher, false));
    EXPECT_EQ(m_observer.lines, (Expected{{2, L"File error while reading patch data."}}));
}
} // namespace
