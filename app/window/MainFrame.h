// The patcher's window: the log pane, the status line, the gauge and the two buttons, the close
// and cancel flow, and the observer of the runs it starts. Worker threads never touch a control:
// their messages arrive as posted events and their gauge changes as calls queued after them, so
// both keep their order.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include <wx/frame.h>
#include <wx/thread.h>

#include "patch/PatchPayload.h"
#include "run/PatchSettings.h"
#include "run/RunObserver.h"

class wxButton;
class wxBoxSizer;
class wxGauge;
class wxScrolledWindow;
class wxStaticText;
class wxTextCtrl;

namespace ZelkPatch
{
class APThread;
class PelmoPatcherApp;

enum FrameId
{
    ID_APPLY = 0,
    ID_CANCEL = 1,
    ID_THREAD_DONE = 2,
    ID_THREAD_MESSAGE = 3,
    ID_BROWSE = 15,
    ID_PAGE_VIEW = 501,
};

class MainFrame : public wxFrame, public RunObserver
{
public:
    // settings and payload belong to the application and outlive the frame: a run starts from
    // them, and the settings take back where it ended.
    MainFrame(PelmoPatcherApp *application, PatchSettings &settings, PatchPayload &payload, const wxString &title,
              const wxSize &size, long style);
    ~MainFrame() override;

    // Starts a patch run: the worker made by MakeWorker.
    virtual void OnStart(wxCommandEvent &event);

    bool IsRunning() const { return m_running; }
    bool IsCancelling() const { return m_cancelling.load(); }
    APThread *Worker() const { return m_worker.get(); }

    // The message hook of the window: posts the line to the log pane; any thread.
    void PostFrameMessage(MessageLevel level, const std::wstring &text);
    // Empties the log pane; any thread.
    void ClearLog();

    // RunObserver; callable from any thread.
    void Message(MessageLevel level, const std::wstring &text) override { PostFrameMessage(level, text); }
    void GaugeRange(int range) override;
    void GaugeValue(int value) override;
    void GaugeStep() override;
    void DownloadProgress(const TransferProgress &progress, bool running) override;
    MessageBoxAnswer AskMessageBox(const std::wstring &text, const std::wstring &caption,
                                   MessageBoxStyle style) override;
    bool AskExistingFile(const std::wstring &title, const std::wstring &filter, std::wstring &path) override;

    // The controls, for the window's tests.
    wxTextCtrl *LogPane() const { return m_logPane; }
    wxGauge *Gauge() const { return m_gauge; }
    wxStaticText *StatusLine() const { return m_statusLine; }
    wxButton *ApplyButton() const { return m_applyButton; }
    wxButton *CancelButton() const { return m_cancelButton; }

protected:
    // The worker of a new run, which calls RunFinished as its last act; not started yet.
    virtual std::unique_ptr<APThread> MakeWorker() = 0;
    // Called on the GUI thread when a run has finished.
    virtual void OnRunFinished() {}
    // The thread-finished event; any thread.
    void RunFinished();
    // Waits for the last worker and releases it.
    void ReleaseWorker();
    // Builds the log pane, status line, gauge and buttons into mainSizer.
    void AddLogAndButtons();

    // Run on the GUI thread: at once when called there, otherwise queued after earlier calls.
    template <typename Function> void OnGuiThread(Function function);

    bool m_running = false;
    wxTextCtrl *m_logPane = nullptr;
    wxGauge *m_gauge = nullptr;
    wxStaticText *m_statusLine = nullptr;
    wxButton *m_applyButton = nullptr;
    wxButton *m_cancelButton = nullptr;
    std::unique_ptr<APThread> m_worker;
    wxScrolledWindow *m_panel = nullptr;
    wxBoxSizer *m_mainSizer = nullptr;
    PelmoPatcherApp *m_application;
    PatchSettings &m_settings;
    PatchPayload &m_payload;
    wxMutex m_logMutex;
    std::atomic<bool> m_cancelling{false};

private:
    void OnApplyClicked(wxCommandEvent &event);
    void OnCancelClicked(wxCommandEvent &event);
    void OnThreadDone(wxCommandEvent &event);
    void OnThreadMessage(wxCommandEvent &event);
    void OnCloseWindow(wxCloseEvent &event);

    bool m_workerStarted = false;
    bool m_firstLineDone = false;
};

template <typename Function> void MainFrame::OnGuiThread(Function function)
{
    if (wxThread::IsMain())
        function();
    else
        CallAfter(function);
}
} // namespace ZelkPatch
