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
#include <wx/utils.h>

#include "app/FrameHooks.h"
#include "app/PatchMainFrame.h"
#include "app/PatchSettings.h"
#include "app/PatchThread.h"
#include "app/UserDialogs.h"
#include "TestFiles.h"
#include "TestServers.h"

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

using testfiles::ReadFile;
using testfiles::TempDirectory;
using testfiles::WriteFile;

// PELMO_REGISTRY points at a file of the test for the fixture's lifetime.
class ScopedRegistry
{
public:
    explicit ScopedRegistry(const std::string &path, const std::string &content = std::string()) : m_path(path)
    {
        if (!content.empty())
            WriteFile(path, "Windows Registry Editor Version 5.00\n\n" + content);
        const char *old = getenv("PELMO_REGISTRY");
        m_hadOld = old != nullptr;
        if (m_hadOld)
            m_old = old;
        setenv("PELMO_REGISTRY", path.c_str(), 1);
    }
    ~ScopedRegistry()
    {
        if (m_hadOld)
            setenv("PELMO_REGISTRY", m_old.c_str(), 1);
        else
            unsetenv("PELMO_REGISTRY");
    }

private:
    std::string m_path;
    std::string m_old;
    bool m_hadOld = false;
};

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

// A display that keeps every line and every change it is asked for.
class RecordingDisplay : public ZelkPatch::RunDisplay
{
public:
    RecordingDisplay() { ZelkPatch::SetRunDisplay(this); }
    ~RecordingDisplay() override { ZelkPatch::SetRunDisplay(nullptr); }

    bool IsCancelling() const override { return cancelling; }
    void EnableApply() override { applyEnabled = true; }
    void ShowInstallPath() override {}
    ZelkPatch::MessageBoxAnswer ShowMessageBox(const std::wstring &, const std::wstring &,
                                               ZelkPatch::MessageBoxStyle) override
    {
        return ZelkPatch::MessageBoxAnswer::Ok;
    }
    void SetGaugeRange(int) override {}
    void SetGaugeValue(int) override {}
    void AdvanceGauge() override {}
    void RunFinished() override { finished = true; }
    void AppendMessage(MessageLevel level, const std::wstring &text) override { lines.push_back({level, text}); }
    void ClearMessages() override { lines.clear(); }
    void EnableBrowse() override { browseEnabled = true; }
    wxWindow *DialogParent() override { return nullptr; }

    std::vector<std::pair<int, std::wstring>> lines;
    bool applyEnabled = false;
    bool browseEnabled = false;
    std::atomic<bool> cancelling{false};
    std::atomic<bool> finished{false};
};

// A worker that runs until the test releases it, then ends as a cancelled or completed run.
class HeldWorker : public ZelkPatch::APThread
{
public:
    explicit HeldWorker(ZelkPatch::RunHost *host) : APThread(host) {}
    void Release() { m_released.store(true); }
    bool SawCancel() const { return m_sawCancel.load(); }

protected:
    ExitCode Entry() override
    {
        while (!m_released.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        m_sawCancel.store(Host() != nullptr && Host()->IsCancelling());
        ZelkPatch::PostFrameMessage(MessageNormal, m_sawCancel.load() ? L"Patching aborted." : L"Patching completed.");
        return APThread::Entry();
    }

private:
    std::atomic<bool> m_released{false};
    std::atomic<bool> m_sawCancel{false};
};

// The window with a worker the test holds in place of a patch run.
class HeldRunFrame : public ZelkPatch::PatchMainFrame
{
public:
    HeldRunFrame() : PatchMainFrame(nullptr) {}
    HeldWorker *heldWorker = nullptr;

protected:
    std::unique_ptr<ZelkPatch::APThread> MakeWorker() override
    {
        auto worker = std::make_unique<HeldWorker>(this);
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
