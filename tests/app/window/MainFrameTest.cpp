// The real window under Xvfb: the log pane's lines and colours, the gauge hooks, and the cancel
// and close flow while a worker runs.
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <wx/button.h>
#include <wx/gauge.h>
#include <wx/textctrl.h>
#include <wx/weakref.h>
#include <wx/webview.h>

#include "AppTestSupport.h"
#include "app/window/PatchMainFrame.h"
#include "run/MessageCatalogue.h"
#include "run/MessageIds.h"

using namespace ZelkPatch;
using AppTest::HeldRunFrame;
using AppTest::PumpEvents;
using AppTest::WaitFor;

namespace
{
class MainFrameTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_frame = new HeldRunFrame;
        m_frameRef = m_frame;
        m_frame->Show();
        PumpEvents();
    }

    void TearDown() override
    {
        if (m_frameRef)
        {
            if (m_frame->heldWorker != nullptr)
                m_frame->heldWorker->Release();
            ASSERT_TRUE(WaitFor([&] { return !m_frame->IsRunning(); }));
            m_frameRef->Destroy();
        }
        PumpEvents();
    }

    void StartRun()
    {
        wxCommandEvent click(wxEVT_BUTTON, ID_APPLY);
        m_frame->ApplyButton()->GetEventHandler()->ProcessEvent(click);
        ASSERT_TRUE(m_frame->IsRunning());
    }

    void PressCancel()
    {
        wxCommandEvent click(wxEVT_BUTTON, ID_CANCEL);
        m_frame->CancelButton()->GetEventHandler()->ProcessEvent(click);
        PumpEvents();
    }

    wxColour ColourAt(long position)
    {
        wxTextAttr style;
        EXPECT_TRUE(m_frame->LogPane()->GetStyle(position, style));
        return style.GetTextColour();
    }

    AppTest::TempDirectory m_temp;
    AppTest::ScopedRegistry m_registry{m_temp / "registry.reg"};
    AppTest::ScriptedDialogs m_dialogs;
    HeldRunFrame *m_frame = nullptr;
    wxWeakRef<wxFrame> m_frameRef;
};

struct LevelCase
{
    int level;
    wxColour colour;
};
} // namespace

TEST_F(MainFrameTest, LinesAreSeparatedByLineFeedsAndColouredByLevel)
{
    // Level 7 is no level: its line keeps the colour of the line before.
    const std::vector<LevelCase> cases = {
        {MessageNormal, wxColour(0, 0, 0)},   {MessageMinor, wxColour(128, 128, 128)},
        {MessageNormal, wxColour(0, 0, 0)},   {MessageError, wxColour(255, 0, 0)},
        {7, wxColour(255, 0, 0)},             {MessageMinor, wxColour(128, 128, 128)},
    };
    std::wstring expected;
    std::vector<long> starts;
    for (size_t i = 0; i < cases.size(); ++i)
    {
        if (i > 0)
            expected += L"\n";
        starts.push_back(static_cast<long>(expected.size()));
        const std::wstring text = L"line " + std::to_wstring(i);
        expected += text;
        m_frame->PostFrameMessage(static_cast<MessageLevel>(cases[i].level), text);
    }
    PumpEvents();
    EXPECT_EQ(m_frame->LogPane()->GetValue().ToStdWstring(), expected);
    for (size_t i = 0; i < cases.size(); ++i)
    {
        SCOPED_TRACE("line " + std::to_string(i));
        EXPECT_EQ(ColourAt(starts[i] + 1), cases[i].colour);
    }

    // Clearing the pane keeps the rule: every later line starts with a line feed.
    m_frame->ClearLog();
    m_frame->PostFrameMessage(MessageNormal, L"after");
    PumpEvents();
    EXPECT_EQ(m_frame->LogPane()->GetValue().ToStdWstring(), L"\nafter");
}

// The run announces ten steps as a range of 20 (its own tests show that); the window's gauge takes
// the range from the worker's thread and moves one for each step.
TEST_F(MainFrameTest, GaugeTakesTheRangeFromTheWorkerAndEachStepMovesOne)
{
    std::thread worker([&] {
        m_frame->GaugeValue(5);
        m_frame->GaugeRange(20);
        for (int step = 0; step < 10; ++step)
            m_frame->GaugeStep();
    });
    worker.join();
    PumpEvents();
    EXPECT_EQ(m_frame->Gauge()->GetRange(), 20);
    EXPECT_EQ(m_frame->Gauge()->GetValue(), 10);
}

TEST_F(MainFrameTest, CancelAnsweredNoChangesNothing)
{
    StartRun();
    EXPECT_FALSE(m_frame->ApplyButton()->IsEnabled());
    m_dialogs.answers.push_back(MessageBoxAnswer::No);
    PressCancel();

    ASSERT_EQ(m_dialogs.boxes.size(), 1u);
    EXPECT_EQ(m_dialogs.boxes[0].second, LoadMessage(kIdReallyCancel));
    EXPECT_EQ(m_dialogs.boxes[0].first, L"Pelmo Patcher ");
    EXPECT_TRUE(m_frame->IsRunning());
    EXPECT_FALSE(m_frame->IsCancelling());
    EXPECT_TRUE(m_frame->CancelButton()->IsEnabled());
    EXPECT_TRUE(m_frame->LogPane()->GetValue().empty());
}

TEST_F(MainFrameTest, CancelAnsweredYesWaitsForTheWorkerThenOffersExit)
{
    StartRun();
    m_dialogs.answers.push_back(MessageBoxAnswer::Yes);
    PressCancel();

    EXPECT_TRUE(m_frame->IsCancelling());
    EXPECT_FALSE(m_frame->IsRunning());
    EXPECT_FALSE(m_frame->CancelButton()->IsEnabled());
    EXPECT_EQ(m_frame->LogPane()->GetValue().ToStdWstring(), LoadMessage(kIdCancelling));
    EXPECT_EQ(ColourAt(1), wxColour(255, 0, 0));
    EXPECT_TRUE(m_frameRef);
    EXPECT_FALSE(m_frame->IsBeingDeleted());

    // A second close request while the cancel is under way asks nothing and logs the line again.
    m_frame->Close(false);
    PumpEvents();
    EXPECT_EQ(m_dialogs.boxes.size(), 1u);
    EXPECT_EQ(m_frame->LogPane()->GetValue().ToStdWstring(), LoadMessage(kIdCancelling) + L"\n" + LoadMessage(kIdCancelling));
    EXPECT_TRUE(m_frameRef);

    // The worker sees the cancel, ends, and only then does "Cancel" become an enabled "Exit".
    PumpEvents();
    EXPECT_FALSE(m_frame->CancelButton()->IsEnabled());
    m_frame->heldWorker->Release();
    ASSERT_TRUE(WaitFor([&] { return m_frame->CancelButton()->IsEnabled(); }));
    EXPECT_TRUE(m_frame->heldWorker->SawCancel());
    EXPECT_EQ(m_frame->CancelButton()->GetLabel(), LoadMessage(kIdExit));
    EXPECT_FALSE(m_frame->ApplyButton()->IsEnabled());
    EXPECT_TRUE(m_frameRef);

    // "Exit" with no run under way closes the window.
    PressCancel();
    ASSERT_TRUE(WaitFor([&] { return !m_frameRef; }));
}

TEST_F(MainFrameTest, FinishedRunOffersExitAndLeavesApplyAlone)
{
    StartRun();
    m_frame->heldWorker->Release();
    ASSERT_TRUE(WaitFor([&] { return !m_frame->IsRunning() && m_frame->CancelButton()->IsEnabled() &&
                                     m_frame->CancelButton()->GetLabel() == LoadMessage(kIdExit); }));
    EXPECT_FALSE(m_frame->ApplyButton()->IsEnabled());
    EXPECT_FALSE(m_frame->IsCancelling());
    EXPECT_TRUE(m_dialogs.boxes.empty());
}

TEST(DownloadProgressTextTest, RemainingTimeInMinutesOrHours)
{
    struct Case
    {
        uint64_t done;
        uint64_t total;
        double seconds;
        std::wstring expected;
    };
    const uint64_t kb = 1024;
    const std::vector<Case> cases = {
        // 5,120 kB left at 102.4 kB/s: under a minute still reads as one.
        {3072 * kb, 8192 * kb, 30.0, L"Download Progress 3072 kB of 8192 kB, 1 min remaining"},
        // 1,000 kB/s with 600,000 kB left: ten minutes.
        {60000 * kb, 660000 * kb, 60.0, L"Download Progress 60000 kB of 660000 kB, 10 min remaining"},
        // 1,047,552 kB left at 1024/60 kB/s: 1,023 minutes.
        {1024 * kb, 1048576 * kb, 60.0, L"Download Progress 1024 kB of 1048576 kB, 17 hr 3 min remaining"},
        // No time has passed, or nothing has arrived yet.
        {1024 * kb, 8192 * kb, 0.0, L"Download Progress 1024 kB of 8192 kB, 1 min remaining"},
        {0, 8192 * kb, 5.0, L"Download Progress 0 kB of 8192 kB, 1 min remaining"},
    };
    SetCatalogueLanguage(kLanguageEnglish);
    for (const Case &c : cases)
        EXPECT_EQ(FormatDownloadProgress(c.done, c.total, c.seconds), c.expected);
}

// The maker's page is shown only when the registry names its host and the page has loaded.
TEST(PageViewTest, ShownOnceTheConfiguredPageHasLoaded)
{
    AppTest::TempDirectory temp;
    AppTest::PageServer server(temp / "www");
    ASSERT_FALSE(server.Port().empty());
    AppTest::ScopedRegistry registry(temp / "host.reg", "[HKEY_LOCAL_MACHINE\\Software\\Pelmo]\n\"PatcherPageHost\"=\"127.0.0.1:" +
                                                            server.Port() + "\"\n");
    auto *frame = new AppTest::TestFrame;
    frame->Show();
    ASSERT_NE(frame->PageView(), nullptr);
    const int heightWithoutPage = frame->GetSize().GetHeight();
    EXPECT_TRUE(WaitFor([&] { return frame->PageView()->IsShown(); }, std::chrono::seconds(20)));
    // The window grows with the page, so the buttons stay in view.
    EXPECT_GT(frame->GetSize().GetHeight(), heightWithoutPage);
    frame->Destroy();
    PumpEvents();
}

TEST(PageViewTest, HiddenWithoutHostAndAfterAFailedLoad)
{
    AppTest::TempDirectory temp;
    {
        AppTest::ScopedRegistry registry(temp / "none.reg");
        EXPECT_EQ(PatcherPageAddress(), L"");
        auto *frame = new AppTest::TestFrame;
        EXPECT_EQ(frame->PageView(), nullptr);
        frame->Destroy();
    }
    // Nothing listens on port 1 of the loopback address.
    AppTest::ScopedRegistry registry(temp / "host.reg",
                                     "[HKEY_LOCAL_MACHINE\\Software\\Pelmo]\n\"PatcherPageHost\"=\"127.0.0.1:1\"\n");
    EXPECT_EQ(PatcherPageAddress(), L"http://127.0.0.1:1/patcher/patcher.html");
    auto *frame = new AppTest::TestFrame;
    frame->Show();
    ASSERT_NE(frame->PageView(), nullptr);
    EXPECT_FALSE(WaitFor([&] { return frame->PageView()->IsShown(); }, std::chrono::seconds(3)));
    frame->Destroy();
    PumpEvents();
}
