// The patcher's window: the log pane, the status line, the gauge and the two buttons, the close
// and cancel flow, and the events through which worker threads reach it. Worker threads never touch
// a control: their messages arrive as posted events and their gauge changes as calls queued after
// them, so both keep their order.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include <wx/frame.h>
#include <wx/thread.h>

#include "app/FrameHooks.h"

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

class MainFrame : public wxFrame, public RunDisplay
{
public:
    MainFrame(PelmoPatcherApp *application, const wxString &title, const wxSize &size, long style);
    ~MainFrame() override;

    // Starts a patch run: the worker made by MakeWorker.
    virtual void OnStart(wxCommandEvent &event);

    bool IsRunning() const { return m_running; }
    APThread *Worker() const { return m_worker.get(); }

    // RunHost and RunDisplay; callable from any thread.
    bool IsCancelling() const override { return m_cancelling.load(); }
    void EnableApply() override;
    void ShowInstallPath() override;
    MessageBoxAnswer ShowMessageBox(const std::wstring &text, const std::wstring &caption,
                                    MessageBoxStyle style) override;
    void SetGaugeRange(int range) override;
    void SetGaugeValue(int value) override;
    void AdvanceGauge() override;
    void RunFinished() override;
    void AppendMessage(MessageLevel level, const std::wstring &text) override;
    void ClearMessages() override;
    void EnableBrowse() override;
    wxWindow *DialogParent() override { return this; }

    // The controls, for the window's tests.
    wxTextCtrl *LogPane() const { return m_logPane; }
    wxGauge *Gauge() const { return m_gauge; }
    wxStaticText *StatusLine() const { return m_statusLine; }
    wxButton *ApplyButton() const { return m_applyButton; }
    wxButton *CancelButton() const { return m_cancelButton; }

protected:
    // The worker of a new run; not started yet.
    virtual std::unique_ptr<APThread> MakeWorker() = 0;
    // The installation field follows the settings (the window with the field overrides this).
    virtual void UpdateInstallField() {}
    // Called on the GUI thread when a run has finished.
    virtual void OnRunFinished() {}
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
