// Crash handling: every way the process can die leaves a crash report ("dump") that a developer
// can act on: the reason, the faulting thread and its registers, its symbolised call stack, the
// other threads, the loaded modules with their build ids, the version and the command line.
//
// Two kinds of report, each written at most once per process, in the current directory (or the
// temporary directory when the current one takes no file):
// - "Korvil-38285.dmp" (then "Korvil-38285_2.dmp", "_3", ... when taken) from the top-level
//   handler, for a fault on any thread outside the fatal-exception guard, and on request
//   (assertions, the exit check);
// - "<program>-v35673-<local time>.dmp" from the application's fatal path, for a fault on a
//   guarded thread once ZelkSetFatalDumpName has enabled it.
//
// The handlers run on a stack of their own and only do what is safe in a signal handler: no
// allocation and no lock that the faulting thread might hold. Symbols are resolved by a fresh
// process of the same program, which inherits no lock from the crashed one.
#pragma once

// The build numbers in the dump names: the product's for the top-level report, the patcher's own
// for the fatal one.
constexpr int kProductBuildNumber = 38285;
constexpr char kPatcherBuildNumber[] = "35673";

// The application's fatal-error exit status.
constexpr int kFatalErrorExitStatus = 255;

// Installs the handlers of SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT (replacing the allocation
// tracker's early handler), arms the exit check (an exit while armed writes the top-level report)
// and installs the console handler (SIGHUP: logged, the exit check disarmed, then the default
// ending). The calling thread gets its crash stack.
void ZelkInstallCrashHandlers();
// Disarms the exit check: an orderly exit is not a crash.
void ZelkDisarmExitDump();

// The application's fatal path. It runs on the faulting thread inside the signal handler, so it
// may only use what is safe there (the functions below are); it should not return.
using ZelkFatalExceptionFunction = void (*)();

// Unless a debugger is attached: names the fatal dump "<program>-v35673-<local time>.dmp" and
// enables the fatal-exception hook: from now on a fault on the calling thread, or on a thread
// inside a ZelkFatalExceptionGuard, calls onFatalException instead of the top-level handler.
void ZelkSetFatalDumpName(const char *program, ZelkFatalExceptionFunction onFatalException);
// Writes the fatal dump of the fault being handled, or of the calling thread's current state when
// no fault is. The report's absolute path; null when it was written before or cannot be created.
const char *ZelkWriteFatalDump();
// Shows "Unhandled Exception" / "Fatal Error" through a fresh process of this program (a crashed
// toolkit cannot be trusted), started with kZelkCrashReportSwitch and the report's path, and waits
// until the user has closed it. False when there was no display at start-up or the process could
// not be started.
bool ZelkShowFatalErrorBox(const char *reportPath);
// Writes "Unhandled Exception. Crash report: <path>" on standard error.
void ZelkPrintCrashReportPath(const char *reportPath);
// Ends the process at once with kFatalErrorExitStatus.
[[noreturn]] void ZelkEndProcessAfterFatalError();
// Describes the exception being handled (its type and message) in the next report. Call it from
// inside a catch block.
void ZelkNoteCurrentException();

// The switch (followed by the report's path) with which the fatal-error box process starts.
constexpr char kZelkCrashReportSwitch[] = "--show-crash-report";

// The fatal-exception guard of a worker thread, for the life of the object: a fault on the thread
// takes the application's fatal path once it is enabled, otherwise the top-level handler's. Gives
// the thread its crash stack and its name (at most 15 bytes show). When a debugger is attached the
// thread runs unguarded.
class ZelkFatalExceptionGuard
{
public:
    explicit ZelkFatalExceptionGuard(const char *threadName);
    ~ZelkFatalExceptionGuard();
    ZelkFatalExceptionGuard(const ZelkFatalExceptionGuard &) = delete;
    ZelkFatalExceptionGuard &operator=(const ZelkFatalExceptionGuard &) = delete;

private:
    bool m_active = false;
    bool m_wasGuarded = false;
    void *m_stack = nullptr;
};

// Gives the calling thread a stack of its own for the crash handlers, so that a thread that ran
// out of stack still leaves a report; for threads that are not otherwise guarded.
class ZelkThreadCrashStack
{
public:
    ZelkThreadCrashStack();
    ~ZelkThreadCrashStack();
    ZelkThreadCrashStack(const ZelkThreadCrashStack &) = delete;
    ZelkThreadCrashStack &operator=(const ZelkThreadCrashStack &) = delete;

private:
    void *m_stack;
};

// Writes the top-level report of the calling thread's current state and returns (only the first
// top-level report of the process is written).
void ZelkWriteDumpHere();
// Logs the calling thread's call stack on the system log: "callstack: " with the frame addresses,
// then with symbols one "  <module> <function> [<file>:<line>]" line per frame.
void ZelkLogCallStack(bool withSymbols);

// The allocation tracker's handler until start-up installs the real ones: prints "Memory bound
// was overwritten" and the faulting call stack on standard error; then the default ending.
void ZelkInstallEarlyCrashHandler();

// Test switch: when the variable ZELK_TEST_CRASH names the place, writes through a null pointer
// here. The guards pass their thread's name; "main" is the application's main thread after
// start-up; "report" is inside the report writer.
void ZelkCrashTestPoint(const char *place);
