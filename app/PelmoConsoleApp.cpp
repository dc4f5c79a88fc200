#include "app/PelmoConsoleApp.h"

#include <cstdio>

#include "app/ConsoleHost.h"
#include "kernel/CrashHandler.h"
#include "kernel/ProgramVersion.h"
#include "kernel/Terminal.h"
#include "kernel/TextConvert.h"
#include "kernel/ZelkSystemLog.h"
#include "run/InstallDiscovery.h"
#include "run/MessageCatalogue.h"
#include "run/MessageIds.h"
#include "run/PatchRun.h"

namespace ZelkPatch
{
PelmoConsoleApp::PelmoConsoleApp() = default;

PelmoConsoleApp::~PelmoConsoleApp() = default;

bool PelmoConsoleApp::Initialize(int &argc, wxChar **argv)
{
    // Standard output holds the run's messages alone, for whoever reads or parses them.
    ZelkSendSystemLogToStandardError();
    return wxAppConsole::Initialize(argc, argv);
}

void PelmoConsoleApp::CleanUp()
{
    // Runs after OnExit and after a false OnInit alike (the toolkit skips OnExit then).
    m_start.StopServices();
    wxAppConsole::CleanUp();
}

bool PelmoConsoleApp::EndEarly(int exitStatus)
{
    m_endedEarly = true;
    m_exitStatus = exitStatus;
    return true;
}

bool PelmoConsoleApp::OnInit()
{
    if (!m_start.StartServices())
        return false;
    // Set before anything can print, so that messages and boxes reach the terminal.
    m_console = std::make_unique<ConsoleHost>(stdout, stderr, StandardOutputIsTerminal(), StandardErrorIsTerminal());
    InstallInterruptHandlers();

    // A mistyped command line is reported by the exit status.
    if (!m_start.ReadCommandLine(argc, argv))
        return EndEarly(kExitNoRun);
    if (PrintAnswerOnly())
        return EndEarly(kExitCompleted);
    m_start.SettleInstallPath();
    if (const std::optional<int> status = m_start.CheckRights())
        return EndEarly(*status);

    PatchSettings &settings = m_start.Settings();
    const bool upToDate =
        CheckStandalonePayload(RunningExecutableForDiscovery(), false, m_start.Payload(), settings, *m_console)
            .upToDate;
    ZelkCrashTestPoint("main");
    // Nobody presses "Apply Update": a ready standalone run starts as well.
    if (!settings.DownloadMode() && !settings.RepairMode() && !settings.CheckOnly() && !settings.LocalMode())
    {
        // An installation at the payload's target is where the user wants it: its message was the
        // whole answer.
        if (upToDate)
            return EndEarly(kExitCompleted);
        m_console->Message(MessageError, LoadMessage(kIdNoValidOperation));
        return EndEarly(kExitNoRun);
    }
    ConsoleHost &console = *m_console;
    const bool started = console.StartRun([this, &console] {
        PatchRun run(m_start.Settings(), m_start.Payload(), console, console.CancelFlag());
        return run.Run();
    });
    return started ? true : EndEarly(kExitNoRun);
}

bool PelmoConsoleApp::PrintAnswerOnly()
{
    PatcherCommandLine &commandLine = m_start.CommandLine();
    if (commandLine.HelpRequested())
        std::fputs(PathToNative(commandLine.UsageText()).c_str(), stdout);
    else if (commandLine.VersionRequested())
        std::printf("%s %s\n", kPatcherProgramName, ZelkProgramVersion());
    else
        return false;
    std::fflush(stdout);
    return true;
}

int PelmoConsoleApp::OnRun()
{
    if (!m_endedEarly)
        m_exitStatus = m_console->WaitForRun();
    return m_exitStatus;
}

int PelmoConsoleApp::OnExit()
{
    if (!m_endedEarly)
        m_start.CommandLine().LaunchOnExitProgram();
    m_start.StopServices();
    m_console.reset();
    return m_exitStatus;
}

void PelmoConsoleApp::OnFatalException()
{
    ZelkPrintCrashReportPath(ZelkWriteFatalDump());
    ZelkEndProcessAfterFatalError();
}

void PelmoConsoleApp::OnUnhandledException()
{
    ZelkNoteCurrentException();
    OnFatalException();
}
} // namespace ZelkPatch
