#include "app/PatchThread.h"

#include <utility>

#include "kernel/CrashHandler.h"

namespace ZelkPatch
{
APThread::APThread(std::function<void()> finished) : wxThread(wxTHREAD_JOINABLE), m_finished(std::move(finished))
{
}

wxThread::ExitCode APThread::Entry()
{
    const ZelkFatalExceptionGuard guard(kRunWorkerThreadName);
    if (m_finished)
        m_finished();
    return nullptr;
}

PatchThread::PatchThread(const PatchSettings &settings, PatchPayload &payload, RunObserver &observer,
                         const std::atomic<bool> &cancel, std::function<void()> finished)
    : APThread(std::move(finished)), m_run(settings, payload, observer, cancel)
{
}

wxThread::ExitCode PatchThread::Entry()
{
    const ZelkFatalExceptionGuard guard(kRunWorkerThreadName);
    m_outcome = m_run.Run();
    return APThread::Entry();
}
} // namespace ZelkPatch
