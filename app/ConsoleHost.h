// A run without a window: messages go to standard output as lines (grey and red on a terminal),
// the gauge becomes a progress bar on standard error when that is a terminal, message boxes are
// printed, and SIGINT or SIGTERM cancel the run as "Cancel" and "Yes" would.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "app/UserDialogs.h"
#include "run/PatchRun.h"

namespace ZelkPatch
{
// Exit statuses of a run without a window.
constexpr int kExitCompleted = 0;
constexpr int kExitAborted = 1;
constexpr int kExitNoRun = 2;

// The console drives one run of the engine on a thread of its own and observes it.
class ConsoleHost : public RunObserver, public UserDialogs
{
public:
    // One run: the engine made with this console as its observer and cancel flag, and run.
    using RunFunction = std::function<RunOutcome()>;

    // Takes the dialogs of the process (the boxes of start-up) until it is destroyed.
    ConsoleHost(FILE *output, FILE *progress, bool colours, bool progressBar);
    ~ConsoleHost() override;

    // Starts the run on its thread; false when the thread cannot be started.
    bool StartRun(RunFunction run);
    // Waits until the run has finished, cancelling it once an interrupt signal arrives; the exit
    // status: kExitCompleted when the run completed, else kExitAborted.
    int WaitForRun();
    // What "Cancel" and "Yes" do in the window.
    void RequestCancel();
    const std::atomic<bool> &CancelFlag() const { return m_cancelling; }
    bool IsCancelling() const { return m_cancelling.load(); }

    // RunObserver.
    void Message(MessageLevel level, const std::wstring &text) override;
    void GaugeRange(int range) override;
    void GaugeValue(int value) override;
    void GaugeStep() override;
    // The download shows on the bar.
    void DownloadProgress(const TransferProgress &progress, bool running) override;
    MessageBoxAnswer AskMessageBox(const std::wstring &text, const std::wstring &caption,
                                   MessageBoxStyle style) override;
    bool AskExistingFile(const std::wstring &title, const std::wstring &filter, std::wstring &path) override;

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
    std::atomic<bool> m_cancelling{false};

    std::mutex m_finishLock;
    std::condition_variable m_finished;
    bool m_runFinished = false;
    RunOutcome m_outcome;
    std::thread m_worker;
};
} // namespace ZelkPatch
