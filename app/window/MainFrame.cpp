#include "app/window/MainFrame.h"

#include <future>

#include <wx/button.h>
#include <wx/gauge.h>
#include <wx/scrolwin.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include "app/PatchThread.h"
#include "app/UserDialogs.h"
#include "run/MessageCatalogue.h"
#include "run/MessageIds.h"

namespace ZelkPatch
{
namespace
{
constexpr int kButtonWidth = 120;
constexpr int kLogMinWidth = 50;
constexpr int kLogMinHeight = 250;
constexpr int kGaugeRange = 100;
constexpr int kGaugeHeight = 25;
constexpr int kOuterBorder = 10;
constexpr int kInnerBorder = 5;

const wxColour &LevelColour(int level)
{
    static const wxColour black(0, 0, 0);
    static const wxColour grey(128, 128, 128);
    static const wxColour red(255, 0, 0);
    return level == MessageMinor ? grey : level == MessageError ? red : black;
}
} // namespace

MainFrame::MainFrame(PelmoPatcherApp *application, PatchSettings &settings, PatchPayload &payload,
                     const wxString &title, const wxSize &size, long style)
    : wxFrame(nullptr, wxID_ANY, title, wxDefaultPosition, size, style), m_application(application),
      m_settings(settings), m_payload(payload)
{
    Bind(wxEVT_BUTTON, &MainFrame::OnApplyClicked, this, ID_APPLY);
    Bind(wxEVT_BUTTON, &MainFrame::OnCancelClicked, this, ID_CANCEL);
    Bind(wxEVT_MENU, &MainFrame::OnThreadDone, this, ID_THREAD_DONE);
    Bind(wxEVT_MENU, &MainFrame::OnThreadMessage, this, ID_THREAD_MESSAGE);
    Bind(wxEVT_CLOSE_WINDOW, &MainFrame::OnCloseWindow, this);
}

MainFrame::~MainFrame()
{
    ReleaseWorker();
}

void MainFrame::AddLogAndButtons()
{
    m_logPane = new wxTextCtrl(m_panel, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize,
                               wxTE_MULTILINE | wxTE_READONLY | wxTE_RICH2);
    m_logPane->SetMinSize(wxSize(kLogMinWidth, kLogMinHeight));
    m_mainSizer->Add(m_logPane, 1, wxEXPAND | wxALL, kOuterBorder);

    m_statusLine = new wxStaticText(m_panel, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize,
                                    wxALIGN_CENTRE_HORIZONTAL | wxST_NO_AUTORESIZE);
    m_mainSizer->Add(m_statusLine, 0, wxEXPAND | wxLEFT | wxRIGHT, kOuterBorder);

    m_gauge = new wxGauge(m_panel, wxID_ANY, kGaugeRange, wxDefaultPosition, wxSize(-1, kGaugeHeight),
                          wxGA_HORIZONTAL);
    m_mainSizer->Add(m_gauge, 0, wxEXPAND | wxALL | wxFIXED_MINSIZE, kOuterBorder);

    auto *buttonRow = new wxBoxSizer(wxHORIZONTAL);
    // GTK buttons need more height than the classic 28 pixels; the width stays.
    m_applyButton = new wxButton(m_panel, ID_APPLY, LoadMessage(kIdApplyUpdate), wxDefaultPosition, wxSize(kButtonWidth, -1));
    m_cancelButton = new wxButton(m_panel, ID_CANCEL, LoadMessage(kIdCancel), wxDefaultPosition, wxSize(kButtonWidth, -1));
    buttonRow->Add(m_applyButton, 0, wxALIGN_CENTER_VERTICAL | wxALL, kInnerBorder);
    buttonRow->Add(m_cancelButton, 0, wxALIGN_CENTER_VERTICAL | wxALL, kInnerBorder);
    m_mainSizer->Add(buttonRow, 0, wxALIGN_CENTER_HORIZONTAL | wxALL, kInnerBorder);
}

void MainFrame::ReleaseWorker()
{
    if (m_worker && m_workerStarted)
        m_worker->Wait();
    m_worker.reset();
    m_workerStarted = false;
}

void MainFrame::OnStart(wxCommandEvent &)
{
    ReleaseWorker();
    m_worker = MakeWorker();
    if (m_worker && m_worker->Create() == wxTHREAD_NO_ERROR && m_worker->Run() == wxTHREAD_NO_ERROR)
    {
        m_workerStarted = true;
        m_running = true;
        m_applyButton->Disable();
        m_logPane->SetFocus();
        return;
    }
    m_worker.reset();
    m_logPane->SetFocus();
}

void MainFrame::OnApplyClicked(wxCommandEvent &event)
{
    OnStart(event);
}

void MainFrame::OnCancelClicked(wxCommandEvent &)
{
    Close(true);
}

void MainFrame::OnCloseWindow(wxCloseEvent &event)
{
    const bool workerRunning = m_worker && m_workerStarted && m_worker->IsRunning();
    if (workerRunning && !m_cancelling.load())
    {
        const MessageBoxAnswer answer =
            Dialogs().ShowMessageBox(this, LoadMessage(kIdReallyCancel), GetTitle().ToStdWstring(), MessageBoxStyle::YesNo);
        if (answer != MessageBoxAnswer::Yes)
        {
            if (event.CanVeto())
                event.Veto();
            return;
        }
        m_running = false;
    }
    m_cancelButton->Disable();
    m_cancelling.store(true);
    PostFrameMessage(MessageError, LoadMessage(kIdCancelling));
    // The window stays until the worker has finished; its finished event turns "Cancel" into "Exit".
    if (workerRunning && m_worker->IsRunning())
    {
        if (event.CanVeto())
            event.Veto();
        return;
    }
    Destroy();
}

void MainFrame::OnThreadDone(wxCommandEvent &)
{
    m_running = false;
    m_cancelButton->SetLabel(LoadMessage(kIdExit));
    m_cancelButton->Enable();
    OnRunFinished();
}

void MainFrame::OnThreadMessage(wxCommandEvent &event)
{
    wxMutexLocker lock(m_logMutex);
    if (!lock.IsOk())
        return;
    m_logPane->SetInsertionPointEnd();
    const int level = event.GetInt();
    if (level == MessageNormal || level == MessageMinor || level == MessageError)
        m_logPane->SetDefaultStyle(wxTextAttr(LevelColour(level)));
    if (m_firstLineDone)
        m_logPane->AppendText(wxS("\n") + event.GetString());
    else
        m_logPane->AppendText(event.GetString());
    m_firstLineDone = true;
}

void MainFrame::PostFrameMessage(MessageLevel level, const std::wstring &text)
{
    auto *event = new wxCommandEvent(wxEVT_MENU, ID_THREAD_MESSAGE);
    event->SetString(wxString(text));
    event->SetInt(level);
    wxQueueEvent(this, event);
}

void MainFrame::ClearLog()
{
    OnGuiThread([this] {
        wxMutexLocker lock(m_logMutex);
        m_logPane->Clear();
    });
}

MessageBoxAnswer MainFrame::AskMessageBox(const std::wstring &text, const std::wstring &caption,
                                          MessageBoxStyle style)
{
    // The worker's boxes have no owner window, as the system boxes they stand for.
    if (wxThread::IsMain())
        return Dialogs().ShowMessageBox(nullptr, text, caption, style);
    auto answer = std::make_shared<std::promise<MessageBoxAnswer>>();
    std::future<MessageBoxAnswer> result = answer->get_future();
    CallAfter([answer, text, caption, style] {
        answer->set_value(Dialogs().ShowMessageBox(nullptr, text, caption, style));
    });
    return result.get();
}

bool MainFrame::AskExistingFile(const std::wstring &title, const std::wstring &filter, std::wstring &path)
{
    if (wxThread::IsMain())
        return Dialogs().ChooseExistingFile(this, title, filter, path);
    auto answer = std::make_shared<std::promise<std::pair<bool, std::wstring>>>();
    std::future<std::pair<bool, std::wstring>> result = answer->get_future();
    CallAfter([this, answer, title, filter] {
        std::wstring picked;
        const bool chosen = Dialogs().ChooseExistingFile(this, title, filter, picked);
        answer->set_value({chosen, picked});
    });
    const auto [chosen, picked] = result.get();
    path = picked;
    return chosen;
}

void MainFrame::GaugeRange(int range)
{
    OnGuiThread([this, range] {
        m_gauge->SetRange(range);
        m_gauge->SetValue(0);
    });
}

void MainFrame::GaugeValue(int value)
{
    OnGuiThread([this, value] { m_gauge->SetValue(std::min(std::max(value, 0), m_gauge->GetRange())); });
}

void MainFrame::GaugeStep()
{
    OnGuiThread([this] {
        // More steps than announced must not push the gauge past its range.
        if (m_gauge->GetValue() < m_gauge->GetRange())
            m_gauge->SetValue(m_gauge->GetValue() + 1);
    });
}

void MainFrame::DownloadProgress(const TransferProgress &, bool)
{
}

void MainFrame::RunFinished()
{
    wxQueueEvent(this, new wxCommandEvent(wxEVT_MENU, ID_THREAD_DONE));
}
} // namespace ZelkPatch
