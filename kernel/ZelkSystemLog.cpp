#include "kernel/ZelkSystemLog.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <set>

#include "kernel/KernelStandard/ConsoleOutput.h"
#include "kernel/TextConvert.h"

namespace
{
constexpr size_t kLogBufferSize = 4096;

std::set<ZelkSystemLogObserver *> &Observers()
{
    static std::set<ZelkSystemLogObserver *> observers;
    return observers;
}

bool g_bIsIterating = false;

void BroadcastToObservers(const std::wstring &text)
{
    std::lock_guard<std::recursive_mutex> lock(ZelkSystemLogLock());
    // A line logged from inside an observer reaches the other destinations, never an observer.
    if (g_bIsIterating)
        return;
    g_bIsIterating = true;
    // The next observer is looked up after each call, so one that unregisters itself (or another)
    // from its callback leaves no dangling iterator behind.
    std::set<ZelkSystemLogObserver *> &observers = Observers();
    for (auto next = observers.begin(); next != observers.end();)
    {
        ZelkSystemLogObserver *observer = *next;
        observer->OnSystemLog(text);
        next = observers.upper_bound(observer);
    }
    g_bIsIterating = false;
}
} // namespace

void ZelkSystemLogObserver::OnSystemLog(const std::wstring &)
{
}

std::recursive_mutex &ZelkSystemLogLock()
{
    static std::recursive_mutex lock;
    return lock;
}

void ZelkSystemLog(const char *format, ...)
{
    char buffer[kLogBufferSize];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    buffer[kLogBufferSize - 1] = 0;
    ZelkSystemLogWrite(SystemLogAll, buffer);
}

void ZelkSystemLogW(const wchar_t *format, ...)
{
    wchar_t buffer[kLogBufferSize];
    va_list args;
    va_start(args, format);
    const int written = vswprintf(buffer, kLogBufferSize, format, args);
    va_end(args);
    // vswprintf fails instead of truncating; keep what fits.
    if (written < 0)
        buffer[kLogBufferSize - 1] = 0;
    ZelkSystemLogWrite(SystemLogAll, WideToNarrow(buffer));
}

void ZelkSystemLogWrite(uint32_t mask, std::string text)
{
    std::lock_guard<std::recursive_mutex> lock(ZelkSystemLogLock());
    text += "\n";
    const std::wstring wide = NarrowToWide(text);
    const bool consoleCopiesDebugger = (mask & SystemLogConsole) && ConsoleOutputOnStandardError();
    if ((mask & SystemLogDebugger) && !consoleCopiesDebugger)
        WriteDebuggerOutput(text);
    if (mask & SystemLogConsole)
        WriteConsoleOutput(text, wide);
    if (mask & SystemLogObservers)
        BroadcastToObservers(wide);
}

void ZelkSystemLogFromSignal(const char *ascii)
{
    char line[kLogBufferSize];
    size_t size = 0;
    for (; ascii[size] && size + 2 < kLogBufferSize; ++size)
        line[size] = ascii[size];
    line[size++] = '\n';
    WriteConsoleOutputFromSignal(line, size);
}

void ZelkSendSystemLogToStandardError()
{
    std::lock_guard<std::recursive_mutex> lock(ZelkSystemLogLock());
    SendConsoleOutputToStandardError();
}

void ZelkAddSystemLogObserver(ZelkSystemLogObserver *observer)
{
    std::lock_guard<std::recursive_mutex> lock(ZelkSystemLogLock());
    Observers().insert(observer);
}

void ZelkRemoveSystemLogObserver(ZelkSystemLogObserver *observer)
{
    std::lock_guard<std::recursive_mutex> lock(ZelkSystemLogLock());
    Observers().erase(observer);
}
