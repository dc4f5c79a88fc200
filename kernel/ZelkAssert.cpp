#include "kernel/ZelkAssert.h"

#include <cstdlib>
#include <mutex>

#include "kernel/ZelkSystemLog.h"

AssertReportFunction ZelkAssertReportHook = nullptr;

void ZelkAssert(bool condition, const char *text)
{
    if (condition)
        return;
    // Held to the end, so no other thread's lines come between the assertion and its report.
    ZelkSystemLogLock().lock();
    ZelkSystemLog("Assertion failed: %s", text ? text : "");
    if (ZelkAssertReportHook)
        ZelkAssertReportHook();
    std::abort();
}
