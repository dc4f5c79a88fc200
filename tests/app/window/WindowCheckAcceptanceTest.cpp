// The preflight check in the real window: its log holds the same report, line for line, as the
// unattended check prints for the same installation and server.
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <wx/button.h>
#include <wx/textctrl.h>
#include <wx/weakref.h>

#include "AppTestSupport.h"
#include "RunningProgram.h"
#include "TestFiles.h"
#include "TestServers.h"
#include "app/window/PatchMainFrame.h"
#include "app/window/PelmoPatcherApp.h"
#include "kernel/TextConvert.h"
#include "run/MessageCatalogue.h"

using namespace ZelkPatch;
using AppTest::PumpEvents;
using AppTest::WaitFor;

namespace
{
namespace fs = std::filesystem;
const std::string kBuild = ZELK_BUILD_DIR;

// The report's lines, from its first to its verdict; the free space, which other programs change
// between two checks, as N.
std::vector<std::string> ReportLines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream input(text);
    std::string line;
    bool inReport = false;
    while (std::getline(input, line))
    {
        inReport = inReport || line.rfind("Preflight check", 0) == 0;
        if (!inReport)
            continue;
        lines.push_back(std::regex_replace(line, std::regex("free [0-9]+ bytes"), "free N bytes"));
        if (line.rfind("Would go ahead", 0) == 0)
            break;
    }
    return lines;
}

TEST(WindowCheckAcceptanceTest, TheWindowsLogHoldsTheUnattendedReport)
{
    SetCatalogueLanguage(kLanguageEnglish);
    AppTest::TempDirectory temp;
    const fs::path served = temp.Path() / "served";
    for (const char *version : {"100", "101"})
        RunToolForOutput({kBuild + "/zelk-mksample", (temp.Path() / version).string(), "--version", version});
    fs::create_directories(served / "steps");
    fs::create_directories(served / "list");
    const fs::path step = served / "steps/100_to_101.zip";
    RunToolForOutput(
        {kBuild + "/zelk-mkpatch", (temp.Path() / "100").string(), (temp.Path() / "101").string(), step.string()});
    RunToolForOutput({kBuild + "/zelk-mklist", (served / "list/patches.txt").string(), "--step",
                      "100:101:" + step.string() + ":../steps/100_to_101.zip"});
    const fs::path install = temp.Path() / "Korvil";
    RunToolForOutput({kBuild + "/zelk-mksample", install.string(), "--version", "100"});

    testservers::TestServer http;
    ASSERT_TRUE(http.Start("http_server.py", {"--root", served.string()})) << http.Output();
    const std::string server = "--server=http://127.0.0.1:" + std::to_string(http.Port()) + "/list";
    setenv("no_proxy", "127.0.0.1", 1);
    const std::string registryFile = temp / "registry.reg";
    AppTest::ScopedRegistry registry(registryFile);
    setenv("TEMP", (temp / "temp").c_str(), 1);
    fs::create_directories(temp / "temp");

    RunningProgram console({kBuild + "/pelmo-patcher", "--check", "-u", server, "--final=101", "100", install.string()},
                           {"PELMO_REGISTRY=" + registryFile, "TEMP=" + (temp / "temp"),
                            "no_proxy=127.0.0.1", "LANG=C"});
    ASSERT_EQ(console.Wait(), 0) << console.Output();
    const std::vector<std::string> expected = ReportLines(console.Output());
    ASSERT_GT(expected.size(), 8u) << console.Output();

    AppTest::ScriptedDialogs dialogs;
    auto *frame = new AppTest::TestFrame;
    PatcherCommandLine commandLine(frame->Settings());
    ASSERT_TRUE(commandLine.ParseCommandLine({L"pelmo-patcher", L"--check", NarrowToWide(server), L"--final=101",
                                              L"100", NativeToPath(install.string())}));
    EXPECT_TRUE(frame->Settings().CheckOnly());
    wxWeakRef<wxFrame> frameRef = frame;
    frame->Show();
    // As the start-up does for a check: at once, without "Apply Update".
    wxCommandEvent start(wxEVT_BUTTON, ID_APPLY);
    frame->OnStart(start);
    const auto ended = [&] {
        return !frame->IsRunning() && (frame->Worker() == nullptr || !frame->Worker()->IsRunning()) &&
               frame->CancelButton()->IsEnabled();
    };
    ASSERT_TRUE(WaitFor(ended, std::chrono::seconds(60)));
    const std::string log = PathToNative(frame->LogPane()->GetValue().ToStdWstring());
    EXPECT_EQ(ReportLines(log), expected) << log;
    EXPECT_EQ(expected.back(), "Would go ahead: yes");

    frameRef->Destroy();
    PumpEvents();
    unsetenv("TEMP");
    unsetenv("no_proxy");
}
} // namespace
