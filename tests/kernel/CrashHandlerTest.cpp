// Crashes in child processes: each kind of fault on each kind of thread leaves the report a
// developer needs, under the right name, once, and the process ends as it should.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <pthread.h>
#include <regex>
#include <stdexcept>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "ChildRun.h"
#include "TestFiles.h"
#include "kernel/CrashHandler.h"
#include "kernel/OSThread.h"

namespace
{
namespace fs = std::filesystem;
using testfiles::ReadFile;
using testfiles::TempDirectory;
using testfiles::WriteFile;

constexpr char kThisFile[] = "tests/kernel/CrashHandlerTest.cpp";
constexpr char kTopLevelDump[] = "Korvil-38285.dmp";

// The faults. Each is its own function, so that the report can be checked for its name and line,
// and a real fault also in a build that checks for undefined behaviour (which would report and
// abort instead).

__attribute__((noinline, no_sanitize("undefined"))) void NullWrite()
{
    volatile int *volatile target = nullptr;
    *target = 1; // FAULT(null write)
}

volatile int g_zero = 0;

volatile int g_dividend = 12345;

__attribute__((noinline, no_sanitize("undefined"))) void DivideByZero()
{
    volatile int quotient = g_dividend / g_zero; // FAULT(division)
    (void)quotient;
}

__attribute__((noinline)) void Trap()
{
    __builtin_trap(); // FAULT(trap)
}

__attribute__((noinline)) void AbortHere()
{
    std::abort(); // FAULT(abort)
}

__attribute__((noinline)) void ReadPastTheEndOfAMappedFile()
{
    const int fd = open("shrinking", O_RDWR | O_CREAT, 0600);
    if (fd < 0 || ftruncate(fd, 4096) != 0)
        return;
    const volatile char *mapped = static_cast<const volatile char *>(mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0));
    if (mapped == MAP_FAILED || ftruncate(fd, 0) != 0)
        return;
    (void)mapped[0]; // FAULT(bus)
}

volatile bool g_keepRecursing = true;

__attribute__((noinline)) int Recurse(int depth)
{
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    if (!g_keepRecursing)
        return frame[0];
    return Recurse(depth + 1) + frame[0];
}

void OverflowTheStack()
{
    Recurse(0);
}

enum class Thread
{
    Main,
    // One of ours, as the socket and agent threads are.
    OsThread,
    // A thread of no class of ours.
    Foreign,
    // A worker inside the fatal-exception guard.
    Guarded,
};

constexpr char kVictimName[] = "victim";

void RunOn(Thread where, void (*fault)())
{
    switch (where)
    {
    case Thread::Main:
        fault();
        return;
    case Thread::OsThread: {
        OS::Thread thread;
        thread.Start(
            [](void *parameter) -> uint32_t {
                pthread_setname_np(pthread_self(), kVictimName);
                reinterpret_cast<void (*)()>(parameter)();
                return 0;
            },
            reinterpret_cast<void *>(fault));
        thread.Wait();
        return;
    }
    case Thread::Foreign:
        std::thread([fault] {
            pthread_setname_np(pthread_self(), kVictimName);
            fault();
        }).join();
        return;
    case Thread::Guarded:
        std::thread([fault] {
            const ZelkFatalExceptionGuard guard(kVictimName);
            fault();
        }).join();
        return;
    }
}

std::vector<std::string> DumpFiles(const fs::path &directory)
{
    std::vector<std::string> names;
    for (const fs::directory_entry &entry : fs::directory_iterator(directory))
    {
        if (entry.path().extension() == ".dmp")
            names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The report's stack line of a function, with its file and line when a marker is given (and any
// place, or none, when not).
std::string StackLinePattern(const std::string &function, const char *marker)
{
    std::string pattern =
        "\n  #[0-9]+ +0x[0-9a-f]{16} [^\n]*\\b" + std::regex_replace(function, std::regex(R"([()])"), R"(\$&)");
    if (marker)
        pattern += " at [^\n]*/" + std::string(kThisFile) + ":" + std::to_string(SourceLineOf(kThisFile, marker));
    else
        pattern += "( at [^\n]*)?";
    return pattern + " \\[[^\n]*\\]\n";
}

bool Matches(const std::string &text, const std::string &pattern)
{
    return std::regex_search(text, std::regex(pattern));
}

// The build id of a file as the toolchain reads it.
std::string BuildIdOf(const std::string &path)
{
    const std::string command = "readelf -n '" + path + "' 2>/dev/null";
    FILE *pipe = popen(command.c_str(), "r");
    std::string output;
    char buffer[512];
    while (pipe && fgets(buffer, sizeof buffer, pipe))
        output += buffer;
    if (pipe)
        pclose(pipe);
    std::smatch match;
    return std::regex_search(output, match, std::regex("Build ID: ([0-9a-f]+)")) ? match[1].str() : "";
}

std::string OwnExecutable()
{
    return fs::read_symlink("/proc/self/exe").string();
}

struct FaultCase
{
    const char *name;
    Thread thread;
    void (*fault)();
    int signal;
    const char *reason;
    const char *function;
    // The fault's line in this file; null where the fault has no fixed line (a stack overflow).
    const char *marker;
};

class CrashReportTest : public testing::TestWithParam<FaultCase>
{
};

TEST_P(CrashReportTest, FaultLeavesAReportNamingTheFaultAndEndsBySignal)
{
    const FaultCase &fault = GetParam();
    const TempDirectory directory;
    const ChildOutcome outcome = RunInChild(directory.Path(), [&] {
        ZelkInstallCrashHandlers();
        RunOn(fault.thread, fault.fault);
    });
    ASSERT_TRUE(outcome.KilledBy(fault.signal)) << outcome.Describe();
    ASSERT_EQ(DumpFiles(directory.Path()), std::vector<std::string>{kTopLevelDump});
    const std::string dump = directory / kTopLevelDump;
    EXPECT_NE(outcome.output.find("Crash report: " + dump + "\n"), std::string::npos) << outcome.output;

    const std::string report = ReadFile(dump);
    EXPECT_NE(report.find("\nreason: " + std::string(fault.reason)), std::string::npos) << report;
    EXPECT_TRUE(Matches(report, StackLinePattern(fault.function, fault.marker))) << report;
    EXPECT_NE(report.find("\nversion: 35673\n"), std::string::npos) << report;
    EXPECT_TRUE(Matches(report, "\ncommand line: [^\n]*kernel_tests")) << report;
    EXPECT_TRUE(Matches(report, "\nregisters:\n  rip 0x[0-9a-f]{16}  rsp 0x")) << report;
    const std::string ownModule = OwnExecutable() + " build id " + BuildIdOf(OwnExecutable()) + "\n";
    EXPECT_NE(report.find("\nmodules:\n"), std::string::npos) << report;
    EXPECT_NE(report.find(ownModule), std::string::npos) << report;
    if (fault.thread == Thread::Main)
    {
        EXPECT_TRUE(Matches(report, "\nfaulting thread: " + std::to_string(outcome.pid) + " \"kernel_tests\"\n"))
            << report;
    }
    else
    {
        EXPECT_TRUE(Matches(report, "\nfaulting thread: [0-9]+ \"victim\"\n")) << report;
        EXPECT_TRUE(Matches(report, "\nother threads:[^\n]* " + std::to_string(outcome.pid) + " \"kernel_tests\""))
            << report;
    }
}

const FaultCase kFaultCases[] = {
    {"NullWriteOnTheMainThread", Thread::Main, NullWrite, SIGSEGV,
     "signal 11 (SIGSEGV), code 1 (SEGV_MAPERR), fault address 0x0000000000000000", "NullWrite()", "FAULT(null write)"},
    {"NullWriteOnAnOsThread", Thread::OsThread, NullWrite, SIGSEGV,
     "signal 11 (SIGSEGV), code 1 (SEGV_MAPERR), fault address 0x0000000000000000", "NullWrite()", "FAULT(null write)"},
    {"NullWriteOnAForeignThread", Thread::Foreign, NullWrite, SIGSEGV,
     "signal 11 (SIGSEGV), code 1 (SEGV_MAPERR), fault address 0x0000000000000000", "NullWrite()", "FAULT(null write)"},
    {"DivisionByZero", Thread::Main, DivideByZero, SIGFPE, "signal 8 (SIGFPE), code 1 (FPE_INTDIV), fault address 0x",
     "DivideByZero()", "FAULT(division)"},
    {"IllegalInstruction", Thread::Main, Trap, SIGILL, "signal 4 (SIGILL), code 2 (ILL_ILLOPN), fault address 0x",
     "Trap()", "FAULT(trap)"},
    {"Abort", Thread::OsThread, AbortHere, SIGABRT, "signal 6 (SIGABRT), code -6 (SI_TKILL), sent by process",
     "AbortHere()", "FAULT(abort)"},
    {"BusError", Thread::Main, ReadPastTheEndOfAMappedFile, SIGBUS,
     "signal 7 (SIGBUS), code 2 (BUS_ADRERR), fault address 0x", "ReadPastTheEndOfAMappedFile()", "FAULT(bus)"},
    {"StackOverflowOnTheMainThread", Thread::Main, OverflowTheStack, SIGSEGV, "signal 11 (SIGSEGV)", "Recurse(int)",
     nullptr},
    {"StackOverflowOnAnOsThread", Thread::OsThread, OverflowTheStack, SIGSEGV, "signal 11 (SIGSEGV)", "Recurse(int)",
     nullptr},
};

INSTANTIATE_TEST_SUITE_P(Faults, CrashReportTest, testing::ValuesIn(kFaultCases),
                         [](const testing::TestParamInfo<FaultCase> &info) { return std::string(info.param.name); });

TEST(CrashHandler, TakenNamesAreNumberedOn)
{
    const TempDirectory directory;
    WriteFile(directory / "Korvil-38285.dmp", "first");
    WriteFile(directory / "Korvil-38285_2.dmp", "second");
    const ChildOutcome outcome = RunInChild(directory.Path(), [] {
        ZelkInstallCrashHandlers();
        RunOn(Thread::OsThread, NullWrite);
    });
    ASSERT_TRUE(outcome.KilledBy(SIGSEGV)) << outcome.Describe();
    EXPECT_EQ(DumpFiles(directory.Path()),
              (std::vector<std::string>{"Korvil-38285.dmp", "Korvil-38285_2.dmp", "Korvil-38285_3.dmp"}));
    EXPECT_EQ(ReadFile(directory / "Korvil-38285.dmp"), "first");
    EXPECT_EQ(ReadFile(directory / "Korvil-38285_2.dmp"), "second");
    EXPECT_NE(ReadFile(directory / "Korvil-38285_3.dmp").find("NullWrite()"), std::string::npos);
}

// The report's directory may be another account's: a link planted under the report's name is a
// taken name like any other, and the file it names stays as it was.
TEST(CrashHandler, PlantedLinkIsATakenNameNeverWrittenThrough)
{
    const TempDirectory directory;
    WriteFile(directory / "precious", "kept");
    std::filesystem::create_symlink(directory / "precious", directory / "Korvil-38285.dmp");
    const ChildOutcome outcome = RunInChild(directory.Path(), [] {
        ZelkInstallCrashHandlers();
        RunOn(Thread::OsThread, NullWrite);
    });
    ASSERT_TRUE(outcome.KilledBy(SIGSEGV)) << outcome.Describe();
    EXPECT_EQ(ReadFile(directory / "precious"), "kept");
    EXPECT_NE(ReadFile(directory / "Korvil-38285_2.dmp").find("NullWrite()"), std::string::npos);
}

TEST(CrashHandler, FaultsOnTwoThreadsAtOnceLeaveOneReport)
{
    const TempDirectory directory;
    const ChildOutcome outcome = RunInChild(directory.Path(), [] {
        ZelkInstallCrashHandlers();
        std::atomic<int> ready{0};
        auto faultWithTheOther = [&ready] {
            ++ready;
            while (ready < 2)
            {
            }
            NullWrite();
        };
        std::thread first(faultWithTheOther);
        std::thread second(faultWithTheOther);
        first.join();
        second.join();
    });
    EXPECT_TRUE(outcome.KilledBy(SIGSEGV)) << outcome.Describe();
    EXPECT_EQ(DumpFiles(directory.Path()), std::vector<std::string>{kTopLevelDump});
}

TEST(CrashHandler, FaultWhileTheReportIsWrittenEndsWithoutASecondReport)
{
    const TempDirectory directory;
    const ChildOutcome outcome = RunInChild(directory.Path(),
                                            [] {
                                                ZelkInstallCrashHandlers();
                                                NullWrite();
                                            },
                                            {{"ZELK_TEST_CRASH", "report"}});
    EXPECT_TRUE(outcome.KilledBy(SIGSEGV)) << outcome.Describe();
    ASSERT_EQ(DumpFiles(directory.Path()), std::vector<std::string>{kTopLevelDump});
    // What was written before the second fault stays.
    const std::string report = ReadFile(directory / kTopLevelDump);
    EXPECT_NE(report.find("reason: signal 11 (SIGSEGV)"), std::string::npos) << report;
    EXPECT_EQ(report.find("stack of the faulting thread"), std::string::npos) << report;
}

TEST(CrashHandler, ReportGoesToTheTemporaryDirectoryWhenTheCurrentOneTakesNone)
{
    const TempDirectory directory;
    fs::create_directories(directory.Path() / "temp");
    const std::string gone = directory / "gone";
    const ChildOutcome outcome =
        RunInChild(directory.Path(),
                   [&] {
                       ZelkInstallCrashHandlers();
                       // Even root cannot create a file in a directory that no longer exists.
                       if (mkdir(gone.c_str(), 0700) != 0 || chdir(gone.c_str()) != 0 || rmdir(gone.c_str()) != 0)
                           _exit(3);
                       NullWrite();
                   },
                   {{"TEMP", directory / "temp"}});
    ASSERT_TRUE(outcome.KilledBy(SIGSEGV)) << outcome.Describe();
    const std::string dump = directory / "temp/Korvil-38285.dmp";
    EXPECT_NE(ReadFile(dump).find("NullWrite()"), std::string::npos);
    EXPECT_NE(outcome.output.find("Crash report: " + dump), std::string::npos) << outcome.output;
}

__attribute__((noinline)) void AskForADump()
{
    ZelkWriteDumpHere(); // FAULT(dump here)
    // Not a tail call, so that this function stays on the stack.
    asm volatile("" ::: "memory");
}

TEST(CrashHandler, DumpHereWritesTheCallersStateOnceAndReturns)
{
    const TempDirectory directory;
    const ChildOutcome outcome = RunInChild(directory.Path(), [] {
        AskForADump();
        AskForADump();
        std::printf("still running\n");
    });
    ASSERT_TRUE(outcome.ExitedWith(0)) << outcome.Describe();
    EXPECT_NE(outcome.output.find("still running"), std::string::npos);
    ASSERT_EQ(DumpFiles(directory.Path()), std::vector<std::string>{kTopLevelDump});
    const std::string report = ReadFile(directory / kTopLevelDump);
    EXPECT_NE(report.find("\nreason: no fault: the report was asked for\n"), std::string::npos) << report;
    EXPECT_TRUE(Matches(report, StackLinePattern("AskForADump()", "FAULT(dump here)"))) << report;
}

__attribute__((noinline)) void ExitFromDeepInside()
{
    std::exit(3); // FAULT(exit)
}

TEST(CrashHandler, UnexpectedExitLeavesAReportAndAnOrderlyOneNone)
{
    struct ExitCase
    {
        bool disarmed;
        bool reportExpected;
    };
    for (const ExitCase exitCase : {ExitCase{false, true}, ExitCase{true, false}})
    {
        SCOPED_TRACE(exitCase.disarmed ? "disarmed" : "armed");
        const TempDirectory directory;
        const ChildOutcome outcome = RunInChild(directory.Path(), [&] {
            ZelkInstallCrashHandlers();
            if (exitCase.disarmed)
                ZelkDisarmExitDump();
            ExitFromDeepInside();
        });
        EXPECT_TRUE(outcome.ExitedWith(3)) << outcome.Describe();
        const std::vector<std::string> expected =
            exitCase.reportExpected ? std::vector<std::string>{kTopLevelDump} : std::vector<std::string>{};
        ASSERT_EQ(DumpFiles(directory.Path()), expected);
        if (exitCase.reportExpected)
        {
            EXPECT_TRUE(
                Matches(ReadFile(directory / kTopLevelDump), StackLinePattern("ExitFromDeepInside()", "FAULT(exit)")));
        }
    }
}

TEST(CrashHandler, ClosedConsoleIsLoggedAndEndsWithoutAReport)
{
    const TempDirectory directory;
    const ChildOutcome outcome = RunInChild(directory.Path(), [] {
        ZelkInstallCrashHandlers();
        raise(SIGHUP);
    });
    EXPECT_TRUE(outcome.KilledBy(SIGHUP)) << outcome.Describe();
    EXPECT_EQ(outcome.output, "Console Window event handler called for CtrlType=2\n");
    EXPECT_EQ(DumpFiles(directory.Path()), std::vector<std::string>{});
}

TEST(CrashHandler, EarlyHandlerShowsTheStackUntilTheRealHandlersReplaceIt)
{
    for (const bool started : {false, true})
    {
        SCOPED_TRACE(started ? "after start-up" : "before start-up");
        const TempDirectory directory;
        const ChildOutcome outcome = RunInChild(directory.Path(), [&] {
            for (const int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT})
                std::signal(signal, SIG_DFL);
            ZelkInstallEarlyCrashHandler();
            if (started)
                ZelkInstallCrashHandlers();
            NullWrite();
        });
        EXPECT_TRUE(outcome.KilledBy(SIGSEGV)) << outcome.Describe();
        const bool early = outcome.output.find("Memory bound was overwritten\n\nCall stack:\n") != std::string::npos;
        EXPECT_EQ(early, !started) << outcome.output;
        EXPECT_EQ(DumpFiles(directory.Path()).size(), started ? 1u : 0u);
        if (!started)
        {
            const std::string line = "/" + std::string(kThisFile) + "\\(" +
                                     std::to_string(SourceLineOf(kThisFile, "FAULT(null write)")) +
                                     "\\), [^\n]*\\bNullWrite\\(\\)\n";
            EXPECT_TRUE(Matches(outcome.output, line)) << outcome.output;
        }
    }
}

// The application's fatal path as a test stands for it: report, path on standard error, 255.
void FatalPath()
{
    ZelkPrintCrashReportPath(ZelkWriteFatalDump());
    ZelkEndProcessAfterFatalError();
}

// A fatal path that claims the fault and comes back.
void ReturningFatalPath() {}

__attribute__((noinline)) void ThrowAndDie()
{
    try
    {
        throw std::runtime_error("disk on fire");
    }
    catch (...)
    {
        ZelkNoteCurrentException();
        std::abort();
    }
}

struct FatalCase
{
    const char *name;
    // Null: the fatal path is not enabled.
    ZelkFatalExceptionFunction fatalPath;
    Thread thread;
    void (*fault)();
    const char *testSwitch;
    bool fatalReport;
    const char *expectedText;
};

class FatalPathTest : public testing::TestWithParam<FatalCase>
{
};

TEST_P(FatalPathTest, FaultTakesTheRightPath)
{
    const FatalCase &fatal = GetParam();
    const TempDirectory directory;
    std::vector<std::pair<std::string, std::string>> environment = {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}};
    if (fatal.testSwitch)
        environment.push_back({"ZELK_TEST_CRASH", fatal.testSwitch});
    const ChildOutcome outcome = RunInChild(
        directory.Path(),
        [&] {
            ZelkInstallCrashHandlers();
            // Enabled on another thread, so that the main thread stays unguarded unless asked.
            if (fatal.fatalPath && fatal.thread == Thread::Main)
                ZelkSetFatalDumpName("patcher", fatal.fatalPath);
            else if (fatal.fatalPath)
                std::thread([&] { ZelkSetFatalDumpName("patcher", fatal.fatalPath); }).join();
            RunOn(fatal.thread, fatal.fault);
        },
        environment);
    const std::vector<std::string> dumps = DumpFiles(directory.Path());
    ASSERT_EQ(dumps.size(), 1u) << outcome.Describe();
    const std::string report = ReadFile(directory / dumps[0]);
    if (fatal.fatalReport)
    {
        EXPECT_TRUE(outcome.ExitedWith(255)) << outcome.Describe();
        EXPECT_TRUE(std::regex_match(dumps[0], std::regex(R"(patcher-v35673-\d{4}\.\d\d\.\d\d-\d\d\.\d\d\.\d\d\.dmp)")))
            << dumps[0];
        EXPECT_NE(outcome.output.find("Unhandled Exception. Crash report: " + (directory / dumps[0]) + "\n"),
                  std::string::npos)
            << outcome.output;
    }
    else
    {
        EXPECT_FALSE(WIFEXITED(outcome.status)) << outcome.Describe();
        EXPECT_EQ(dumps[0], kTopLevelDump);
    }
    EXPECT_NE(report.find(fatal.expectedText), std::string::npos) << report;
}

const FatalCase kFatalCases[] = {
    {"GuardedWorker", FatalPath, Thread::Guarded, NullWrite, nullptr, true, "NullWrite()"},
    {"MainThreadOnceEnabled", FatalPath, Thread::Main, NullWrite, nullptr, true, "NullWrite()"},
    {"FatalPathThatReturns", ReturningFatalPath, Thread::Guarded, NullWrite, nullptr, true, "NullWrite()"},
    {"UnhandledException", FatalPath, Thread::Guarded, ThrowAndDie, nullptr, true,
     "\nnote: unhandled C++ exception of type std::runtime_error: disk on fire\n"},
    {"TestSwitchInTheGuard", FatalPath, Thread::Guarded, [] {}, kVictimName, true, "WriteThroughNullPointer()"},
    {"UnguardedThread", FatalPath, Thread::OsThread, NullWrite, nullptr, false, "NullWrite()"},
    {"GuardWithoutTheFatalPath", nullptr, Thread::Guarded, NullWrite, nullptr, false, "NullWrite()"},
};

INSTANTIATE_TEST_SUITE_P(Paths, FatalPathTest, testing::ValuesIn(kFatalCases),
                         [](const testing::TestParamInfo<FatalCase> &info) { return std::string(info.param.name); });
} // namespace
