// The window's worker threads. A PatchThread drives one run of the engine (PatchRun) on a joinable
// toolkit thread; the run reaches the window only through the observer the thread is given.
#pragma once

#include <atomic>
#include <memory>

#include <wx/thread.h>

#include "run/PatchRun.h"

namespace ZelkPatch
{
// The name of a run's worker thread, with and without the window, in crash reports (and the test
// switch that faults in it).
constexpr char kRunWorkerThreadName[] = "patch worker";

// Base of the window's workers: a joinable thread that tells its owner when it has finished.
class APThread : public wxThread
{
public:
    // finished is called on the worker's thread as its last act (the thread-finished event).
    explicit APThread(std::function<void()> finished);

protected:
    // Calls finished.
    ExitCode Entry() override;

private:
    std::function<void()> m_finished;
};

// One patch run of the window.
class PatchThread : public APThread
{
public:
    PatchThread(const PatchSettings &settings, PatchPayload &payload, RunObserver &observer,
                const std::atomic<bool> &cancel, std::function<void()> finished);

    // Valid once the thread has finished.
    const RunOutcome &Outcome() const { return m_outcome; }
    const PatchSettings &SettingsAfterRun() const { return m_run.Settings(); }

protected:
    ExitCode Entry() override;

private:
    PatchRun m_run;
    RunOutcome m_outcome;
};
} // namespace ZelkPatch
