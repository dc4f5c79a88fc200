#include "app/PelmoPatcherApp.h"

#include <cerrno>
#include <cstdio>
#include <fstream>

#include <wx/apptrait.h>
#include <wx/button.h>
#include <wx/filename.h>

#include "app/ConsoleHost.h"
#include "app/PatchMainFrame.h"
#include "app/UserDialogs.h"
#include "kernel/CrashHandler.h"
#include "kernel/Elevation.h"
#include "kernel/FileUtil.h"
#include "kernel/ProcessUtil.h"
#include "kernel/Registry.h"
#include "kernel/RunningExecutable.h"
#include "kernel/Terminal.h"
#include "kernel/TextConvert.h"
#include "kernel/ZelkSystemLog.h"
#include "net/CPSocketManager.h"
#include "net/SocketLibrary.h"
#include "run/InstallDiscovery.h"
#include "run/MessageCatalogue.h"
#include "run/MessageIds.h"
#include "run/PatchRun.h"
#include "run/PrePostPatchTasks.h"

namespace ZelkPatch
{
namespace
{
const wchar_t *const kNoValidOperation = L"No valid patch operation was specified. Patching aborted.";
const char *const kDumpName = "patcher";
// The box of a crashed patcher, shown by a fresh process of it.
const wchar_t *const kFatalErrorText = L"Unhandled Exception";
const wchar_t *const kFatalErrorCaption = L"Fatal Error";
const wchar_t *const kUnattendedShort = L"-u";
const wchar_t *const kUnattendedLong = L"--unattended";

constexpr uint32_t kOnExitWaitMilliseconds = 1000;

// The option table: kind, short and long name, description id, flags.
struct OptionDefinition
{
    wxCmdLineEntryType kind;
    const char *shortName;
    const char *longName;
    unsigned descriptionId;
    int flags;
};

const OptionDefinition kOptions[] = {
    {wxCMD_LINE_SWITCH, "h", "help", kIdOptionHelp, 0},
    {wxCMD_LINE_SWITCH, "a", "admin", kIdOptionAdmin, 0},
    {wxCMD_LINE_PARAM, "c", "current", kIdOptionCurrent, wxCMD_LINE_PARAM_OPTIONAL},
    {wxCMD_LINE_OPTION, "l", "list", kIdOptionList, 0},
    {wxCMD_LINE_OPTION, "s", "server", kIdOptionServer, 0},
    {wxCMD_LINE_OPTION, "f", "final", kIdOptionFinal, 0},
    {wxCMD_LINE_PARAM, "t", "target", kIdOptionTarget, wxCMD_LINE_PARAM_OPTIONAL},
    {wxCMD_LINE_SWITCH, "r", "repair", kIdOptionRepair, 0},
    {wxCMD_LINE_OPTION, "o", "onexit", kIdOptionOnExit, 0},
    {wxCMD_LINE_SWITCH, "u", "unattended", kIdOptionUnattended, 0},
    {wxCMD_LINE_SWITCH, "", "check", kIdOptionCheck, 0},
};

// The socket library stays started for the whole life of the application: the repair run's name
// lookup and connections need it long after start-up.
SocketLibrary &Sockets()
{
    static SocketLibrary library;
    return library;
}

bool StartSocketLibrary()
{
    return Sockets().Startup(2, 2);
}

void CleanupSocketLibrary()
{
    Sockets().Cleanup();
}

// Relative paths from the command line are meant from where the user started the program, which
// start-up leaves for the program's own directory.
std::wstring AbsoluteInstallPath(const std::wstring &path)
{
    if (path.empty() || path[0] == L'/')
        return path;
    wxFileName name(path);
    name.MakeAbsolute();
    std::wstring absolute = name.GetFullPath().ToStdWstring();
    if ((path.back() == L'/' || path.back() == L'\\') && !absolute.empty() && absolute.back() != L'/')
        absolute += L'/';
    return absolute;
}

std::wstring DirectoryOf(const std::wstring &path)
{
    const size_t slash = path.find_last_of(L'/');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}
} // namespace

// PatcherCommandLine ---------------------------------------------------------------------------

PatcherCommandLine::PatcherCommandLine(PatchSettings &settings) : m_settings(settings)
{
}

void PatcherCommandLine::DropStrayQuotes(std::vector<std::wstring> &arguments)
{
    for (std::wstring &argument : arguments)
    {
        const size_t length = argument.size();
        if (length >= 2 && argument[length - 2] == L'\\' && argument[length - 1] == L'"')
            argument.pop_back();
    }
}

void PatcherCommandLine::BuildOptionTable()
{
    m_optionTable.clear();
    for (const OptionDefinition &option : kOptions)
        m_optionTable.push_back({option.kind, option.shortName, option.longName, LoadMessage(option.descriptionId),
                                 option.flags});
}

void PatcherCommandLine::DescribeOptions(wxCmdLineParser &parser)
{
    BuildOptionTable();
    // The descriptions go in as wide text: the toolkit reads the narrow descriptions of an entry
    // table in the C library's locale, which loses every letter outside ASCII when the user's
    // locale is not installed.
    for (const OptionEntry &option : m_optionTable)
    {
        switch (option.kind)
        {
        case wxCMD_LINE_SWITCH:
            parser.AddSwitch(option.shortName, option.longName, option.description, option.flags);
            break;
        case wxCMD_LINE_OPTION:
            parser.AddOption(option.shortName, option.longName, option.description, wxCMD_LINE_VAL_STRING,
                             option.flags);
            break;
        case wxCMD_LINE_PARAM:
            parser.AddParam(option.description, wxCMD_LINE_VAL_STRING, option.flags);
            break;
        default:
            break;
        }
    }
}

std::wstring PatcherCommandLine::UsageText()
{
    wxCmdLineParser parser;
    DescribeOptions(parser);
    return parser.GetUsageString().ToStdWstring();
}

bool PatcherCommandLine::ParseCommandLine(const std::vector<std::wstring> &arguments)
{
    wxCmdLineParser parser;
    DescribeOptions(parser);
    std::vector<wxChar *> argv;
    for (const std::wstring &argument : arguments)
        argv.push_back(const_cast<wxChar *>(argument.c_str()));
    argv.push_back(nullptr);
    parser.SetCmdLine(static_cast<int>(arguments.size()), argv.data());
    m_syntaxError = parser.Parse(true) != 0;
    if (m_syntaxError)
        return false;

    PatchSettings &settings = m_settings;
    m_help = parser.Found("h");
    if (m_help)
        parser.Usage();
    m_unattended = parser.Found("u");
    settings.SetCheckOnly(parser.Found("check"));
    wxString value;
    if (parser.Found("o", &value))
    {
        m_onExitCommand = value.ToStdWstring();
        m_launchOnExit = true;
    }
    if (parser.Found("f", &value))
        settings.SetFinalVersion(WideToNarrow(value.ToStdWstring()));
    settings.SetRepairMode(parser.Found("r"));

    if (parser.GetParamCount() < 2)
        return false;
    settings.SetCurrentVersion(WideToNarrow(parser.GetParam(0).ToStdWstring()));
    settings.SetInstallPath(parser.GetParam(1).ToStdWstring());

    // Every "--server" given is an entry of its own, in the order given: the elevated copy
    // receives several servers that way.
    for (const wxCmdLineArg &argument : parser.GetArguments())
    {
        if (argument.GetKind() == wxCMD_LINE_OPTION && argument.GetShortName() == "s")
            settings.AddPatchServer(argument.GetStrVal().ToStdWstring());
    }
    if (parser.Found("l", &value))
        ReadServerList(value.ToStdWstring());
    if (!settings.PatchServers().empty())
        settings.SetDownloadMode(true);
    m_admin = parser.Found("a");
    return true;
}

void PatcherCommandLine::ReadServerList(const std::wstring &fileName)
{
    PatchSettings &settings = m_settings;
    std::ifstream file(PathToNative(fileName));
    size_t appended = 0;
    std::string line;
    while (file && std::getline(file, line))
    {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        // Blank lines (such as a final line end) name no server.
        if (line.empty())
            continue;
        settings.AddPatchServer(NarrowToWide(line));
        ++appended;
    }
    if (appended == 0)
    {
        ZelkSystemLogW(L"ParseCommandLine> no server list in %ls", fileName.c_str());
        ReportMessage(MessageError, LoadMessage(kIdServerListFailed) + fileName);
    }
}

std::string PatcherCommandLine::BuildRelaunchLine() const
{
    const PatchSettings &settings = m_settings;
    std::string line = "--admin ";
    if (m_unattended)
        line += "--unattended ";
    if (settings.RepairMode())
        line += "--repair ";
    for (const std::wstring &server : settings.PatchServers())
        line += "--server=\"" + WideToNarrow(server) + "\" ";
    line += "--final=" + settings.FinalVersion() + " ";
    line += settings.CurrentVersion() + " \"" + WideToNarrow(settings.InstallPath()) + "\"";
    return line;
}

std::vector<std::string> PatcherCommandLine::BuildRelaunchArguments() const
{
    const PatchSettings &settings = m_settings;
    std::vector<std::string> arguments{"--admin"};
    if (m_unattended)
        arguments.push_back("--unattended");
    if (settings.RepairMode())
        arguments.push_back("--repair");
    for (const std::wstring &server : settings.PatchServers())
        arguments.push_back("--server=" + PathToNative(server));
    arguments.push_back("--final=" + settings.FinalVersion());
    arguments.push_back(settings.CurrentVersion());
    arguments.push_back(PathToNative(settings.InstallPath()));
    return arguments;
}

bool PatcherCommandLine::RelaunchElevated(const std::wstring &executable)
{
    if (CheckInstallWritable(m_settings.InstallPath()))
        return false;
    // Root gains nothing from a relaunch; the run reports what it may not change.
    if (ProcessHasAdminRights() && !ElevationProgramReplaced())
        return false;
    ZelkSystemLog("parm: %s", BuildRelaunchLine().c_str());
    const int status = RunElevatedCopy(executable, BuildRelaunchArguments());
    if (status == kElevationRefused || status == kElevationUnavailable)
        Dialogs().ShowMessageBox(nullptr, LoadMessage(kIdAdminText), LoadMessage(kIdAdminCaption), MessageBoxStyle::Ok);
    else
        m_elevatedExitStatus = status;
    LaunchOnExitProgram();
    return true;
}

void PatcherCommandLine::LaunchOnExitProgram()
{
    if (!m_launchOnExit || m_onExitCommand.empty())
        return;
    std::unique_ptr<ZelkProcess> process = ZelkProcess::Start(PathToNative(m_onExitCommand));
    if (!process)
    {
        const int error = errno;
        printf("%s%d\n", PathToNative(LoadMessage(kIdProcessFailed)).c_str(), error);
        fflush(stdout);
        return;
    }
    process->Wait(kOnExitWaitMilliseconds);
}

// PelmoPatcherApp ------------------------------------------------------------------------------

PelmoPatcherApp::PelmoPatcherApp() = default;

PelmoPatcherApp::~PelmoPatcherApp() = default;

bool PelmoPatcherApp::WantsUnattended(int argc, wxChar **argv)
{
    for (int i = 1; i < argc; ++i)
    {
        const std::wstring argument = argv[i];
        if (argument == kUnattendedShort || argument == kUnattendedLong)
            return true;
    }
    return false;
}

bool PelmoPatcherApp::Initialize(int &argc, wxChar **argv)
{
    if (argc == 3 && wxString(argv[1]) == kZelkCrashReportSwitch)
    {
        m_showingFatalError = true;
        m_crashReportToShow = argv[2];
        if (wxApp::Initialize(argc, argv))
            return true;
        // No box without a display: the path still reaches the user.
        ZelkPrintCrashReportPath(PathToNative(m_crashReportToShow).c_str());
        return false;
    }
    m_unattended = WantsUnattended(argc, argv);
    if (m_unattended)
    {
        // Standard output holds the run's messages alone, for whoever reads or parses them.
        ZelkSendSystemLogToStandardError();
        return wxAppConsole::Initialize(argc, argv);
    }
    return wxApp::Initialize(argc, argv);
}

void PelmoPatcherApp::CleanUp()
{
    // Runs after OnExit and after a false OnInit alike (the toolkit skips OnExit then): the socket
    // manager's thread and the sockets end here when OnExit did not end them, and the end is an
    // orderly one, which the exit check must not take for a crash.
    ReleaseOwnSocketManager();
    ZelkDisarmExitDump();
    CleanupSocketLibrary();
    if (m_unattended)
        wxAppConsole::CleanUp();
    else
        wxApp::CleanUp();
}

wxAppTraits *PelmoPatcherApp::CreateTraits()
{
    // Without a window, usage texts and toolkit messages go to the terminal.
    if (m_unattended)
        return new wxConsoleAppTraits;
    return wxApp::CreateTraits();
}

void PelmoPatcherApp::ReleaseOwnSocketManager()
{
    if (!m_holdsSocketManager)
        return;
    m_holdsSocketManager = false;
    ReleaseSocketManager();
}

bool PelmoPatcherApp::EndUnattended(int exitStatus)
{
    m_endedEarly = true;
    m_exitStatus = exitStatus;
    return true;
}

void PelmoPatcherApp::ReportNoMode()
{
    if (m_frame != nullptr)
        m_frame->PostFrameMessage(MessageError, kNoValidOperation);
    else if (m_console)
        m_console->Message(MessageError, kNoValidOperation);
}

bool PelmoPatcherApp::ParseCommandLine()
{
    return m_commandLine.ParseCommandLine(m_arguments);
}

bool PelmoPatcherApp::RelaunchElevated()
{
    return m_commandLine.RelaunchElevated(RunningExecutablePath());
}

void PelmoPatcherApp::LaunchOnExitProgram()
{
    m_commandLine.LaunchOnExitProgram();
}

bool PelmoPatcherApp::OnInit()
{
    if (m_showingFatalError)
    {
        ShowFatalErrorBox();
        return false;
    }
    if (!StartSocketLibrary())
        return false;
    ZelkInstallCrashHandlers();
    AcquireSocketManager(1);
    m_holdsSocketManager = true;
    ZelkSetFatalDumpName(kDumpName, [] { wxTheApp->OnFatalException(); });
    if (m_unattended)
    {
        // Set before anything can print, so that messages and boxes reach the terminal.
        m_console = std::make_unique<ConsoleHost>(stdout, stderr, StandardOutputIsTerminal(),
                                                  StandardErrorIsTerminal());
        InstallInterruptHandlers();
    }

    m_arguments.clear();
    for (int i = 0; i < argc; ++i)
        m_arguments.push_back(argv[i].ToStdWstring());
    PatcherCommandLine::DropStrayQuotes(m_arguments);
    ParseCommandLine();
    // Without a window a mistyped command line is reported by the exit status; the window goes on
    // with what the registry says.
    if (m_unattended && m_commandLine.SyntaxError())
        return EndUnattended(kExitNoRun);

    PatchSettings &settings = m_settings;
    settings.SetInstallPath(AbsoluteInstallPath(settings.InstallPath()));
    if (settings.InstallPath().empty())
        settings.SetInstallPath(FindKorvilInstallPath());
    SetCurrentDirectoryTo(DirectoryOf(RunningExecutablePath()));

    // The check asks its questions as the user who runs it: whether a run would need elevation is
    // one of them.
    if (!settings.CheckOnly() && m_commandLine.Admin())
    {
        if (!CheckInstallWritable(settings.InstallPath()))
        {
            Dialogs().ShowMessageBox(nullptr, LoadMessage(kIdAdminText), LoadMessage(kIdAdminCaption),
                                     MessageBoxStyle::Ok);
            return m_unattended ? EndUnattended(kExitNoRun) : false;
        }
    }
    else if (!settings.CheckOnly() && RelaunchElevated())
    {
        if (!m_unattended)
            return false;
        const int status = m_commandLine.ElevatedExitStatus();
        return EndUnattended(status < 0 ? kExitNoRun : status);
    }

    bool upToDate = false;
    if (!m_unattended)
    {
        m_frame = new PatchMainFrame(this, m_settings, m_payload);
        m_frame->Show();
        SetTopWindow(m_frame);
        m_frame->CheckStandalonePayload(RunningExecutableForDiscovery(), false);
        m_frame->UpdateInstallField();
        m_frame->StopRefreshTimer();
    }
    else
    {
        upToDate = CheckStandalonePayload(RunningExecutableForDiscovery(), false, m_payload, m_settings, *m_console)
                       .upToDate;
    }

    ZelkCrashTestPoint("main");
    const bool runNow = settings.DownloadMode() || settings.RepairMode() || settings.CheckOnly();
    if (m_unattended)
    {
        // Without a window nobody presses "Apply Update": a ready standalone run starts as well.
        if (!runNow && !settings.LocalMode())
        {
            // An installation at the payload's target is where the user wants it: its message
            // was the whole answer.
            if (upToDate)
                return EndUnattended(kExitCompleted);
            ReportNoMode();
            return EndUnattended(kExitNoRun);
        }
        ConsoleHost &console = *m_console;
        const bool started = console.StartRun([this, &console] {
            PatchRun run(m_settings, m_payload, console, console.CancelFlag());
            return run.Run();
        });
        if (!started)
            return EndUnattended(kExitNoRun);
        return true;
    }
    if (runNow)
    {
        wxCommandEvent start(wxEVT_BUTTON, ID_APPLY);
        m_frame->OnStart(start);
    }
    else if (!settings.LocalMode())
    {
        m_frame->ApplyButton()->Disable();
        ReportNoMode();
    }
    return true;
}

int PelmoPatcherApp::OnRun()
{
    if (!m_unattended)
        return wxApp::OnRun();
    if (!m_endedEarly)
        m_exitStatus = m_console->WaitForRun();
    return m_exitStatus;
}

void PelmoPatcherApp::OnFatalException()
{
    const char *report = ZelkWriteFatalDump();
    if (m_unattended || !ZelkShowFatalErrorBox(report))
        ZelkPrintCrashReportPath(report);
    ZelkEndProcessAfterFatalError();
}

void PelmoPatcherApp::OnUnhandledException()
{
    ZelkNoteCurrentException();
    OnFatalException();
}

void PelmoPatcherApp::ShowFatalErrorBox()
{
    // The report's path goes with the text: it is what the user hands on to the maker.
    std::wstring text = kFatalErrorText;
    if (!m_crashReportToShow.empty())
        text += L"\n\n" + m_crashReportToShow;
    Dialogs().ShowMessageBox(nullptr, text, kFatalErrorCaption, MessageBoxStyle::Ok);
}

int PelmoPatcherApp::OnExit()
{
    if (!m_endedEarly)
        LaunchOnExitProgram();
    ReleaseOwnSocketManager();
    ZelkDisarmExitDump();
    CleanupSocketLibrary();
    m_console.reset();
    return m_unattended ? m_exitStatus : 0;
}
} // namespace ZelkPatch
