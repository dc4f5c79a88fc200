// Not a check: with ZELK_SCREENSHOT_DIR set (scripts/screenshots.sh), puts the window into each of
// its states and saves a picture of it there as window-<state>.png, for people to look at.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <wx/button.h>
#include <wx/gauge.h>
#include <wx/stattext.h>
#include <wx/webview.h>

#include "AppTestSupport.h"
#include "LoopbackPeer.h"
#include "ScriptedRepairServer.h"
#include "app/window/PatchMainFrame.h"
#include "run/MessageCatalogue.h"

using namespace ZelkPatch;
using AppTest::PumpEvents;

namespace
{
class Screenshooter
{
public:
    explicit Screenshooter(std::string directory) : m_directory(std::move(directory)) {}

    void Take(wxFrame *frame, const std::string &state)
    {
        // GTK paints on its frame clock: let it draw before the picture is taken.
        for (int round = 0; round < 10; ++round)
        {
            PumpEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        const wxRect rect = frame->GetScreenRect();
        const std::string file = m_directory + "/window-" + state + ".png";
        const std::string command = "import -window root -crop " + std::to_string(rect.width) + "x" +
                                    std::to_string(rect.height) + "+" + std::to_string(rect.x) + "+" +
                                    std::to_string(rect.y) + " +repage '" + file + "'";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
    }

private:
    std::string m_directory;
};

AppTest::HeldRunFrame *NewFrame(const std::wstring &installPath)
{
    auto *frame = new AppTest::HeldRunFrame;
    frame->Settings().SetInstallPath(installPath);
    frame->UpdateInstallField();
    frame->Show();
    frame->StopRefreshTimer();
    return frame;
}

// The window as discovery leaves it when a standalone payload fits the installed build.
AppTest::HeldRunFrame *NewReadyFrame(const std::wstring &installPath)
{
    AppTest::HeldRunFrame *frame = NewFrame(installPath);
    frame->BrowseButton()->Enable();
    frame->PostFrameMessage(MessageNormal, LoadMessage(187));
    frame->PostFrameMessage(MessageNormal, FormatCatalogueText(188, L"1.0"));
    frame->PostFrameMessage(MessageNormal, FormatCatalogueText(189, L"1.2"));
    frame->PostFrameMessage(MessageNormal, L"");
    return frame;
}

void CloseFrame(AppTest::HeldRunFrame *frame)
{
    if (frame->heldWorker != nullptr)
        frame->heldWorker->Release();
    AppTest::WaitFor([&] { return !frame->IsRunning() && (frame->Worker() == nullptr || !frame->Worker()->IsRunning()); });
    frame->Destroy();
    PumpEvents();
}
} // namespace

TEST(WindowScreenshots, EveryState)
{
    const char *directory = getenv("ZELK_SCREENSHOT_DIR");
    if (directory == nullptr || *directory == 0)
        GTEST_SKIP() << "set ZELK_SCREENSHOT_DIR to take the pictures";
    SetCatalogueLanguage(kLanguageEnglish);
    AppTest::TempDirectory temp;
    AppTest::ScopedRegistry registry(temp / "registry.reg");
    AppTest::ScriptedDialogs dialogs;
    Screenshooter camera(directory);
    const std::wstring installation = L"/opt/games/Korvil/";

    // Built without a mode.
    AppTest::HeldRunFrame *frame = NewFrame(L"");
    frame->ApplyButton()->Disable();
    frame->PostFrameMessage(MessageError, L"No valid patch operation was specified. Patching aborted.");
    camera.Take(frame, "no-mode");
    CloseFrame(frame);

    // A payload that does not fit the installed build.
    frame = NewFrame(installation);
    frame->BrowseButton()->Enable();
    frame->ApplyButton()->Disable();
    frame->PostFrameMessage(MessageError, LoadMessage(184));
    frame->PostFrameMessage(MessageNormal, FormatCatalogueText(185, L"5d41402abc4b2a76b9719d911017c592"));
    camera.Take(frame, "not-accepted");
    CloseFrame(frame);

    // Standalone mode ready, then a run under way, cancelled, and finished.
    frame = NewReadyFrame(installation);
    camera.Take(frame, "ready");

    wxCommandEvent start(wxEVT_BUTTON, ID_APPLY);
    frame->ApplyButton()->GetEventHandler()->ProcessEvent(start);
    frame->PostFrameMessage(MessageNormal, FormatCatalogueText(180, L"1.0", L"1.1"));
    frame->PostFrameMessage(MessageNormal, LoadMessage(149));
    frame->PostFrameMessage(MessageNormal, LoadMessage(151));
    frame->PostFrameMessage(MessageMinor, L"bin/Korvil.exe");
    frame->PostFrameMessage(MessageMinor, L"data/terrain/alps.pak");
    // Three steps of a package of four entries.
    frame->GaugeRange(8);
    frame->GaugeStep();
    frame->GaugeStep();
    frame->GaugeStep();
    frame->StatusLine()->SetLabel(FormatDownloadProgress(3 * 1024 * 1024, 8 * 1024 * 1024, 30.0));
    camera.Take(frame, "running");

    dialogs.answers.push_back(MessageBoxAnswer::Yes);
    frame->Close(false);
    camera.Take(frame, "cancelling");

    frame->heldWorker->Release();
    AppTest::WaitFor([&] { return frame->CancelButton()->IsEnabled(); });
    frame->StatusLine()->SetLabel(wxEmptyString);
    camera.Take(frame, "finished");
    CloseFrame(frame);

    // Ready, with the maker's page above.
    AppTest::PageServer server(temp / "www");
    ASSERT_FALSE(server.Port().empty());
    AppTest::ScopedRegistry withPage(temp / "page.reg", "[HKEY_LOCAL_MACHINE\\Software\\Pelmo]\n\"PatcherPageHost\"=\"127.0.0.1:" +
                                                           server.Port() + "\"\n");
    frame = NewReadyFrame(installation);
    ASSERT_NE(frame->PageView(), nullptr);
    EXPECT_TRUE(AppTest::WaitFor([&] { return frame->PageView()->IsShown(); }, std::chrono::seconds(20)));
    camera.Take(frame, "ready-with-page");
    CloseFrame(frame);

    // A real repair run against a server that sends 3 of its 8 segments and holds the rest back
    // until the first picture is taken.
    const std::string repairRoot = temp / "repair";
    AppTest::WriteFile(repairRoot + "/bin/Launcher.exe", "launcher");
    std::atomic<bool> release{false};
    loopback::Peer repairServer([&release](int fd) {
        repairpeer::Handshake(fd);
        std::string records = repairpeer::Uint32(8);
        for (int i = 0; i < 8; ++i)
        {
            records += repairpeer::RawRecord(L"data\\part" + std::to_wstring(i) + L".pak#000", 100 + i, "bytes");
            if (i != 2)
                continue;
            loopback::SendAll(fd, records);
            records.clear();
            while (!release.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        loopback::SendAll(fd, records);
        loopback::ReceiveAll(fd);
    });
    AppTest::ScopedRegistry withRepairServer(temp / "repair.reg", "[HKEY_LOCAL_MACHINE\\Software\\Pelmo]\n\"RepairServer\"=\"127.0.0.1:" +
                                                                     std::to_string(repairServer.Port()) + "\"\n");
    auto *repairFrame = new AppTest::TestFrame(true);
    repairFrame->Settings().SetRepairMode(true);
    repairFrame->Settings().SetInstallPath(NativeToPath(repairRoot));
    repairFrame->UpdateInstallField();
    repairFrame->Show();
    repairFrame->StopRefreshTimer();
    wxCommandEvent repair(wxEVT_BUTTON, ID_APPLY);
    repairFrame->ApplyButton()->GetEventHandler()->ProcessEvent(repair);
    EXPECT_TRUE(AppTest::WaitFor([&] { return repairFrame->Gauge()->GetValue() > 0; }, std::chrono::seconds(30)));
    camera.Take(repairFrame, "repair-running");
    release = true;
    EXPECT_TRUE(AppTest::WaitFor([&] { return repairFrame->CancelButton()->IsEnabled() && !repairFrame->IsRunning(); },
                                 std::chrono::seconds(30)));
    camera.Take(repairFrame, "repair-finished");
    repairFrame->Destroy();
    PumpEvents();
    repairServer.Finish();
}
