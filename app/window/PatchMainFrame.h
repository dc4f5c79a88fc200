// The patcher's window as the user sees it: the maker's page, the installation row with the
// browse button, and the log, gauge and buttons of MainFrame.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include <wx/timer.h>

#include "app/window/MainFrame.h"

class wxTextCtrl;

namespace ZelkPatch
{
class PatchThread;

class PatchMainFrame : public MainFrame
{
public:
    PatchMainFrame(PelmoPatcherApp *application, PatchSettings &settings, PatchPayload &payload);
    ~PatchMainFrame() override;

    void OnStart(wxCommandEvent &event) override;

    // Looks for the payload of the executable and the installed build; true when standalone mode
    // is ready. browseOnly skips the registry and asks the user at once. GUI thread.
    bool CheckStandalonePayload(const std::wstring &exePath, bool browseOnly);
    // The "..." button.
    void OnBrowseInstall(wxCommandEvent &event);

    // The installation field shows the settings' installation path.
    void UpdateInstallField();
    void StopRefreshTimer();

    void DownloadProgress(const TransferProgress &progress, bool running) override;

    // The controls, for the window's tests.
    wxTextCtrl *InstallField() const { return m_installField; }
    wxButton *BrowseButton() const { return m_browseButton; }
    wxWindow *PageView() const { return m_pageView; }
    wxTimer &RefreshTimer() { return m_refreshTimer; }

protected:
    std::unique_ptr<APThread> MakeWorker() override;
    void OnRunFinished() override;

private:
    void BuildPageView();
    void FitToContent();
    void OnRefreshTimer(wxTimerEvent &event);
    void ShowTransferProgress();
    void OnPageLoaded(const wxString &url);
    void OnPageError();

    bool m_progressTextDone = false;
    wxTextCtrl *m_installField = nullptr;
    wxWindow *m_pageView = nullptr;
    wxTimer m_refreshTimer;
    wxButton *m_browseButton = nullptr;
    bool m_openLinksOutside = false;
    // When the download under way was first seen; the remaining time is reckoned from it.
    bool m_transferSeen = false;
    std::chrono::steady_clock::time_point m_transferStart;
    // The run of the window's own worker, once it has finished.
    PatchThread *m_patchThread = nullptr;
    // The download progress the worker reported last, shown by the refresh timer.
    std::mutex m_downloadLock;
    TransferProgress m_download;
    bool m_downloadRunning = false;
};

// The page shown at the top of the window: "http://" + the registry's PatcherPageHost +
// "/patcher/patcher.html"; empty when no host is configured.
std::wstring PatcherPageAddress();
// The status line text for a download: done and total in bytes, seconds since it began.
std::wstring FormatDownloadProgress(uint64_t bytesDone, uint64_t bytesTotal, double seconds);
} // namespace ZelkPatch
