#include "kernel/ZelkAssert.h"

#include <csignal>
#include <cstdlib>
#include <mutex>

#include "kernel/CrashHandler.h"
#include "kernel/ZelkSystemLog.h"

void ZelkAssertFailed(const char *text)
{
    ZelkSystemLogLock().lock();
    ZelkSystemLog("Assertion failed: %s", text ? text : "");
    ZelkWriteDumpHere();
    ZelkLogCallStack(true);
    ZelkSystemLogLock().unlock();
    // The report is written: the abort must end the process, not start another report.
    std::signal(SIGABRT, SIG_DFL);
    std::abort();
}
