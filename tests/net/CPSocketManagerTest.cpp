#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/error.hpp>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <future>
#include <regex>
#include <string>
#include <thread>
#include <unistd.h>

#include "ChildRun.h"
#include "TestFiles.h"
#include "kernel/CrashHandler.h"
#include "kernel/OSThread.h"
#include "net/CPSocketManager.h"
#include "net/SocketErrors.h"
#include "net/SocketLibrary.h"

namespace
{
using namespace std::chrono_literals;

// Signals every operation that reaches it and records what the IOCP thread saw.
class SignallingHandler : public CPHandler
{
public:
    uint32_t HandleCompletion(IOOperation &operation, uint32_t error) override
    {
        onIOCPThread = IsInIOCPThread();
        stateSeen = operation.m_state;
        bytesSeen = operation.m_lastTransfer;
        errorSeen = error;
        operation.Signal(this);
        return 0;
    }
    intptr_t GetHandle() override { return -1; }

    std::atomic<bool> onIOCPThread{false};
    std::atomic<int32_t> stateSeen{-1};
    std::atomic<uint32_t> bytesSeen{0};
    std::atomic<uint32_t> errorSeen{0};
};

bool WaitUntil(const std::function<bool()> &condition)
{
    for (auto end = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < end;)
    {
        if (condition())
            return true;
        std::this_thread::sleep_for(1ms);
    }
    return condition();
}

std::promise<CPHandler *> *g_callbackSeen = nullptr;

void RecordCallback(CPHandler *handler, IOOperation *)
{
    g_callbackSeen->set_value(handler);
}
} // namespace

TEST(CPSocketManager, LivesFromTheFirstAcquireToTheLastReleaseAndEndsItsWorker)
{
    ASSERT_EQ(GetSocketManager(), nullptr) << "another test kept a reference";
    CPSocketManager *manager = AcquireSocketManager(1);
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(manager->GetWorkerCount(), 1u);
    ASSERT_TRUE(WaitUntil([] { return GetIOCPThreadId() != -1; }));
    const int32_t worker = GetIOCPThreadId();
    EXPECT_NE(worker, OS::GetCurrentThreadId());
    EXPECT_FALSE(IsInIOCPThread());
    const std::filesystem::path task = "/proc/self/task/" + std::to_string(worker);
    EXPECT_TRUE(std::filesystem::exists(task));

    EXPECT_EQ(AcquireSocketManager(1), manager);
    ReleaseSocketManager();
    EXPECT_EQ(GetSocketManager(), manager);
    ReleaseSocketManager();
    EXPECT_EQ(GetSocketManager(), nullptr);
    // The destructor returned only after the worker thread had ended.
    EXPECT_EQ(GetIOCPThreadId(), -1);
    EXPECT_FALSE(std::filesystem::exists(task));
}

TEST(CPSocketManager, APostedOperationIsHandledOnTheIOCPThreadAndWakesItsWaiter)
{
    CPSocketManager *manager = AcquireSocketManager(1);
    SignallingHandler handler;
    manager->Associate(handler);
    EXPECT_EQ(handler.GetManager(), manager);

    std::promise<CPHandler *> callbackSeen;
    g_callbackSeen = &callbackSeen;
    IOOperation operation(false);
    operation.m_handler = &handler;
    operation.m_callback = RecordCallback;
    EXPECT_TRUE(manager->Post(&handler, 5, &operation));
    operation.Wait();
    EXPECT_TRUE(operation.IsInState(IOOperation::STATE_COMPLETE));
    EXPECT_TRUE(operation.m_completed);
    EXPECT_TRUE(handler.onIOCPThread);
    EXPECT_EQ(handler.stateSeen, IOOperation::STATE_CAUGHT);
    EXPECT_EQ(handler.bytesSeen, 5u);
    EXPECT_EQ(handler.errorSeen, 0u);
    EXPECT_EQ(callbackSeen.get_future().get(), &handler);

    // An operation that frees itself has no waiter; its callback is the only news of its end.
    std::promise<CPHandler *> freedSeen;
    g_callbackSeen = &freedSeen;
    IOOperation *selfDeleting = new IOOperation(true);
    selfDeleting->m_handler = &handler;
    selfDeleting->m_callback = RecordCallback;
    manager->Post(&handler, 0, selfDeleting);
    auto freed = freedSeen.get_future();
    ASSERT_EQ(freed.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(freed.get(), &handler);
    ReleaseSocketManager();
    g_callbackSeen = nullptr;
}

namespace
{
// A handler that faults: a fault on the IOCP thread, a thread of the socket layer's own, must
// leave the report of any other thread's fault.
class FaultingHandler : public CPHandler
{
public:
    __attribute__((noinline, no_sanitize("undefined"))) uint32_t HandleCompletion(IOOperation &, uint32_t) override
    {
        volatile int *volatile target = nullptr;
        *target = 1; // FAULT(completion)
        return 0;
    }
    intptr_t GetHandle() override { return -1; }
};
} // namespace

TEST(CPSocketManager, FaultInACompletionLeavesTheCrashReportNamingTheHandler)
{
    const testfiles::TempDirectory directory;
    const ChildOutcome outcome = RunInChild(directory.Path(), [] {
        ZelkInstallCrashHandlers();
        // A manager of the child's own: the process-wide one's thread does not survive the fork.
        CPSocketManager manager(1);
        FaultingHandler handler;
        manager.Associate(handler);
        IOOperation operation(false);
        operation.m_handler = &handler;
        manager.Post(&handler, 0, &operation);
        operation.Wait();
    });
    ASSERT_TRUE(outcome.KilledBy(SIGSEGV)) << outcome.Describe();
    const std::string report = testfiles::ReadFile(directory / "Korvil-38285.dmp");
    std::smatch faulting;
    ASSERT_TRUE(std::regex_search(report, faulting, std::regex("\nfaulting thread: ([0-9]+) "))) << report;
    EXPECT_NE(faulting[1].str(), std::to_string(outcome.pid)) << report;
    const std::string line = std::to_string(SourceLineOf("tests/net/CPSocketManagerTest.cpp", "FAULT(completion)"));
    const std::regex handlerLine("\n  #[0-9]+ +0x[0-9a-f]+ [^\n]*FaultingHandler::HandleCompletion\\([^\n]* at "
                                 "[^\n]*/tests/net/CPSocketManagerTest\\.cpp:" +
                                 line + " ");
    EXPECT_TRUE(std::regex_search(report, handlerLine)) << report;
}

struct ErrorCase
{
    uint32_t platformError;
    ZELKRESULT result;
};

class MapPlatformErrorTest : public ::testing::TestWithParam<ErrorCase>
{
};

TEST_P(MapPlatformErrorTest, GivesTheResultCodeOfTheTable)
{
    EXPECT_EQ(MapPlatformError(GetParam().platformError), GetParam().result) << GetParam().platformError;
}

INSTANTIATE_TEST_SUITE_P(
    Table, MapPlatformErrorTest,
    ::testing::Values(ErrorCase{0, ZELKRESULT_OK}, ErrorCase{64, ZELKRESULT_CONNECTION_LOST},
                      ErrorCase{10050, ZELKRESULT_CONNECTION_LOST}, ErrorCase{10051, ZELKRESULT_CONNECTION_LOST},
                      ErrorCase{10054, ZELKRESULT_CONNECTION_LOST}, ErrorCase{10060, ZELKRESULT_CONNECTION_LOST},
                      ErrorCase{10065, ZELKRESULT_CONNECTION_LOST}, ErrorCase{995, ZELKRESULT_ABORTED},
                      ErrorCase{10014, ZELKRESULT_INVALID_ARGUMENT}, ErrorCase{10047, ZELKRESULT_INVALID_ARGUMENT},
                      ErrorCase{10049, ZELKRESULT_INVALID_ARGUMENT}, ErrorCase{10022, ZELKRESULT_INVALID_STATE},
                      ErrorCase{10037, ZELKRESULT_INVALID_STATE}, ErrorCase{10038, ZELKRESULT_INVALID_STATE},
                      ErrorCase{10093, ZELKRESULT_INVALID_STATE}, ErrorCase{10061, ZELKRESULT_REFUSED},
                      ErrorCase{2, ZELKRESULT_NETWORK}, ErrorCase{10055, ZELKRESULT_NETWORK},
                      ErrorCase{0x20000002u, ZELKRESULT_NETWORK}));

struct AsioErrorCase
{
    boost::system::error_code error;
    uint32_t platformError;
};

class PlatformErrorOfTest : public ::testing::TestWithParam<AsioErrorCase>
{
};

// The errors this platform reports become the numbers the table above reads.
TEST_P(PlatformErrorOfTest, GivesTheWindowsNumber)
{
    EXPECT_EQ(PlatformErrorOf(GetParam().error), GetParam().platformError) << GetParam().error.message();
}

INSTANTIATE_TEST_SUITE_P(
    Table, PlatformErrorOfTest,
    ::testing::Values(AsioErrorCase{{}, 0}, AsioErrorCase{boost::asio::error::connection_refused, 10061},
                      AsioErrorCase{boost::asio::error::connection_reset, 10054},
                      AsioErrorCase{boost::asio::error::broken_pipe, 10054},
                      AsioErrorCase{boost::asio::error::timed_out, 10060},
                      AsioErrorCase{boost::asio::error::network_unreachable, 10051},
                      AsioErrorCase{boost::asio::error::host_unreachable, 10065},
                      AsioErrorCase{boost::asio::error::network_down, 10050},
                      AsioErrorCase{boost::asio::error::operation_aborted, 995},
                      AsioErrorCase{boost::asio::error::bad_descriptor, 10038},
                      AsioErrorCase{boost::asio::error::no_buffer_space, 10055},
                      // Without a number of its own it cannot pass for one of the table.
                      AsioErrorCase{make_error_code(boost::system::errc::no_such_file_or_directory), 0x20000002u}));

TEST(IOOperation, NamesItsKinds)
{
    EXPECT_STREQ(IOOperation::GetOperationName(0), "IO_TCP_Invalid");
    EXPECT_STREQ(IOOperation::GetOperationName(7), "IO_TCP_StartRead");
    EXPECT_STREQ(IOOperation::GetOperationName(10), "IO_TCP_Disconnect");
    EXPECT_STREQ(IOOperation::GetOperationName(11), "IO_UNKNOWN");
    EXPECT_STREQ(IOOperation::GetOperationName(-1), "IO_UNKNOWN");
}

struct StartupCase
{
    uint8_t major;
    uint8_t minor;
    bool started;
};

class SocketLibraryTest : public ::testing::TestWithParam<StartupCase>
{
};

TEST_P(SocketLibraryTest, StartsOnlyWithTheVersionAskedFor)
{
    SocketLibrary library;
    EXPECT_EQ(library.Startup(GetParam().major, GetParam().minor), GetParam().started);
    EXPECT_EQ(library.IsStarted(), GetParam().started);
    library.Cleanup();
    EXPECT_FALSE(library.IsStarted());
}

INSTANTIATE_TEST_SUITE_P(Versions, SocketLibraryTest,
                         ::testing::Values(StartupCase{2, 2, true}, StartupCase{1, 1, true}, StartupCase{2, 0, true},
                                           // The platform offers 2.2 instead, which was not asked for.
                                           StartupCase{3, 0, false}, StartupCase{2, 3, false},
                                           StartupCase{0, 9, false}));

// A state change from the wrong state is two threads disagreeing about who owns the operation: it
// ends the process with the rule that was broken.
struct WrongStateCase
{
    const char *name;
    void (*change)(IOOperation &operation);
    const char *text;
};

class IOOperationDeathTest : public ::testing::TestWithParam<WrongStateCase>
{
};

TEST_P(IOOperationDeathTest, EndsTheProcessWithTheBrokenRule)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            IOOperation *operation = new IOOperation(false);
            GetParam().change(*operation);
        },
        std::string("Assertion failed: ") + GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Changes, IOOperationDeathTest,
    ::testing::Values(
        WrongStateCase{"SignalNeverPosted", [](IOOperation &operation) { operation.Signal(nullptr); },
                       "IsInState\\(STATE_CAUGHT\\) \\|\\| IsInState\\(STATE_FAILEDPOST\\)"},
        WrongStateCase{"PostTwice",
                       [](IOOperation &operation) {
                           operation.SetState(IOOperation::STATE_POSTED);
                           operation.SetState(IOOperation::STATE_POSTED);
                       },
                       "IsInState\\(STATE_UNUSED\\) \\|\\| IsInState\\(STATE_CAUGHT\\)"},
        WrongStateCase{"CatchUnposted",
                       [](IOOperation &operation) { operation.SetState(IOOperation::STATE_CAUGHT); },
                       "IsInState\\(STATE_POSTED\\)"},
        WrongStateCase{"DestroyWhilePosted",
                       [](IOOperation &operation) {
                           operation.SetState(IOOperation::STATE_POSTED);
                           delete &operation;
                       },
                       "IsInState\\(STATE_COMPLETE\\) \\|\\| IsInState\\(STATE_UNUSED\\)"},
        WrongStateCase{"UnknownState",
                       [](IOOperation &operation) { operation.SetState(static_cast<IOOperation::State>(9)); },
                       "false"}),
    [](const ::testing::TestParamInfo<WrongStateCase> &info) { return std::string(info.param.name); });
