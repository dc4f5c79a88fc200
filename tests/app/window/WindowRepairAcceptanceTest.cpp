// Repair runs in the real window with the real worker, against a repair server the test scripts:
// the "Repair" button and row label, the stage texts in the log, the gauge at its range of 1,000,
// and "Cancel" in the middle of the download.
#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <wx/button.h>
#include <wx/gauge.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/weakref.h>

#include "AppTestSupport.h"
#include "LoopbackPeer.h"
#include "ScriptedRepairServer.h"
#include "TestFiles.h"
#include "app/window/PatchMainFrame.h"
#include "kernel/AssetDbIpc.h"
#include "kernel/TextConvert.h"
#include "run/MessageCatalogue.h"
#include "run/MessageIds.h"

using namespace ZelkPatch;
using AppTest::Press;
using AppTest::PumpEvents;
using AppTest::WaitFor;

namespace
{
namespace fs = std::filesystem;
constexpr int kInstallLabelId = 5105;

class WindowRepairAcceptanceTest : public testing::Test
{
protected:
    void SetUp() override
    {
        SetCatalogueLanguage(kLanguageEnglish);
        testfiles::WriteFile(m_install / "bin" / "Launcher.exe", "launcher");
        testfiles::WriteFile(m_install / "data" / "a.dat", "damaged");
    }

    void TearDown() override
    {
        if (m_frameRef)
        {
            EXPECT_TRUE(WaitFor([&] { return !m_frame->IsRunning(); }, std::chrono::seconds(60)));
            m_frameRef->Destroy();
        }
        PumpEvents();
        AssetDbIpc::Close();
    }

    void OpenWindow(uint16_t port)
    {
        m_registry = std::make_unique<AppTest::ScopedRegistry>(
            m_temp / "registry.reg",
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo]\n\"RepairServer\"=\"127.0.0.1:" + std::to_string(port) + "\"\n");
        m_frame = new AppTest::TestFrame(true);
        m_frameRef = m_frame;
        m_frame->Settings().SetRepairMode(true);
        m_frame->Settings().SetInstallPath(NativeToPath(m_install.string()));
        m_frame->UpdateInstallField();
        m_frame->Show();
        PumpEvents();
    }

    std::wstring Log() const { return AppTest::LogText(*m_frame); }
    bool RunEnded() const { return AppTest::RunEnded(*m_frame); }

    AppTest::TempDirectory m_temp;
    fs::path m_install = m_temp.Path() / "Korvil";
    std::unique_ptr<AppTest::ScopedRegistry> m_registry;
    AppTest::ScriptedDialogs m_dialogs;
    AppTest::TestFrame *m_frame = nullptr;
    wxWeakRef<wxFrame> m_frameRef;
};
} // namespace

TEST_F(WindowRepairAcceptanceTest, RepairShowsItsStagesAndFillsTheGauge)
{
    loopback::Peer server([](int fd) {
        repairpeer::Handshake(fd);
        loopback::SendAll(fd, repairpeer::Uint32(2) + repairpeer::RawRecord(L"data\\a.dat#000", 7, "repaired") +
                                  repairpeer::RawRecord(L"data\\new.dat#000", 8, "added"));
        loopback::ReceiveAll(fd);
    });
    OpenWindow(server.Port());
    EXPECT_EQ(m_frame->ApplyButton()->GetLabel(), "Repair");
    auto *label = dynamic_cast<wxStaticText *>(wxWindow::FindWindowById(kInstallLabelId, m_frame));
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->GetLabel(), "Repairing install:");

    Press(ID_APPLY, m_frame->ApplyButton());
    ASSERT_TRUE(WaitFor([&] { return RunEnded(); }, std::chrono::seconds(60))) << PathToNative(Log());
    const std::wstring log = Log();
    size_t at = 0;
    for (const wchar_t *line : {L"Scanning installed files. This may take a while.", L"Connecting to patch servers.",
                                L"Preparing download list.", L"Receiving updated files.",
                                L"(2 / 2 segments updated.)", L"Patching completed."})
    {
        const size_t found = log.find(line, at);
        ASSERT_NE(found, std::wstring::npos) << PathToNative(line) << "\n" << PathToNative(log);
        at = found;
    }
    EXPECT_EQ(m_frame->Gauge()->GetRange(), 1000);
    EXPECT_EQ(m_frame->Gauge()->GetValue(), 1000);
    EXPECT_EQ(testfiles::ReadFile(m_install / "data" / "a.dat"), "repaired");
    EXPECT_EQ(testfiles::ReadFile(m_install / "data" / "new.dat"), "added");
    EXPECT_EQ(m_frame->CancelButton()->GetLabel(), LoadMessage(kIdExit));
}

TEST_F(WindowRepairAcceptanceTest, CancelDuringTheDownloadEndsTheRunWithoutAnError)
{
    std::atomic<bool> clientGone{false};
    loopback::Peer server([&clientGone](int fd) {
        repairpeer::Handshake(fd);
        loopback::SendAll(fd, repairpeer::Uint32(5) + repairpeer::RawRecord(L"data\\a.dat#000", 7, "repaired"));
        // The rest never comes: the client must go on its own.
        loopback::ReceiveAll(fd);
        clientGone = true;
    });
    OpenWindow(server.Port());
    Press(ID_APPLY, m_frame->ApplyButton());
    ASSERT_TRUE(WaitFor([&] { return Log().find(L"Receiving updated files.") != std::wstring::npos; },
                        std::chrono::seconds(60)))
        << PathToNative(Log());
    m_dialogs.answers.push_back(MessageBoxAnswer::Yes);
    Press(ID_CANCEL, m_frame->CancelButton());

    ASSERT_TRUE(WaitFor([&] { return RunEnded(); }, std::chrono::seconds(60))) << PathToNative(Log());
    const std::wstring log = Log();
    EXPECT_NE(log.find(L" / 5 segments updated.)"), std::wstring::npos) << PathToNative(log);
    EXPECT_EQ(log.find(L"Error"), std::wstring::npos) << PathToNative(log);
    EXPECT_EQ(log.substr(log.rfind(L'\n') + 1), L"Patching aborted.") << PathToNative(log);
    server.Finish();
    EXPECT_TRUE(clientGone);
}
