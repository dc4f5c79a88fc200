#include "app/window/PelmoPatcherApp.h"

#include <cstdlib>

#include <wx/button.h>
#include <wx/log.h>

#include "app/UserDialogs.h"
#include "app/window/PatchMainFrame.h"
#include "app/window/ToolkitDialogs.h"
#include "kernel/CrashHandler.h"
#include "kernel/RunningExecutable.h"
#include "kernel/TextConvert.h"
#include "run/InstallDiscovery.h"
#include "run/MessageCatalogue.h"
#include "run/MessageIds.h"

namespace ZelkPatch
{
namespace
{
// The box of a crashed patcher, shown by a fresh process of it.
const wchar_t *const kFatalErrorText = L"Unhandled Exception";
const wchar_t *const kFatalErrorCaption = L"Fatal Error";

// Why the toolkit found no display, in the user's language.
std::string NoDisplayReason()
{
    const char *named = nullptr;
    for (const char *variable : {"DISPLAY", "WAYLAND_DISPLAY"})
    {
        const char *value = std::getenv(variable);
        if (named == nullptr && value != nullptr && *value != '\0')
            named = value;
    }
    if (named == nullptr)
        return PathToNative(LoadMessage(kIdNoDisplayNamed));
    return PathToNative(FormatCatalogueText(kIdDisplayNotOpened, NativeToPath(named).c_str()));
}
} // namespace

PelmoPatcherApp::PelmoPatcherApp(std::string &unavailableReason) : m_unavailableReason(unavailableReason)
{
}

PelmoPatcherApp::~PelmoPatcherApp() = default;

bool PelmoPatcherApp::Initialize(int &argc, wxChar **argv)
{
    UseToolkitDialogs();
    if (argc == 3 && wxString(argv[1]) == kZelkCrashReportSwitch)
    {
        m_showingFatalError = true;
        m_crashReportToShow = argv[2];
    }
    {
        // Without a display the toolkit would explain itself in a box, which GTK cannot make and
        // ends the process on: the program's caller says why in one line instead (the box of a
        // crashed patcher becomes the report's path there).
        wxLogNull quiet;
        if (wxApp::Initialize(argc, argv))
            return true;
    }
    m_unavailableReason = NoDisplayReason();
    return false;
}

void PelmoPatcherApp::CleanUp()
{
    // Runs after OnExit and after a false OnInit alike (the toolkit skips OnExit then).
    m_start.StopServices();
    wxApp::CleanUp();
}

bool PelmoPatcherApp::OnInit()
{
    if (m_showingFatalError)
    {
        ShowFatalErrorBox();
        return false;
    }
    if (!m_start.StartServices())
        return false;

    // The window goes on with what the registry says when the command line is mistyped.
    m_start.ReadCommandLine(argc, argv);
    m_start.SettleInstallPath();
    if (m_start.CheckRights())
        return false;

    m_frame = new PatchMainFrame(this, m_start.Settings(), m_start.Payload());
    m_frame->Show();
    SetTopWindow(m_frame);
    m_frame->CheckStandalonePayload(RunningExecutableForDiscovery(), false);
    m_frame->UpdateInstallField();
    m_frame->StopRefreshTimer();

    ZelkCrashTestPoint("main");
    const PatchSettings &settings = m_start.Settings();
    if (settings.DownloadMode() || settings.RepairMode() || settings.CheckOnly())
    {
        wxCommandEvent start(wxEVT_BUTTON, ID_APPLY);
        m_frame->OnStart(start);
    }
    else if (!settings.LocalMode())
    {
        m_frame->ApplyButton()->Disable();
        m_frame->PostFrameMessage(MessageError, LoadMessage(kIdNoValidOperation));
    }
    return true;
}

int PelmoPatcherApp::OnExit()
{
    m_start.CommandLine().LaunchOnExitProgram();
    m_start.StopServices();
    return 0;
}

void PelmoPatcherApp::OnFatalException()
{
    const char *report = ZelkWriteFatalDump();
    if (!ZelkShowFatalErrorBox(report))
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
} // namespace ZelkPatch
