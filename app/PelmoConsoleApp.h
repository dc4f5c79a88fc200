// The patcher without a window ("-u", and the usage and the version): start-up as the window's,
// then one run of the engine presented by the console, and the run's exit status. It uses the toolkit's base library only, so
// that such a run loads nothing of the toolkit's graphics and runs without a display.
#pragma once

#include <memory>

#include <wx/app.h>

#include "app/PatcherStart.h"

namespace ZelkPatch
{
class ConsoleHost;

class PelmoConsoleApp : public wxAppConsole
{
public:
    PelmoConsoleApp();
    ~PelmoConsoleApp() override;

    bool Initialize(int &argc, wxChar **argv) override;
    void CleanUp() override;
    bool OnInit() override;
    int OnRun() override;
    int OnExit() override;
    // The fatal path, run by the crash handler on the faulting thread: the crash report, its path
    // on standard error, and the end with exit status 255.
    void OnFatalException() override;
    // An exception that nothing caught ends the process the same way.
    void OnUnhandledException() override;

private:
    // Ends start-up early with the exit status (OnExit's tasks are skipped).
    bool EndEarly(int exitStatus);
    // Prints the usage or the version when the command line asks for one: then it is the whole
    // answer, and true.
    bool PrintAnswerOnly();

    PatcherStart m_start;
    std::unique_ptr<ConsoleHost> m_console;
    bool m_endedEarly = false;
    int m_exitStatus = 0;
};
} // namespace ZelkPatch
