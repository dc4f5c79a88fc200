#include "app/PatcherStart.h"

#include <cstring>
#include <string>
#include <vector>

#include <wx/app.h>
#include <wx/filename.h>

#include "app/ConsoleHost.h"
#include "app/UserDialogs.h"
#include "kernel/CrashHandler.h"
#include "kernel/Elevation.h"
#include "kernel/FileUtil.h"
#include "kernel/RunningExecutable.h"
#include "net/CPSocketManager.h"
#include "net/SocketLibrary.h"
#include "run/InstallDiscovery.h"
#include "run/MessageCatalogue.h"
#include "run/MessageIds.h"
#include "run/PrePostPatchTasks.h"

namespace ZelkPatch
{

namespace
{
const char *const kDumpName = "patcher";
// The arguments that need no window: a run without one, the usage and the version.
const char *const kWindowlessSwitches[] = {"-u", "--unattended", "-h", "--help", "--version"};

// The socket library stays started for the whole life of the application: the repair run's name
// lookup and connections need it long after start-up.
SocketLibrary &Sockets()
{
    static SocketLibrary library;
    return library;
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

PatcherStart::PatcherStart() = default;

PatcherStart::~PatcherStart()
{
    StopServices();
}

bool PatcherStart::WantsWindow(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i)
    {
        for (const char *windowless : kWindowlessSwitches)
        {
            if (std::strcmp(argv[i], windowless) == 0)
                return false;
        }
    }
    return true;
}

bool PatcherStart::StartServices()
{
    if (!Sockets().Startup(2, 2))
        return false;
    m_servicesStarted = true;
    ZelkInstallCrashHandlers();
    AcquireSocketManager(1);
    ZelkSetFatalDumpName(kDumpName, [] { wxAppConsole::GetInstance()->OnFatalException(); });
    return true;
}

void PatcherStart::StopServices()
{
    if (!m_servicesStarted)
        return;
    m_servicesStarted = false;
    // The socket manager's thread and the sockets end here.
    ReleaseSocketManager();
    ZelkDisarmExitDump();
    Sockets().Cleanup();
}

bool PatcherStart::ReadCommandLine(int argc, const wxCmdLineArgsArray &argv)
{
    std::vector<std::wstring> arguments;
    for (int i = 0; i < argc; ++i)
        arguments.push_back(argv[i].ToStdWstring());
    PatcherCommandLine::DropStrayQuotes(arguments);
    m_commandLine.ParseCommandLine(arguments);
    return !m_commandLine.SyntaxError();
}

void PatcherStart::SettleInstallPath()
{
    m_settings.SetInstallPath(AbsoluteInstallPath(m_settings.InstallPath()));
    if (m_settings.InstallPath().empty())
        m_settings.SetInstallPath(FindKorvilInstallPath());
    // Opened here, once, from where the user started the program; the run reaches it only so.
    m_settings.HeldInstallation();
    SetCurrentDirectoryTo(DirectoryOf(RunningExecutablePath()));
}

std::optional<int> PatcherStart::CheckRights()
{
    // The check asks its questions as the user who runs it: whether a run would need elevation is
    // one of them.
    if (m_settings.CheckOnly())
        return std::nullopt;
    if (m_commandLine.Admin())
    {
        if (CheckInstallWritable(m_settings.Installation()))
            return std::nullopt;
        Dialogs().ShowMessageBox(nullptr, LoadMessage(kIdAdminText), LoadMessage(kIdAdminCaption),
                                 MessageBoxStyle::Ok);
        return kExitNoRun;
    }
    if (!m_commandLine.RelaunchElevated(RunningExecutablePath()))
        return std::nullopt;
    const int status = m_commandLine.ElevatedExitStatus();
    return status < 0 ? kExitNoRun : status;
}
} // namespace ZelkPatch
