// Crash handling on POSIX signals: the handlers, the crash state of the process, the fatal path and
// the guards. The reports themselves are written by CrashReportPosix.
#include "kernel/CrashHandler.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cxxabi.h>
#include <exception>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <typeinfo>
#include <ucontext.h>
#include <unistd.h>

#include "kernel/FileUtil.h"
#include "kernel/KernelStandard/ConsoleOutput.h"
#include "kernel/KernelStandard/CrashReportPosix.h"
#include "kernel/KernelStandard/SignalSafeText.h"
#include "kernel/StackWalk.h"
#include "kernel/TextConvert.h"
#include "kernel/ZelkSystemLog.h"

extern char **environ;

namespace
{
constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr size_t kCrashStackSize = 128 * 1024;
constexpr size_t kPathCapacity = kCrashPathCapacity;
constexpr size_t kNoteCapacity = 1024;
// The console control event of a console that went away, as the console handler reports it.
constexpr int kConsoleCloseEvent = 2;
constexpr char kTestCrashVariable[] = "ZELK_TEST_CRASH";
// The early handler's text, like the message box it stands for, holds at most this much.
constexpr size_t kEarlyTextCapacity = 4096;
constexpr char kEarlyCaption[] = "Memory bound was overwritten\n";
constexpr char kEarlyStackHeading[] = "\nCall stack:\n";
constexpr char kTopLevelDumpStem[] = "Korvil-";
constexpr char kDumpExtension[] = ".dmp";
constexpr char kOwnExecutable[] = "/proc/self/exe";

// The crash state of the process: constant-initialised, so the early handler may use it during
// static initialisation.
std::atomic<bool> g_exitDumpArmed{false};
std::atomic<bool> g_topLevelDumpDone{false};
std::atomic<bool> g_fatalDumpDone{false};
std::atomic<pid_t> g_crashingThread{0};
std::atomic<bool> g_exitCheckRegistered{false};
ZelkFatalExceptionFunction g_fatalFunction = nullptr;
bool g_displayPresent = false;
// Without its extension, which the numbering of a taken name goes before.
char g_fatalDumpStem[kPathCapacity];
char g_fallbackDirectory[kPathCapacity];
char g_testCrashPlace[64];
char g_note[kNoteCapacity];
// The path of the last report written, handed to the fatal path's caller.
char g_reportPath[kPathCapacity];

__attribute__((tls_model("initial-exec"))) thread_local bool t_guarded = false;

// The fault being handled, for the application's fatal path.
CrashFault g_fault;

bool SameText(const char *a, const char *b)
{
    return std::strcmp(a, b) == 0;
}

// The top-level report ("Korvil-38285.dmp", numbered): the first of the process only. True when
// this call wrote it.
bool WriteTopLevelDump(const CrashFault *fault, const void *from)
{
    if (g_topLevelDumpDone.exchange(true))
        return false;
    SignalSafeText<32> stem;
    stem.Text(kTopLevelDumpStem).Decimal(kProductBuildNumber);
    char path[kPathCapacity];
    const int fd = CreateCrashReportFile(stem.c_str(), kDumpExtension, g_fallbackDirectory, path);
    if (fd < 0)
        return false;
    WriteCrashReport(fd, fault, from, g_note, SameText(g_testCrashPlace, "report"));
    close(fd);
    CopySignalSafe(g_reportPath, sizeof g_reportPath, path);
    SignalSafeText<kPathCapacity + 32> line(STDERR_FILENO);
    line.Text("Crash report: ").Text(path).Char('\n');
    return true;
}

const char *WriteFatalDump(const void *from)
{
    if (!g_fatalDumpStem[0] || g_fatalDumpDone.exchange(true))
        return nullptr;
    char path[kPathCapacity];
    const int fd = CreateCrashReportFile(g_fatalDumpStem, kDumpExtension, g_fallbackDirectory, path);
    if (fd < 0)
        return nullptr;
    WriteCrashReport(fd, g_fault.signal ? &g_fault : nullptr, from, g_note, SameText(g_testCrashPlace, "report"));
    close(fd);
    CopySignalSafe(g_reportPath, sizeof g_reportPath, path);
    return g_reportPath;
}

// Handlers --------------------------------------------------------------------------------------------

[[noreturn]] void EndBySignal(int signal)
{
    struct sigaction standard
    {
    };
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    sigaction(signal, &standard, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    // A signal the default action does not end the process with.
    _exit(128 + signal);
}

// Another thread's report is being written, and that thread ends the process.
[[noreturn]] void WaitForTheEnd()
{
    for (;;)
    {
        const timespec pause{1, 0};
        nanosleep(&pause, nullptr);
    }
}

// Claims the crash for the calling thread; a second fault ends the process at once (on this
// thread) or waits for the first thread's report to end it.
void ClaimCrash(int signal)
{
    const pid_t self = gettid();
    pid_t owner = 0;
    if (g_crashingThread.compare_exchange_strong(owner, self))
        return;
    if (owner == self)
        EndBySignal(signal);
    WaitForTheEnd();
}

void OnFatalSignal(int signal, siginfo_t *info, void *context)
{
    ClaimCrash(signal);
    g_fault.signal = signal;
    g_fault.info = info;
    g_fault.context = static_cast<const ucontext_t *>(context);
    if (t_guarded && g_fatalFunction)
    {
        g_fatalFunction();
        // The application claimed the fault and came back: end it as its fatal path would.
        const char *report = WriteFatalDump(nullptr);
        if (!ZelkShowFatalErrorBox(report))
            ZelkPrintCrashReportPath(report);
        ZelkEndProcessAfterFatalError();
    }
    WriteTopLevelDump(&g_fault, nullptr);
    EndBySignal(signal);
}

void OnEarlyFatalSignal(int signal, siginfo_t *, void *context)
{
    ClaimCrash(signal);
    {
        SignalSafeText<64> out(STDERR_FILENO);
        out.Text(kEarlyCaption).Text(kEarlyStackHeading);
    }
    WriteEarlyCallStack(STDERR_FILENO, static_cast<const ucontext_t *>(context),
                        kEarlyTextCapacity - (sizeof kEarlyStackHeading - 1));
    EndBySignal(signal);
}

void OnConsoleClosed(int signal)
{
    SignalSafeText<96> line;
    line.Text("Console Window event handler called for CtrlType=").Decimal(kConsoleCloseEvent);
    ZelkSystemLogFromSignal(line.c_str());
    g_exitDumpArmed = false;
    EndBySignal(signal);
}

void InstallFatalHandlers(void (*handler)(int, siginfo_t *, void *))
{
    struct sigaction action
    {
    };
    action.sa_sigaction = handler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    // A second fault while the report is written ends the process (the kernel does not deliver
    // a blocked fault signal, it kills); SIGPIPE from the symbol pipe must not.
    for (int signal : kFatalSignals)
        sigaddset(&action.sa_mask, signal);
    sigaddset(&action.sa_mask, SIGPIPE);
    for (int signal : kFatalSignals)
        sigaction(signal, &action, nullptr);
}

// The report shows who called exit.
__attribute__((noinline)) void OnExitCheck()
{
    if (g_exitDumpArmed)
        WriteTopLevelDump(nullptr, __builtin_return_address(0));
}

void *MakeCrashStack()
{
    const long pageSize = sysconf(_SC_PAGESIZE);
    // One page below the stack stays inaccessible: a handler that overruns it faults instead of
    // writing over something else.
    void *mapping = mmap(nullptr, kCrashStackSize + pageSize, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (mapping == MAP_FAILED)
        return nullptr;
    mprotect(mapping, pageSize, PROT_NONE);
    stack_t stack{};
    stack.ss_sp = static_cast<char *>(mapping) + pageSize;
    stack.ss_size = kCrashStackSize;
    if (sigaltstack(&stack, nullptr) != 0)
    {
        munmap(mapping, kCrashStackSize + pageSize);
        return nullptr;
    }
    return mapping;
}

void ReleaseCrashStack(void *mapping)
{
    if (!mapping)
        return;
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
    munmap(mapping, kCrashStackSize + sysconf(_SC_PAGESIZE));
}

// The main thread's crash stack lives as long as the process.
void GiveThreadACrashStack()
{
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE))
        return;
    MakeCrashStack();
}
} // namespace

// Interface ------------------------------------------------------------------------------------------

void ZelkInstallCrashHandlers()
{
    // Start-up state that the handlers read later without calling anything unsafe.
    CopySignalSafe(g_fallbackDirectory, sizeof g_fallbackDirectory, PathToNative(TempBaseDirectory()).c_str());
    CopySignalSafe(g_testCrashPlace, sizeof g_testCrashPlace, std::getenv(kTestCrashVariable));
    DebuggerOutputEnabled();
    // The unwinder's first use may load and bind; better here than in a handler.
    uint64_t frame;
    CaptureStackFrames(&frame, 1);

    GiveThreadACrashStack();
    InstallFatalHandlers(OnFatalSignal);
    g_exitDumpArmed = true;
    if (!g_exitCheckRegistered.exchange(true))
        std::atexit(OnExitCheck);
    struct sigaction closed
    {
    };
    closed.sa_handler = OnConsoleClosed;
    closed.sa_flags = SA_ONSTACK;
    sigemptyset(&closed.sa_mask);
    sigaction(SIGHUP, &closed, nullptr);
}

void ZelkDisarmExitDump()
{
    g_exitDumpArmed = false;
}

void ZelkSetFatalDumpName(const char *program, ZelkFatalExceptionFunction onFatalException)
{
    // A debugger wants the fault itself, not our report of it.
    if (IsDebuggerAttached())
        return;
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    std::snprintf(g_fatalDumpStem, sizeof g_fatalDumpStem, "%s-v%s-%i.%02i.%02i-%02i.%02i.%02i", program,
                  kPatcherBuildNumber, local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec);
    const char *display = std::getenv("DISPLAY");
    const char *wayland = std::getenv("WAYLAND_DISPLAY");
    g_displayPresent = (display && *display) || (wayland && *wayland);
    g_fatalFunction = onFatalException;
    t_guarded = true;
}

__attribute__((noinline)) const char *ZelkWriteFatalDump()
{
    return WriteFatalDump(__builtin_return_address(0));
}

bool ZelkShowFatalErrorBox(const char *reportPath)
{
    if (!g_displayPresent)
        return false;
    // The child tells whether it could start the program: an exec that works closes the pipe.
    int started[2];
    if (pipe2(started, O_CLOEXEC) != 0)
        return false;
    char program[kPathCapacity];
    ReadOwnExecutablePath(program, sizeof program);
    char reportSwitch[sizeof kZelkCrashReportSwitch];
    CopySignalSafe(reportSwitch, sizeof reportSwitch, kZelkCrashReportSwitch);
    char path[kPathCapacity];
    CopySignalSafe(path, sizeof path, reportPath ? reportPath : "");
    char *arguments[] = {program, reportSwitch, path, nullptr};
    const pid_t child = _Fork();
    if (child == 0)
    {
        close(started[0]);
        const int report = started[1];
        PrepareCrashChild(-1, -1, -1);
        execve(kOwnExecutable, arguments, environ);
        const char failed = 1;
        (void)!write(report, &failed, 1);
        _exit(127);
    }
    close(started[1]);
    if (child < 0)
    {
        close(started[0]);
        return false;
    }
    char failed = 0;
    ssize_t got;
    while ((got = read(started[0], &failed, 1)) < 0 && errno == EINTR)
    {
    }
    close(started[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR)
    {
    }
    return got == 0;
}

void ZelkPrintCrashReportPath(const char *reportPath)
{
    SignalSafeText<kPathCapacity + 64> line(STDERR_FILENO);
    line.Text("Unhandled Exception.");
    if (reportPath)
        line.Text(" Crash report: ").Text(reportPath);
    line.Char('\n');
}

void ZelkEndProcessAfterFatalError()
{
    _exit(kFatalErrorExitStatus);
}

void ZelkNoteCurrentException()
{
    std::string description = "unhandled C++ exception";
    if (const std::type_info *type = abi::__cxa_current_exception_type())
    {
        int status = 0;
        char *readable = abi::__cxa_demangle(type->name(), nullptr, nullptr, &status);
        description += std::string(" of type ") + (readable ? readable : type->name());
        std::free(readable);
    }
    try
    {
        throw;
    }
    catch (const std::exception &error)
    {
        description += std::string(": ") + error.what();
    }
    catch (...)
    {
    }
    CopySignalSafe(g_note, sizeof g_note, description.c_str());
}

ZelkFatalExceptionGuard::ZelkFatalExceptionGuard(const char *threadName)
{
    if (threadName)
    {
        char name[16];
        CopySignalSafe(name, sizeof name, threadName);
        pthread_setname_np(pthread_self(), name);
    }
    if (IsDebuggerAttached())
        return;
    m_active = true;
    m_wasGuarded = t_guarded;
    t_guarded = true;
    stack_t current{};
    if (sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE))
        m_stack = MakeCrashStack();
    ZelkCrashTestPoint(threadName);
}

ZelkFatalExceptionGuard::~ZelkFatalExceptionGuard()
{
    if (!m_active)
        return;
    t_guarded = m_wasGuarded;
    ReleaseCrashStack(m_stack);
}

ZelkThreadCrashStack::ZelkThreadCrashStack() : m_stack(nullptr)
{
    stack_t current{};
    if (sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE))
        m_stack = MakeCrashStack();
}

ZelkThreadCrashStack::~ZelkThreadCrashStack()
{
    ReleaseCrashStack(m_stack);
}

__attribute__((noinline)) void ZelkWriteDumpHere()
{
    WriteTopLevelDump(nullptr, __builtin_return_address(0));
}

void ZelkInstallEarlyCrashHandler()
{
    if (IsCrashSymbolProcess())
        return;
    // Only where nobody else handles the signal yet (a sanitizer's runtime, for one).
    for (int signal : kFatalSignals)
    {
        struct sigaction current
        {
        };
        if (sigaction(signal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL)
            return;
    }
    InstallFatalHandlers(OnEarlyFatalSignal);
}

void ZelkCrashTestPoint(const char *place)
{
    const char *wanted = std::getenv(kTestCrashVariable);
    if (place && wanted && SameText(place, wanted))
        WriteThroughNullPointer();
}
