// Standalone runs in the real window with the real worker: "Cancel" in the middle of a step, and
// a running product that keeps the run out.
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <wx/button.h>
#include <wx/textctrl.h>
#include <wx/weakref.h>

#include "RunningProgram.h"
#include "TestFiles.h"
#include "AppTestSupport.h"
#include "run/InstallDiscovery.h"
#include "run/MessageCatalogue.h"
#include "run/MessageIds.h"
#include "app/window/PatchMainFrame.h"
#include "kernel/AssetDbIpc.h"
#include "kernel/TextConvert.h"

using namespace ZelkPatch;
using AppTest::Press;
using AppTest::PumpEvents;
using AppTest::WaitFor;

namespace
{
namespace fs = std::filesystem;
const std::string kBuild = ZELK_BUILD_DIR;

class WindowRunAcceptanceTest : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_temp = std::make_unique<testfiles::TempDirectory>("zelk-app-window-run");
        s_root = s_temp->Path();
        std::string digest;
        for (const char *version : {"100", "101"})
        {
            digest = RunToolForOutput({kBuild + "/zelk-mksample", (s_root / version).string(), "--version", version});
            if (std::string(version) == "100")
                s_digest = digest.substr(0, digest.find('\n'));
            fs::remove(s_root / version / "unins000.dat");
        }
        RunToolForOutput({kBuild + "/zelk-mkpatch", (s_root / "100").string(), (s_root / "101").string(),
                          (s_root / "step.zip").string()});
        // The reader takes the payload from the end of any file: a small program will do.
        RunToolForOutput({kBuild + "/zelk-mkpayload", "/bin/true", (s_root / "patcher").string(), "--target", "101",
                          "--build", s_digest + "=100", "--step", "100:101:" + (s_root / "step.zip").string()});
    }
    static void TearDownTestSuite() { s_temp.reset(); }

    void SetUp() override
    {
        RunToolForOutput({kBuild + "/zelk-mksample", m_install.string(), "--version", "100"});
        setenv("TEMP", (m_temp / "temp").c_str(), 1);
        fs::create_directories(m_temp / "temp");
        m_frame = new AppTest::TestFrame;
        m_frameRef = m_frame;
        m_frame->Show();
        // As the start-up does: the registry's installation, then the payload.
        m_frame->Settings().SetInstallPath(FindKorvilInstallPath());
        ASSERT_TRUE(m_frame->CheckStandalonePayload(NativeToPath((s_root / "patcher").string()), false));
        PumpEvents();
        ASSERT_TRUE(m_frame->ApplyButton()->IsEnabled());
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
        unsetenv("TEMP");
    }

    std::wstring Log() const { return AppTest::LogText(*m_frame); }
    bool RunEnded() const { return AppTest::RunEnded(*m_frame); }

    static std::unique_ptr<testfiles::TempDirectory> s_temp;
    static fs::path s_root;
    static std::string s_digest;
    AppTest::TempDirectory m_temp;
    fs::path m_install = m_temp.Path() / "Korvil";
    AppTest::ScopedRegistry m_registry{m_temp / "registry.reg",
                                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo\\Products\\KorvilSimulator\\Korvil]\n"
                                       "\"ProductClass\"=\"Korvil\"\n\"ProductInstallPath\"=\"" +
                                           m_install.string() + "\"\n"};
    AppTest::ScriptedDialogs m_dialogs;
    AppTest::TestFrame *m_frame = nullptr;
    wxWeakRef<wxFrame> m_frameRef;
};

std::unique_ptr<testfiles::TempDirectory> WindowRunAcceptanceTest::s_temp;
fs::path WindowRunAcceptanceTest::s_root;
std::string WindowRunAcceptanceTest::s_digest;
} // namespace

TEST_F(WindowRunAcceptanceTest, CancelInTheMiddleOfAStepLeavesEveryFileOldOrNew)
{
    // The patch tool takes its time after each file, so that "Cancel" lands inside the step.
    const fs::path tool = m_install / "bin/jpatchl-w32.exe";
    fs::copy_file(tool, m_temp.Path() / "real-jptch");
    AppTest::WriteFile(tool.string(), "#!/bin/sh\n\"" + (m_temp.Path() / "real-jptch").string() +
                                          "\" \"$@\"\nstatus=$?\nsleep 0.4\nexit $status\n");
    fs::permissions(tool, fs::perms::owner_all, fs::perm_options::add);

    Press(ID_APPLY, m_frame->ApplyButton());
    ASSERT_TRUE(WaitFor([&] { return Log().find(L"Patching...") != std::wstring::npos; }, std::chrono::seconds(60)))
        << PathToNative(Log());
    WaitFor([] { return false; }, std::chrono::milliseconds(600)); // keeps the window served meanwhile
    m_dialogs.answers.push_back(MessageBoxAnswer::Yes);
    // Looked at before any event is served: the worker may end at once when the patch tool returns,
    // and its finished event turns the button into an enabled "Exit".
    wxCommandEvent click(wxEVT_BUTTON, ID_CANCEL);
    m_frame->CancelButton()->GetEventHandler()->ProcessEvent(click);
    EXPECT_FALSE(m_frame->CancelButton()->IsEnabled());

    ASSERT_TRUE(WaitFor([&] { return RunEnded(); }, std::chrono::seconds(60))) << PathToNative(Log());
    EXPECT_EQ(m_frame->CancelButton()->GetLabel(), LoadMessage(kIdExit));
    const std::wstring log = Log();
    EXPECT_NE(log.find(LoadMessage(kIdCancelling)), std::wstring::npos) << PathToNative(log);
    EXPECT_EQ(log.substr(log.rfind(L'\n') + 1), L"Patching aborted.") << PathToNative(log);

    // Each file holds what build 100 or build 101 has at its path; nothing half-written.
    const auto old = testfiles::FileTreeContents(s_root / "100");
    const auto now = testfiles::FileTreeContents(s_root / "101");
    fs::copy_file(m_temp.Path() / "real-jptch", tool, fs::copy_options::overwrite_existing);
    for (const auto &[path, content] : testfiles::FileTreeContents(m_install))
    {
        if (path == "unins000.dat" || path == "patch-journal.txt")
            continue;
        const bool isOld = old.count(path) && old.at(path) == content;
        const bool isNew = now.count(path) && now.at(path) == content;
        EXPECT_TRUE(isOld || isNew) << path;
    }
    EXPECT_TRUE(testfiles::FileTreeContents(m_install).at("bin/Launcher.exe") != now.at("bin/Launcher.exe"))
        << "the launcher goes last, so a cancelled step leaves the old build";
}

TEST_F(WindowRunAcceptanceTest, ARunningProductKeepsTheRunOutAndApplyComesBack)
{
    RunningProgram product({kBuild + "/zelk-product-instance", m_install.string()});
    ASSERT_TRUE(product.WaitForOutput("ready")) << product.Output();

    Press(ID_APPLY, m_frame->ApplyButton());
    ASSERT_TRUE(WaitFor([&] { return RunEnded(); }, std::chrono::seconds(60))) << PathToNative(Log());
    const std::wstring log = Log();
    EXPECT_NE(log.find(LoadMessage(157)), std::wstring::npos) << PathToNative(log);
    ASSERT_EQ(m_dialogs.boxes.size(), 1u);
    EXPECT_EQ(m_dialogs.boxes[0], std::make_pair(LoadMessage(159), LoadMessage(158)));
    EXPECT_TRUE(m_frame->ApplyButton()->IsEnabled()) << "the user may try again once the product is closed";
    auto installed = testfiles::FileTreeContents(m_install);
    installed.erase("unins000.dat");
    EXPECT_TRUE(installed == testfiles::FileTreeContents(s_root / "100")) << "nothing changed";
    product.Signal(SIGTERM);
    EXPECT_EQ(product.Wait(), 0);
}

// Under a German locale the run's log, its package messages and the button that ends it are
// German, as the window's labels are.
TEST_F(WindowRunAcceptanceTest, ARunUnderAGermanLocaleLogsInGerman)
{
    const uint16_t previousLanguage = CatalogueLanguage();
    std::map<std::string, std::optional<std::string>> saved;
    for (const char *name : {"LC_ALL", "LC_MESSAGES", "LANG"})
    {
        const char *value = getenv(name);
        saved[name] = value != nullptr ? std::optional<std::string>(value) : std::nullopt;
        unsetenv(name);
    }
    setenv("LANG", "de_DE.UTF-8", 1);
    SetCatalogueLanguage(kLanguageNeutral);

    Press(ID_APPLY, m_frame->ApplyButton());
    ASSERT_TRUE(WaitFor([&] { return RunEnded(); }, std::chrono::seconds(60))) << PathToNative(Log());
    const std::wstring log = Log();
    const std::wstring german = LoadMessage(kIdPatchingCompleted);
    EXPECT_NE(log.find(FormatCatalogueText(kIdPatchingFromTo, L"100", L"101")), std::wstring::npos)
        << PathToNative(log);
    EXPECT_NE(log.find(german), std::wstring::npos) << PathToNative(log);
    EXPECT_EQ(m_frame->CancelButton()->GetLabel(), LoadMessage(kIdExit));
    SetCatalogueLanguage(kLanguageEnglish);
    EXPECT_NE(german, LoadMessage(kIdPatchingCompleted));
    EXPECT_EQ(log.find(LoadMessage(kIdPatchingCompleted)), std::wstring::npos) << PathToNative(log);

    for (const auto &[name, value] : saved)
    {
        if (value)
            setenv(name.c_str(), value->c_str(), 1);
        else
            unsetenv(name.c_str());
    }
    SetCatalogueLanguage(previousLanguage);
}
