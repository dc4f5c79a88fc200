// The application: start-up decides everything about a run before a window is shown (command line,
// installation, rights, mode), then either the window or, in unattended mode, the console presents
// the run.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <wx/app.h>
#include <wx/cmdline.h>

#include "patch/PatchPayload.h"
#include "run/PatchSettings.h"

namespace ZelkPatch
{
class ConsoleHost;
class PatchMainFrame;

// The command line of the patcher and what follows from it: the settings, the elevated relaunch
// and the program started on exit.
class PatcherCommandLine
{
public:
    // What the command line says goes into settings.
    explicit PatcherCommandLine(PatchSettings &settings);

    // A quoted directory that ends in a backslash arrives with a stray double quote after the
    // backslash; the quote goes, the backslash stays.
    static void DropStrayQuotes(std::vector<std::wstring> &arguments);

    // Parses the arguments (program first) into the settings. False on a syntax error (nothing is
    // taken) and when fewer than two positional parameters were given.
    bool ParseCommandLine(const std::vector<std::wstring> &arguments);

    // The command line of the elevated copy, as written to the log.
    std::string BuildRelaunchLine() const;
    // The same line as separate arguments. Empty versions stay empty arguments and every server
    // is its own "--server=" argument, so the copy sees what this process saw.
    std::vector<std::string> BuildRelaunchArguments() const;
    // Runs an elevated copy when this process may not change the installation. True when this
    // process must end: the copy ran (ElevatedExitStatus tells how it ended) or was refused.
    bool RelaunchElevated(const std::wstring &executable);
    // The exit status of the elevated copy; -1 when it did not run.
    int ElevatedExitStatus() const { return m_elevatedExitStatus; }
    // Starts the --onexit program and waits for it at most a second.
    void LaunchOnExitProgram();

    std::wstring UsageText();
    bool Admin() const { return m_admin; }
    bool Unattended() const { return m_unattended; }
    bool HelpRequested() const { return m_help; }
    bool SyntaxError() const { return m_syntaxError; }
    bool LaunchOnExit() const { return m_launchOnExit; }
    const std::wstring &OnExitCommand() const { return m_onExitCommand; }

private:
    // One entry of the option table; the description in the catalogue's language.
    struct OptionEntry
    {
        wxCmdLineEntryType kind;
        const char *shortName;
        const char *longName;
        std::wstring description;
        int flags;
    };

    void BuildOptionTable();
    void DescribeOptions(wxCmdLineParser &parser);
    void ReadServerList(const std::wstring &fileName);

    PatchSettings &m_settings;
    std::wstring m_onExitCommand;
    bool m_launchOnExit = false;
    std::vector<OptionEntry> m_optionTable;
    bool m_admin = false;
    bool m_unattended = false;
    bool m_help = false;
    bool m_syntaxError = false;
    int m_elevatedExitStatus = -1;
};

class PelmoPatcherApp : public wxApp
{
public:
    PelmoPatcherApp();
    ~PelmoPatcherApp() override;

    // A run without a window never starts GTK, so it also runs without a display.
    bool Initialize(int &argc, wxChar **argv) override;
    void CleanUp() override;
    wxAppTraits *CreateTraits() override;

    bool OnInit() override;
    int OnRun() override;
    int OnExit() override;
    // The fatal path, run by the crash handler on the faulting thread: the crash report, the
    // "Unhandled Exception" box shown by a fresh process (without a window, the report's path on
    // standard error instead), and the end with exit status 255.
    void OnFatalException() override;
    // An exception that nothing caught ends the process the same way.
    void OnUnhandledException() override;

    bool ParseCommandLine();
    bool RelaunchElevated();
    void LaunchOnExitProgram();

    PatchMainFrame *Frame() const { return m_frame; }
    PatchSettings &Settings() { return m_settings; }

    // True when the arguments ask for a run without a window ("-u" or "--unattended").
    static bool WantsUnattended(int argc, wxChar **argv);

private:
    // Ends an unattended start-up early with the exit status (OnExit's tasks are skipped, as
    // after a false OnInit).
    bool EndUnattended(int exitStatus);
    void ReportNoMode();
    // In the process started to show a crashed patcher's box: the box, with the report's path.
    void ShowFatalErrorBox();
    // Gives up the reference start-up took on the socket manager, once.
    void ReleaseOwnSocketManager();

    // The settings of the next run, and the reader of the executable's own payload.
    PatchSettings m_settings;
    PatchPayload m_payload;
    PatcherCommandLine m_commandLine{m_settings};
    std::vector<std::wstring> m_arguments;
    // Set when this process only shows the box of a crashed patcher, with the report's path
    // (empty when no report could be written).
    bool m_showingFatalError = false;
    std::wstring m_crashReportToShow;
    bool m_unattended = false;
    bool m_endedEarly = false;
    bool m_holdsSocketManager = false;
    int m_exitStatus = 0;
    std::unique_ptr<ConsoleHost> m_console;
    PatchMainFrame *m_frame = nullptr;
};
} // namespace ZelkPatch

