#include "app/window/PatchMainFrame.h"

#include <wx/button.h>
#include <wx/gauge.h>
#include <wx/scrolwin.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include "app/window/AppIcon.h"
#include "app/window/PageView.h"
#include "app/PatchThread.h"
#include "kernel/FileUtil.h"
#include "kernel/ProductFacts.h"
#include "kernel/Registry.h"
#include "run/InstallDiscovery.h"
#include "run/MessageCatalogue.h"
#include "run/MessageIds.h"

namespace ZelkPatch
{
namespace
{
const wchar_t *const kFrameTitle = L"Pelmo Patcher ";
constexpr int kFrameWidth = 900;
constexpr int kFrameHeight = 800;
constexpr long kFrameStyle = wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX | wxCLIP_CHILDREN;
constexpr int kRefreshTimerId = 1;
constexpr int kRefreshMilliseconds = 500;
constexpr int kInstallLabelId = 5105;
constexpr int kPageWidth = 450;
constexpr int kPageHeight = 100;
constexpr int kInstallFieldWidth = 215;
constexpr int kBorder = 5;
constexpr int kScrollRate = 5;

const wchar_t *const kPagePath = L"/patcher/patcher.html";
// The page is a strip of the window: its own scroll bars would only get in the way. The engine
// runs this in every page it shows, so that nothing calls back into the window: the toolkit's
// asynchronous script call reaches its control through a plain pointer when the script ends, which
// may be after the window is gone.
const char *const kHidePageScrollBars = "document.body.style.overflow = 'hidden';";
} // namespace

std::wstring PatcherPageAddress()
{
    std::unique_ptr<RegistryKey> key = RegistryKey::Open(ProductFacts::kSettingsKey, false);
    std::wstring host;
    if (!key || !key->QueryString(ProductFacts::kPageHostValue, host) || host.empty())
        return std::wstring();
    return L"http://" + host + kPagePath;
}

std::wstring FormatDownloadProgress(uint64_t bytesDone, uint64_t bytesTotal, double seconds)
{
    const unsigned long doneKb = static_cast<unsigned long>(bytesDone / 1024);
    const unsigned long totalKb = static_cast<unsigned long>(bytesTotal / 1024);
    unsigned long minutes = 0;
    if (seconds > 0 && doneKb > 0 && totalKb > doneKb)
    {
        const double rate = static_cast<double>(doneKb) / seconds;
        minutes = static_cast<unsigned long>(static_cast<double>(totalKb - doneKb) / rate / 60.0);
    }
    if (minutes == 0)
        minutes = 1;
    if (minutes > 60)
        return FormatCatalogueText(kIdProgressHours, doneKb, totalKb, minutes / 60, minutes % 60);
    return FormatCatalogueText(kIdProgressMinutes, doneKb, totalKb, minutes);
}

PatchMainFrame::PatchMainFrame(PelmoPatcherApp *application, PatchSettings &settings, PatchPayload &payload)
    : MainFrame(application, settings, payload, kFrameTitle, wxSize(kFrameWidth, kFrameHeight), kFrameStyle),
      m_refreshTimer(this, kRefreshTimerId)
{
    const bool repairMode = m_settings.RepairMode();
    Bind(wxEVT_TIMER, &PatchMainFrame::OnRefreshTimer, this, kRefreshTimerId);
    Bind(wxEVT_BUTTON, &PatchMainFrame::OnBrowseInstall, this, ID_BROWSE);
    m_refreshTimer.Start(kRefreshMilliseconds);

    m_panel = new wxScrolledWindow(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxHSCROLL | wxVSCROLL);
    m_panel->SetScrollRate(kScrollRate, kScrollRate);
    m_mainSizer = new wxBoxSizer(wxVERTICAL);

    BuildPageView();

    auto *installRow = new wxBoxSizer(wxHORIZONTAL);
    // The label and the field keep their widths but take GTK's height; the label grows to fit its
    // text in the translated catalogues.
    auto *installLabel = new wxStaticText(m_panel, kInstallLabelId,
                                          LoadMessage(repairMode ? kIdRepairingInstall : kIdPatchingInstall));
    m_installField = new wxTextCtrl(m_panel, wxID_ANY, m_settings.InstallPath(), wxDefaultPosition,
                                    wxSize(kInstallFieldWidth, -1));
    m_browseButton = new wxButton(m_panel, ID_BROWSE, LoadMessage(kIdEllipsis), wxDefaultPosition, wxDefaultSize,
                                  wxBU_EXACTFIT);
    installRow->Add(installLabel, 0, wxALIGN_CENTER_VERTICAL | wxALL, kBorder);
    installRow->Add(m_installField, 1, wxEXPAND | wxALL, kBorder);
    installRow->Add(m_browseButton, 0, wxALIGN_CENTER_VERTICAL);
    m_mainSizer->Add(installRow, 0, wxEXPAND | wxALL, kBorder);

    AddLogAndButtons();

    // The window is as wide as the page from the start, so that the page appearing later does not
    // resize it.
    m_mainSizer->SetMinSize(wxSize(kPageWidth + 2 * kBorder, -1));
    m_panel->SetSizer(m_mainSizer);
    FitToContent();
    Centre();

    SetIcons(AppIconBundle());
    m_applyButton->Enable();
    if (repairMode)
        m_applyButton->SetLabel(LoadMessage(kIdRepair));
    m_installField->Disable();
    m_browseButton->Disable();
}

PatchMainFrame::~PatchMainFrame()
{
    m_refreshTimer.Stop();
}

void PatchMainFrame::BuildPageView()
{
    const std::wstring address = PatcherPageAddress();
    // Without a configured host (or without the web engine) there is no page to show, and the
    // window works without it.
    if (address.empty())
        return;
    const PageViewModule *module = LoadPageViewModule();
    if (module == nullptr)
        return;
    PageViewEvents events;
    events.loaded = [this](const wxString &url) { OnPageLoaded(url); };
    events.failed = [this] { OnPageError(); };
    events.followLink = [this] { return !m_openLinksOutside; };
    m_pageView = module->create(m_panel, ID_PAGE_VIEW, wxSize(kPageWidth, kPageHeight), kHidePageScrollBars, events);
    if (m_pageView == nullptr)
        return;
    m_mainSizer->Add(m_pageView, 0, wxEXPAND | wxALL, kBorder);
    module->load(m_pageView, address);
}

void PatchMainFrame::OnPageLoaded(const wxString &url)
{
    // Only the maker's page (or a page it links to) is worth the room; a blank page is not.
    if (!url.StartsWith(wxS("http")))
        return;
    if (m_pageView->IsShown())
        return;
    m_pageView->Show();
    FitToContent();
}

void PatchMainFrame::FitToContent()
{
    // The window has no resize border: it grows and shrinks with the page so that the buttons
    // stay in view.
    m_mainSizer->SetSizeHints(this);
    m_panel->Layout();
    m_panel->FitInside();
    Fit();
}

void PatchMainFrame::OnPageError()
{
    // A page that cannot be shown leaves the window as it is without it.
    if (!m_pageView->IsShown())
        return;
    m_pageView->Hide();
    FitToContent();
}

void PatchMainFrame::OnStart(wxCommandEvent &event)
{
    MainFrame::OnStart(event);
    m_browseButton->Enable(m_applyButton->IsEnabled());
    // The status line follows the downloads of a download run.
    if (m_running && m_settings.DownloadMode())
    {
        m_progressTextDone = false;
        m_transferSeen = false;
        {
            std::lock_guard<std::mutex> lock(m_downloadLock);
            m_downloadRunning = false;
        }
        m_refreshTimer.Start(kRefreshMilliseconds);
    }
}

std::unique_ptr<APThread> PatchMainFrame::MakeWorker()
{
    auto worker = std::make_unique<PatchThread>(m_settings, m_payload, *this, m_cancelling, [this] { RunFinished(); });
    m_patchThread = worker.get();
    return worker;
}

void PatchMainFrame::UpdateInstallField()
{
    m_installField->SetValue(m_settings.InstallPath());
}

void PatchMainFrame::DownloadProgress(const TransferProgress &progress, bool running)
{
    std::lock_guard<std::mutex> lock(m_downloadLock);
    m_download = progress;
    m_downloadRunning = running;
}

void PatchMainFrame::StopRefreshTimer()
{
    m_refreshTimer.Stop();
}

void PatchMainFrame::OnRunFinished()
{
    if (m_patchThread != nullptr && m_patchThread == Worker())
    {
        // The next run starts where this one ended.
        m_settings = m_patchThread->SettingsAfterRun();
        // The user may close the product and try again.
        if (m_patchThread->Outcome().reason == RunEnd::ProductRunning)
        {
            m_applyButton->Enable();
            m_browseButton->Enable();
        }
    }
    if (!m_refreshTimer.IsRunning())
        return;
    m_refreshTimer.Stop();
    m_statusLine->SetLabel(wxEmptyString);
}

bool PatchMainFrame::CheckStandalonePayload(const std::wstring &exePath, bool browseOnly)
{
    const PayloadCheck check = ZelkPatch::CheckStandalonePayload(exePath, browseOnly, m_payload, m_settings, *this);
    if (check.payloadFound)
        m_browseButton->Enable();
    if (check.ready)
        m_applyButton->Enable();
    return check.ready;
}

void PatchMainFrame::OnBrowseInstall(wxCommandEvent &)
{
    ClearLog();
    CheckStandalonePayload(RunningExecutableForDiscovery(), true);
    UpdateInstallField();
}

void PatchMainFrame::OnRefreshTimer(wxTimerEvent &)
{
    if (m_cancelling.load() && !m_worker)
    {
        Close(true);
        return;
    }
    if (!m_running)
    {
        m_gauge->SetValue(0);
        return;
    }
    if (m_worker)
        ShowTransferProgress();
}

void PatchMainFrame::ShowTransferProgress()
{
    TransferProgress progress;
    bool running = false;
    {
        std::lock_guard<std::mutex> lock(m_downloadLock);
        progress = m_download;
        running = m_downloadRunning;
    }
    // Only a download under way is shown; between downloads the gauge belongs to the packages.
    if (!running)
    {
        if (m_transferSeen)
        {
            m_statusLine->SetLabel(wxEmptyString);
            m_transferSeen = false;
            m_progressTextDone = false;
        }
        return;
    }
    if (m_progressTextDone)
        return;
    if (!m_transferSeen)
    {
        m_transferSeen = true;
        m_transferStart = std::chrono::steady_clock::now();
    }
    m_gauge->SetRange(100);
    m_gauge->SetValue(static_cast<int>(std::min<uint32_t>(progress.percent, 100)));
    if (progress.expectedSize != 0)
    {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - m_transferStart).count();
        m_statusLine->SetLabel(FormatDownloadProgress(progress.bytesDone, progress.expectedSize, seconds));
    }
    if (progress.percent >= 100)
    {
        m_statusLine->SetLabel(wxEmptyString);
        m_progressTextDone = true;
    }
}
} // namespace ZelkPatch
