// The worker threads of a patch run. One PatchThread carries out one run; it reaches whatever
// presents the run only through its RunHost and the report hooks, never through a widget.
#pragma once

#include <atomic>
#include <string>

#include <wx/thread.h>

#include "app/RunHost.h"
#include "kernel/ZelkTypes.h"
#include "patch/PelmoPatchTask.h"

namespace ZelkPatch
{
// Base of the patch workers: a joinable thread that tells its host when it has finished.
class APThread : public wxThread
{
public:
    // Records the new thread as the current worker of the process (the progress hooks use it).
    explicit APThread(RunHost *host);
    ~APThread() override;

    // The worker of the run started last; null before the first run.
    static APThread *CurrentWorker();

    // Completed steps divided by announced steps of the operation under way.
    float ProgressFraction() const { return m_progressFraction.load(); }
    void SetProgressFraction(float fraction) { m_progressFraction.store(fraction); }

    // True on the worker's own thread once the toolkit asked it to stop; false on other threads.
    bool StopRequested();

    RunHost *Host() const { return m_host; }

protected:
    // Posts the thread-finished event to the host.
    ExitCode Entry() override;

private:
    std::atomic<float> m_progressFraction{0.0f};
    RunHost *m_host;
};

// One patch run.
class PatchThread : public APThread, public PelmoPatchTask
{
public:
    explicit PatchThread(RunHost *host);

    void Report(MessageLevel level, const std::string &text) override;
    void Report(MessageLevel level, const std::wstring &text) override;

protected:
    ExitCode Entry() override;
};
} // namespace ZelkPatch
