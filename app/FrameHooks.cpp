#include "app/FrameHooks.h"

#include <atomic>
#include <cstdarg>
#include <cwchar>

#include "run/MessageCatalogue.h"
#include "app/PatchThread.h"

namespace ZelkPatch
{
namespace
{
std::atomic<RunDisplay *> g_runDisplay{nullptr};
// The counts of the operation announced last; only the run's worker moves them.
std::atomic<unsigned> g_stepTotal{0};
std::atomic<unsigned> g_stepCount{0};
} // namespace

void SetRunDisplay(RunDisplay *display)
{
    g_runDisplay.store(display);
}

RunDisplay *CurrentRunDisplay()
{
    return g_runDisplay.load();
}

void PostFrameMessage(MessageLevel level, const std::wstring &text)
{
    if (RunDisplay *display = CurrentRunDisplay())
        display->AppendMessage(level, text);
}

void FrameProgressBegin(unsigned steps)
{
    if (APThread *worker = APThread::CurrentWorker())
        worker->SetProgressFraction(0.0f);
    g_stepTotal.store(steps);
    g_stepCount.store(0);
    if (RunDisplay *display = CurrentRunDisplay())
    {
        display->SetGaugeRange(static_cast<int>(2 * steps));
        display->SetGaugeValue(0);
    }
}

bool FrameProgressStep()
{
    APThread *worker = APThread::CurrentWorker();
    if (worker != nullptr && worker->StopRequested())
        return false;
    RunDisplay *display = CurrentRunDisplay();
    if (display != nullptr && display->IsCancelling())
        return false;
    const unsigned count = g_stepCount.fetch_add(1) + 1;
    const unsigned total = g_stepTotal.load();
    if (worker != nullptr && total > 0)
        worker->SetProgressFraction(static_cast<float>(count) / static_cast<float>(total));
    if (display != nullptr)
        display->AdvanceGauge();
    return true;
}

void ClearLog()
{
    if (RunDisplay *display = CurrentRunDisplay())
        display->ClearMessages();
}

std::wstring FormatCatalogueText(unsigned id, ...)
{
    const std::wstring text = LoadMessage(id);
    std::wstring format;
    for (size_t i = 0; i < text.size(); ++i)
    {
        format += text[i];
        if (text[i] != L'%' || i + 1 >= text.size())
            continue;
        if (text[i + 1] == L'%')
            format += text[++i];
        else if (text[i + 1] == L's')
            format += L'l';
    }
    constexpr size_t kFormattedCapacity = 4096;
    wchar_t buffer[kFormattedCapacity] = {};
    va_list args;
    va_start(args, id);
    const int written = vswprintf(buffer, kFormattedCapacity, format.c_str(), args);
    va_end(args);
    // vswprintf fails instead of cutting a text that does not fit; keep what was written.
    if (written < 0)
        buffer[kFormattedCapacity - 1] = 0;
    return buffer;
}

void RegisterPatchHooks(ProgressBeginFunction progressBegin, ProgressStepFunction progressStep,
                        MessageFunction message)
{
    ProgressBeginHook = progressBegin;
    ProgressStepHook = progressStep;
    MessageHook = message;
}
} // namespace ZelkPatch
