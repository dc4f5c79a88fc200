// Crash handling of the patcher process: the fatal signal handlers and the dump written when the
// process dies. These are the entry points start-up and exit call; the handlers themselves are
// installed here once crash reports exist.
#pragma once

// Installs the process's fatal-signal handlers.
void ZelkInstallCrashHandlers();
// Names the dump written on a fatal error after the program ("patcher"), its build and the time.
void ZelkSetFatalDumpName(const char *program);
// Switches the exit-time dump off: a normal exit is not a crash.
void ZelkDisarmExitDump();
