// A run without a window: messages go to standard output as lines (grey and red on a terminal),
// the gauge becomes a progress bar on standard error when that is a terminal, message boxes are
// printed, and SIGINT or SIGTERM cancel the run as "Cancel" and "Yes" would.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "app/FrameHooks.h"
#include "app/UserDialogs.h"

namespace ZelkPatch
{
class APThread;

// Exit statuses of a run without a window.
constexpr int kExitCompleted = 0;
constexpr int kExitAborted = 1;
constexpr int kExitNoRun = 2;

class ConsoleHost : public RunDisplay, public UserDialogs
{
public:
    // Takes the display and the dialogs of the process until it is destroyed.
    ConsoleHost(FILE *output, FILE *progress, bool colours, bool progressBar);
    ~ConsoleHost() override;

    // Starts the worker; false when its thread cannot be started.
    bool StartRun(std::unique_ptr<APThread> worker);
    // Waits until the run has finished, cancelling it once an interrupt signal arrives; the exit
    // status: kExitCompleted when the run ended with "Patching completed.", else kExitAborted.
    int WaitForRun();
    // What "Cancel" and "Yes" do in the window.
    void RequestCancel();

    // RunHost and RunDisplay.
    bool IsCancelling() const override { return m_cancelling.load(); }
    void EnableApply() override {}
    void ShowInstallPath() override {}
    MessageBoxAnswer ShowMessageBox(const std::wstring &text, const std::wstring &caption,
                                    MessageBoxStyle style) override;
    void SetGaugeRange(int range) override;
    void SetGaugeValue(int value) override;
    void AdvanceGauge() override;
    void RunFinished() override;
    void AppendMessage(MessageLevel level, const std::wstring &text) override;
    void ClearMessages() override {}
    void EnableBrowse() override {}
    wxWindow *DialogParent() override { return nullptr; }

    // UserDialogs: boxes are printed and answered with their default; nobody can pick a file.
    MessageBoxAnswer ShowMessageBox(wxWindow *parent, const std::wstring &text, const std::wstring &caption,
                                    MessageBoxStyle style) override;
    bool ChooseExistingFile(wxWindow *parent, const std::wstring &title, const std::wstring &wildcard,
                            std::wstring &path) override;

    // Ends the last line and removes the progress bar.
    void Finish();

private:
    void WriteLine(const std::string &text, MessageLevel level);
    void DrawBar();
    void EraseBar();

    FILE *m_output;
    FILE *m_progress;
    bool m_colours;
    bool m_progressBar;
    std::mutex m_lock;
    int m_colour = 0;
    int m_gaugeRange = 100;
    int m_gaugeValue = 0;
    bool m_barShown = false;
    // The bar appears with the first gauge change of the run.
    bool m_gaugeUsed = false;
    std::string m_lastMessage;
    std::atomic<bool> m_cancelling{false};

    std::mutex m_finishLock;
    std::condition_variable m_finished;
    bool m_runFinished = false;
    std::unique_ptr<APThread> m_worker;
};
} // namespace ZelkPatch
