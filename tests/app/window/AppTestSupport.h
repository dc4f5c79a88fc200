// What the window, discovery and console tests share: event pumping, dialogs answered by the
// test, a registry file of the test's own, a display that records, and a worker the test holds.
#pragma once

#include <atomic>
#include <csignal>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <wx/app.h>
#include <wx/button.h>
#include <wx/textctrl.h>
#include <wx/utils.h>

#include "TestFiles.h"
#include "TestRegistry.h"
#include "TestServers.h"
#include "app/window/PatchMainFrame.h"
#include "app/PatchThread.h"
#include "app/UserDialogs.h"

namespace AppTest
{
// Handles every queued event and call.
inline void PumpEvents()
{
    for (int round = 0; round < 3; ++round)
    {
        wxTheApp->ProcessPendingEvents();
        wxYield();
    }
}

// Pumps events until the condition holds; false after the time limit.
inline bool WaitFor(const std::function<bool()> &condition, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition())
    {
        if (std::chrono::steady_clock::now() > end)
            return false;
        PumpEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Presses a button of the window as the user does and lets the window answer.
inline void Press(int id, wxButton *button)
{
    wxCommandEvent click(wxEVT_BUTTON, id);
    button->GetEventHandler()->ProcessEvent(click);
    PumpEvents();
}

// The window's log as it reads now.
inline std::wstring LogText(const ZelkPatch::MainFrame &frame)
{
    return frame.LogPane()->GetValue().ToStdWstring();
}

// The run the window started has ended and its worker with it; Cancel (or Exit) answers again.
inline bool RunEnded(const ZelkPatch::MainFrame &frame)
{
    return !frame.IsRunning() && (frame.Worker() == nullptr || !frame.Worker()->IsRunning()) &&
           frame.CancelButton()->IsEnabled();
}

using testfiles::ReadFile;
using testfiles::TempDirectory;
using testfiles::WriteFile;

using testfiles::ScopedRegistry;

// Message boxes answered from a list (then No), file picks from a list (then cancel).
class ScriptedDialogs : public ZelkPatch::UserDialogs
{
public:
    ScriptedDialogs() { ZelkPatch::SetUserDialogs(this); }
    ~ScriptedDialogs() override { ZelkPatch::SetUserDialogs(nullptr); }

    ZelkPatch::MessageBoxAnswer ShowMessageBox(wxWindow *, const std::wstring &text, const std::wstring &caption,
                                               ZelkPatch::MessageBoxStyle style) override
    {
        boxes.push_back({caption, text});
        if (style == ZelkPatch::MessageBoxStyle::Ok)
            return ZelkPatch::MessageBoxAnswer::Ok;
        if (answers.empty())
            return ZelkPatch::MessageBoxAnswer::No;
        const ZelkPatch::MessageBoxAnswer answer = answers.front();
        answers.pop_front();
        return answer;
    }

    bool ChooseExistingFile(wxWindow *, const std::wstring &title, const std::wstring &wildcard,
                            std::wstring &path) override
    {
        fileDialogs.push_back({title, wildcard});
        if (picks.empty())
            return false;
        path = picks.front();
        picks.pop_front();
        return true;
    }

    std::deque<ZelkPatch::MessageBoxAnswer> answers;
    std::deque<std::wstring> picks;
    // caption and text of every box shown
    std::vector<std::pair<std::wstring, std::wstring>> boxes;
    // title and filter of every file dialog shown
    std::vector<std::pair<std::wstring, std::wstring>> fileDialogs;
};

// A worker that runs until the test releases it, then ends as a cancelled or completed run.
class HeldWorker : public ZelkPatch::APThread
{
public:
    HeldWorker(ZelkPatch::MainFrame &frame, std::function<void()> finished)
        : APThread(std::move(finished)), m_frame(frame)
    {
    }
    void Release() { m_released.store(true); }
    bool SawCancel() const { return m_sawCancel.load(); }

protected:
    ExitCode Entry() override
    {
        while (!m_released.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        m_sawCancel.store(m_frame.IsCancelling());
        m_frame.PostFrameMessage(MessageNormal, m_sawCancel.load() ? L"Patching aborted." : L"Patching completed.");
        return APThread::Entry();
    }

private:
    ZelkPatch::MainFrame &m_frame;
    std::atomic<bool> m_released{false};
    std::atomic<bool> m_sawCancel{false};
};

// What the application holds for a window: the settings and the payload reader. A base of the
// frames the tests make, so that both are there before the frame is built.
struct WindowState
{
    // The mode that decides the window's labels when it is built.
    explicit WindowState(bool repairMode = false) { settings.SetRepairMode(repairMode); }
    ZelkPatch::PatchSettings settings;
    PatchPayload payload;
};

// The window as the application makes it, with settings and payload of its own.
class TestFrame : private WindowState, public ZelkPatch::PatchMainFrame
{
public:
    explicit TestFrame(bool repairMode = false)
        : WindowState(repairMode), PatchMainFrame(nullptr, WindowState::settings, WindowState::payload)
    {
    }
    ZelkPatch::PatchSettings &Settings() { return WindowState::settings; }
};

// The window with a worker the test holds in place of a patch run.
class HeldRunFrame : public TestFrame
{
public:
    explicit HeldRunFrame(bool repairMode = false) : TestFrame(repairMode) {}
    HeldWorker *heldWorker = nullptr;

protected:
    std::unique_ptr<ZelkPatch::APThread> MakeWorker() override
    {
        auto worker = std::make_unique<HeldWorker>(*this, [this] { RunFinished(); });
        heldWorker = worker.get();
        return worker;
    }
};

// A web server on a free loopback port that serves the maker's page.
class PageServer
{
public:
    explicit PageServer(const std::string &root)
    {
        AppTest::WriteFile(root + "/patcher/patcher.html",
                           "<html><body style='margin:0;background:#1d4f7a;color:white;font-family:sans-serif'>"
                           "<h3 style='margin:8px'>Korvil 1.2 is here</h3>"
                           "<p style='margin:8px'>New terrain and faster loading.</p></body></html>");
        if (m_server.Start("http_server.py", {"--root", root}))
            m_port = std::to_string(m_server.Port());
    }
    const std::string &Port() const { return m_port; }

private:
    testservers::TestServer m_server;
    std::string m_port;
};

} // namespace AppTest
