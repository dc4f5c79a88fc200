// The patcher with a window: start-up decides everything about a run before the window is shown
// (command line, installation, rights, mode), then the window presents the run.
#pragma once

#include <string>

#include <wx/app.h>

#include "app/PatcherStart.h"

namespace ZelkPatch
{
class PatchMainFrame;

class PelmoPatcherApp : public wxApp
{
public:
    // unavailableReason receives why no window can be shown when the toolkit cannot start (no
    // display can be opened); the application is gone by then.
    explicit PelmoPatcherApp(std::string &unavailableReason);
    ~PelmoPatcherApp() override;

    // Starts the toolkit. Without a display it says nothing itself and gives false, with the
    // reason set.
    bool Initialize(int &argc, wxChar **argv) override;
    void CleanUp() override;

    bool OnInit() override;
    int OnExit() override;
    // The fatal path, run by the crash handler on the faulting thread: the crash report, the
    // "Unhandled Exception" box shown by a fresh process (without a display, the report's path on
    // standard error instead), and the end with exit status 255.
    void OnFatalException() override;
    // An exception that nothing caught ends the process the same way.
    void OnUnhandledException() override;

    PatchMainFrame *Frame() const { return m_frame; }
    PatchSettings &Settings() { return m_start.Settings(); }

private:
    // In the process started to show a crashed patcher's box: the box, with the report's path.
    void ShowFatalErrorBox();

    std::string &m_unavailableReason;
    PatcherStart m_start;
    // Set when this process only shows the box of a crashed patcher, with the report's path
    // (empty when no report could be written).
    bool m_showingFatalError = false;
    std::wstring m_crashReportToShow;
    PatchMainFrame *m_frame = nullptr;
};
} // namespace ZelkPatch
