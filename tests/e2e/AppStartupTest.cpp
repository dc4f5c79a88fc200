// The built pelmo-patcher run as a user runs it, without a window (--unattended): exit statuses,
// the elevated relaunch recorded through PELMO_ELEVATE, the --onexit program, the language of the
// start-up box, and a standalone patcher made by zelk-mkpayload.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <ostream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "E2eFixtures.h"
#include "RunningProgram.h"
#include "run/MessageCatalogue.h"
#include "kernel/TextConvert.h"
#include "patch/MD5.h"

using e2e::ReadFile;
using e2e::WriteFile;

namespace
{
const std::string kPatcher = std::string(ZELK_BUILD_DIR) + "/pelmo-patcher";

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size())
    {
        const size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return lines;
}

std::string Text(unsigned id, uint16_t language = kLanguageEnglish)
{
    SetCatalogueLanguage(language);
    const std::string text = PathToNative(LoadMessage(id));
    SetCatalogueLanguage(kLanguageEnglish);
    return text;
}

class AppStartupTest : public testing::Test
{
protected:
    AppStartupTest()
    {
        m_dir = m_temp.Path().string();
        // A registry below a plain file can be neither made nor written, not even by root.
        WriteFile(m_dir + "/plain-file", "");
        m_unwritableRegistry = m_dir + "/plain-file/registry.reg";
        m_record = m_dir + "/record.txt";
        m_elevate = m_dir + "/elevate.sh";
        WriteFile(m_elevate, "#!/bin/sh\n"
                             "printf '%s\\n' \"$@\" > \"$ZELK_RECORD\"\n"
                             "sleep 0.3\n"
                             "echo copy-ended >> \"$ZELK_RECORD\"\n"
                             "exit ${ZELK_ELEVATE_STATUS:-0}\n");
        chmod(m_elevate.c_str(), 0755);
    }

    // Runs the patcher without a window and without a display, English unless the environment
    // says otherwise.
    int Run(const std::string &program, const std::vector<std::string> &arguments,
            std::vector<std::string> environment, std::string &output)
    {
        std::vector<std::string> command{program};
        command.insert(command.end(), arguments.begin(), arguments.end());
        const std::vector<std::string> defaults{"DISPLAY=", "LANG=C.UTF-8", "LC_ALL=", "LC_MESSAGES=",
                                                "TEMP=" + m_dir + "/temp", "ZELK_RECORD=" + m_record,
                                                "PELMO_ELEVATE=" + m_elevate};
        for (const std::string &entry : defaults)
        {
            const std::string name = entry.substr(0, entry.find('=') + 1);
            bool given = false;
            for (const std::string &own : environment)
                given = given || own.compare(0, name.size(), name) == 0;
            if (!given)
                environment.push_back(entry);
        }
        RunningProgram running(command, environment);
        EXPECT_TRUE(running.Started());
        const int status = running.Wait();
        output = running.Output();
        return status;
    }

    testfiles::TempDirectory m_temp{"zelk-e2e-app"};
    std::string m_dir;
    std::string m_unwritableRegistry;
    std::string m_record;
    std::string m_elevate;
};

TEST_F(AppStartupTest, NoModeUsageErrorAndRefusedCheckExitTwo)
{
    WriteFile(m_dir + "/registry.reg", "Windows Registry Editor Version 5.00\n\n");
    std::string output;
    EXPECT_EQ(Run(kPatcher, {"-u", "--admin"}, {"PELMO_REGISTRY=" + m_dir + "/registry.reg"}, output), 2);
    EXPECT_NE(output.find("No valid patch operation was specified. Patching aborted.\n"), std::string::npos) << output;

    EXPECT_EQ(Run(kPatcher, {"-u", "--no-such-option"}, {"PELMO_REGISTRY=" + m_dir + "/registry.reg"}, output), 2);
    EXPECT_NE(output.find("no-such-option"), std::string::npos) << output;

    EXPECT_EQ(Run(kPatcher, {"--unattended", "--admin", "1.0", m_dir + "/korvil/"},
                  {"PELMO_REGISTRY=" + m_unwritableRegistry}, output),
              2);
    EXPECT_NE(output.find("[" + Text(134) + "]\n" + Text(132) + "\n"), std::string::npos) << output;
}

TEST_F(AppStartupTest, ARunWithoutAWindowLoadsNeitherTheToolkitsGraphicsNorTheTransferLibrary)
{
    // The toolkit's graphics, the window's page engine, the transfer library and the hundred
    // libraries behind them cost every start more than the rest of a short run: only a window
    // loads the first ones, only a transfer the last.
    WriteFile(m_dir + "/registry.reg", "Windows Registry Editor Version 5.00\n\n");
    std::string output;
    EXPECT_EQ(Run(kPatcher, {"-u", "--admin"}, {"PELMO_REGISTRY=" + m_dir + "/registry.reg", "LD_DEBUG=libs"}, output),
              2);
    ASSERT_NE(output.find("libwx_baseu"), std::string::npos) << "the loader's list is missing";
    for (const char *library : {"libwx_gtk3u_core", "libgtk-3", "webview", "webkit", "libcurl"})
        EXPECT_EQ(output.find(library), std::string::npos) << library;
}

TEST_F(AppStartupTest, StartUpBoxFollowsTheUserLanguage)
{
    std::string output;
    EXPECT_EQ(Run(kPatcher, {"-u", "--admin", "1.0", m_dir + "/korvil/"},
                  {"PELMO_REGISTRY=" + m_unwritableRegistry, "LANG=de_DE.UTF-8"}, output),
              2);
    EXPECT_NE(output.find("[" + Text(134, kLanguageGerman) + "]\n" + Text(132, kLanguageGerman) + "\n"),
              std::string::npos)
        << output;
    EXPECT_NE(Text(134, kLanguageGerman), Text(134));
}

TEST_F(AppStartupTest, DownloadRunStartsAtOnceAndReportsItsEnd)
{
    WriteFile(m_dir + "/registry.reg", "Windows Registry Editor Version 5.00\n\n");
    std::string output;
    const int status = Run(kPatcher, {"-u", "--admin", "--server=ftp://127.0.0.1:1/", "1.0", m_dir + "/korvil/"},
                           {"PELMO_REGISTRY=" + m_dir + "/registry.reg"}, output);
    // Nothing listens on port 1: the run cannot complete.
    EXPECT_EQ(status, 1);
    const std::vector<std::string> lines = Lines(output);
    ASSERT_FALSE(lines.empty()) << output;
    EXPECT_EQ(lines.back(), "Patching aborted.") << output;
}

struct RelaunchCase
{
    const char *name;
    std::vector<std::string> arguments;
    std::string elevateStatus;
    // What the elevation program receives after the patcher's own path.
    std::vector<std::string> recorded;
    int exitStatus;
};

void PrintTo(const RelaunchCase &value, std::ostream *out)
{
    *out << value.name;
}

class RelaunchTest : public AppStartupTest, public testing::WithParamInterface<RelaunchCase>
{
};

// The first process waits for the elevated copy, then starts the --onexit program itself.
TEST_P(RelaunchTest, ElevatedCopyThenOnExitProgram)
{
    const RelaunchCase &relaunch = GetParam();
    std::vector<std::string> arguments = relaunch.arguments;
    arguments.push_back("--onexit=/bin/sh -c \"echo onexit >> " + m_record + "\"");
    std::string output;
    const int status = Run(kPatcher, arguments,
                           {"PELMO_REGISTRY=" + m_unwritableRegistry, "ZELK_ELEVATE_STATUS=" + relaunch.elevateStatus},
                           output);
    EXPECT_EQ(status, relaunch.exitStatus) << output;

    // The --onexit program may still be finishing when the patcher has ended.
    for (int wait = 0; wait < 100 && ReadFile(m_record).find("onexit") == std::string::npos; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::vector<std::string> expected{std::filesystem::canonical(kPatcher).string()};
    expected.insert(expected.end(), relaunch.recorded.begin(), relaunch.recorded.end());
    expected.push_back("copy-ended");
    expected.push_back("onexit");
    EXPECT_EQ(Lines(ReadFile(m_record)), expected);

    const bool refused = relaunch.elevateStatus == "126";
    EXPECT_EQ(output.find("[" + Text(134) + "]") != std::string::npos, refused) << output;
}

INSTANTIATE_TEST_SUITE_P(
    Startup, RelaunchTest,
    testing::Values(RelaunchCase{"EmptyVersions", {"-u"}, "0", {"--admin", "--unattended", "--final=", "", ""}, 0},
                    RelaunchCase{"TwoServers",
                                 {"-u", "--server=ftp://one.example/", "--server=http://two.example/p/",
                                  "--final=1.5", "1.0", "/games/korvil/"},
                                 "1",
                                 {"--admin", "--unattended", "--server=ftp://one.example/",
                                  "--server=http://two.example/p/", "--final=1.5", "1.0", "/games/korvil/"},
                                 1},
                    RelaunchCase{"Refused", {"-u", "--repair", "2.0", "/games/korvil/"}, "126",
                                 {"--admin", "--unattended", "--repair", "--final=", "2.0", "/games/korvil/"}, 2}),
    [](const testing::TestParamInfo<RelaunchCase> &info) { return std::string(info.param.name); });

TEST_F(AppStartupTest, StandalonePatcherStartsAtOnceWhenTheBuildFits)
{
    const std::string installation = m_dir + "/korvil/";
    WriteFile(installation + "bin/Launcher.exe", "launcher of build 120");
    WriteFile(installation + "bin/Korvil.exe", "korvil");
    std::wstring hash;
    ASSERT_TRUE(HashFileMD5(NativeToPath(installation + "bin/Launcher.exe"), hash));
    const std::string patcher = m_dir + "/standalone-patcher";
    const std::string make = std::string(ZELK_BUILD_DIR) + "/zelk-mkpayload " + kPatcher + " " + patcher +
                             " --target 1.2 --build " + WideToNarrow(hash) + "=1.0";
    ASSERT_EQ(std::system(make.c_str()), 0);
    WriteFile(m_dir + "/registry.reg", "Windows Registry Editor Version 5.00\n\n"
                                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo\\Products\\KorvilSimulator\\Main]\n"
                                       "\"ProductClass\"=\"Korvil\"\n"
                                       "\"ProductInstallPath\"=\"" +
                                           installation + "\"\n");

    std::string output;
    const int status = Run(patcher, {"-u", "--admin"}, {"PELMO_REGISTRY=" + m_dir + "/registry.reg"}, output);
    const std::string ready = "Ready to install from local patch file.\nCurrent version: 1.0.\nTarget version: 1.2.\n\n";
    EXPECT_NE(output.find(ready), std::string::npos) << output;
    const std::vector<std::string> lines = Lines(output);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(status, lines.back() == "Patching completed." ? 0 : 1) << output;
    EXPECT_TRUE(lines.back() == "Patching completed." || lines.back() == "Patching aborted.") << output;
}
} // namespace

namespace
{
// With a window the relaunch happens before any window is made, and the first process still waits
// for the copy and starts the --onexit program.
TEST_F(AppStartupTest, WindowedStartRelaunchesWithoutShowingAWindow)
{
    const char *display = getenv("DISPLAY");
    if (display == nullptr || *display == 0)
        GTEST_SKIP() << "needs a display (the test suite runs under xvfb-run)";
    std::string output;
    Run(kPatcher, {"--final=3.0", "--onexit=/bin/sh -c \"echo onexit >> " + m_record + "\"", "2.0", "/games/korvil/"},
        {"DISPLAY=" + std::string(display), "PELMO_REGISTRY=" + m_unwritableRegistry}, output);
    for (int wait = 0; wait < 100 && ReadFile(m_record).find("onexit") == std::string::npos; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(Lines(ReadFile(m_record)),
              (std::vector<std::string>{std::filesystem::canonical(kPatcher).string(), "--admin", "--final=3.0", "2.0",
                                        "/games/korvil/", "copy-ended", "onexit"}))
        << output;
}
} // namespace
