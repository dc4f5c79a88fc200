#include "kernel/CrashHandler.h"

// No crash reports are written yet: start-up and exit already call these, so that the handlers
// take effect as soon as they are filled in, without touching the application.
void ZelkInstallCrashHandlers()
{
}

void ZelkSetFatalDumpName(const char *)
{
}

void ZelkDisarmExitDump()
{
}
