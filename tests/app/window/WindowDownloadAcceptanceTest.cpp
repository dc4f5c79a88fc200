// A download run in the real window with the real worker, against a throttled HTTP server on
// 127.0.0.1: the status line follows the download, and the step is installed.
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <wx/button.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/weakref.h>

#include "AppTestSupport.h"
#include "RunningProgram.h"
#include "TestFiles.h"
#include "run/MessageCatalogue.h"
#include "app/window/PatchMainFrame.h"
#include "app/window/PelmoPatcherApp.h"
#include "kernel/TextConvert.h"
#include "TestServers.h"

using namespace ZelkPatch;
using AppTest::PumpEvents;
using AppTest::WaitFor;

namespace
{
namespace fs = std::filesystem;
const std::string kBuild = ZELK_BUILD_DIR;

TEST(WindowDownloadAcceptanceTest, StatusLineFollowsTheDownloadAndTheStepIsInstalled)
{
    SetCatalogueLanguage(kLanguageEnglish);
    AppTest::TempDirectory temp;
    const fs::path served = temp.Path() / "served";
    for (const char *version : {"100", "101"})
    {
        RunToolForOutput({kBuild + "/zelk-mksample", (temp.Path() / version).string(), "--version", version});
        fs::remove(temp.Path() / version / "unins000.dat");
    }
    fs::create_directories(served / "steps");
    const fs::path step = served / "steps/100_to_101.zip";
    RunToolForOutput(
        {kBuild + "/zelk-mkpatch", (temp.Path() / "100").string(), (temp.Path() / "101").string(), step.string()});
    AppTest::WriteFile((served / "list/patches.txt").string(),
                       "source-version: 100\ntarget-version: 101\npatch-exe-url: http://unused.example/p.exe\n"
                       "patch-data-url: ../steps/100_to_101.zip\n");
    const fs::path install = temp.Path() / "Korvil";
    RunToolForOutput({kBuild + "/zelk-mksample", install.string(), "--version", "100"});

    // About three seconds for the step: several turns of the refresh timer.
    testservers::TestServer http;
    const uintmax_t size = fs::file_size(step);
    ASSERT_TRUE(http.Start("http_server.py", {"--root", served.string(), "--throttle", std::to_string(size / 3)}))
        << http.Output();
    setenv("no_proxy", "127.0.0.1", 1);
    AppTest::ScopedRegistry registry(temp / "registry.reg");
    setenv("TEMP", (temp / "temp").c_str(), 1);
    AppTest::ScriptedDialogs dialogs;
    auto *frame = new AppTest::TestFrame;
    PatcherCommandLine commandLine(frame->Settings());
    ASSERT_TRUE(commandLine.ParseCommandLine(
        {L"pelmo-patcher", L"--server=http://127.0.0.1:" + std::to_wstring(http.Port()) + L"/list", L"--final=101",
         L"100", NativeToPath(install.string()) + L"/"}));

    wxWeakRef<wxFrame> frameRef = frame;
    frame->Show();
    // As the start-up does for a download run: at once, without "Apply Update".
    wxCommandEvent start(wxEVT_BUTTON, ID_APPLY);
    frame->OnStart(start);

    const std::wstring total = L" kB of " + std::to_wstring(size / 1024) + L" kB, ";
    std::wstring shown;
    EXPECT_TRUE(WaitFor(
        [&] {
            shown = frame->StatusLine()->GetLabel().ToStdWstring();
            return shown.find(L"Download Progress ") == 0 && shown.find(total) != std::wstring::npos &&
                   shown.find(L"remaining") != std::wstring::npos;
        },
        std::chrono::seconds(30)))
        << PathToNative(shown) << "\n"
        << PathToNative(frame->LogPane()->GetValue().ToStdWstring());

    const auto ended = [&] {
        return !frame->IsRunning() && (frame->Worker() == nullptr || !frame->Worker()->IsRunning()) &&
               frame->CancelButton()->IsEnabled();
    };
    ASSERT_TRUE(WaitFor(ended, std::chrono::seconds(60)));
    const std::wstring log = frame->LogPane()->GetValue().ToStdWstring();
    EXPECT_EQ(log.substr(log.rfind(L'\n') + 1), L"Patching completed.") << PathToNative(log);
    EXPECT_NE(log.find(L"Client is at the final version: 101"), std::wstring::npos) << PathToNative(log);
    EXPECT_TRUE(frame->StatusLine()->GetLabel().IsEmpty()) << "the progress line goes with the download";
    // The uninstall log grows with the installation and belongs to no build.
    auto installed = testfiles::FileTreeContents(install);
    installed.erase("unins000.dat");
    EXPECT_TRUE(installed == testfiles::FileTreeContents(temp.Path() / "101")) << "the installation is build 101";

    frameRef->Destroy();
    PumpEvents();
    unsetenv("TEMP");
    unsetenv("no_proxy");
}
} // namespace
