// The diagnostic log: lines to standard output (or the console FIFO), the debugger output and
// registered observers, under one process-wide recursive lock. Never seen by the user.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

enum SystemLogDest : uint32_t
{
    SystemLogConsole = 1,
    SystemLogFile = 2,
    SystemLogDebugger = 4,
    SystemLogObservers = 8,
    SystemLogAll = 0xFFFFFFFFu,
};

class ZelkSystemLogObserver
{
public:
    virtual ~ZelkSystemLogObserver() = default;
    virtual void OnSystemLog(const std::wstring &text);
};

// Texts longer than 4,095 bytes (or wide characters) are cut.
void ZelkSystemLog(const char *format, ...) __attribute__((format(printf, 1, 2)));
void ZelkSystemLogW(const wchar_t *format, ...);
void ZelkSystemLogWrite(uint32_t mask, std::string text);
// For signal handlers: delivers an ASCII line without the lock and without allocating, to the
// console and the debugger output (observers may hold the lock, so they do not get it).
void ZelkSystemLogFromSignal(const char *ascii);

// The console destination becomes standard error, for a program whose standard output holds
// only its messages to the user.
void ZelkSendSystemLogToStandardError();

void ZelkAddSystemLogObserver(ZelkSystemLogObserver *observer);
void ZelkRemoveSystemLogObserver(ZelkSystemLogObserver *observer);

// The process-wide recursive lock that serialises every delivery; held by the assertion path
// while it writes its report.
std::recursive_mutex &ZelkSystemLogLock();
