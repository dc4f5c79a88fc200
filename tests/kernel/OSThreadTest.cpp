#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>

#include "TestFiles.h"
#include "kernel/OSThread.h"

namespace
{
// Where the assertions' crash reports go: a directory made once by the test process and inherited
// by the death-test children, which run the test again from its start.
std::string AssertionReportDirectory()
{
    constexpr char kVariable[] = "ZELK_TEST_REPORT_DIRECTORY";
    if (const char *inherited = std::getenv(kVariable))
        return inherited;
    static const testfiles::TempDirectory directory("zelk-reports");
    setenv(kVariable, directory.Path().c_str(), 1);
    return directory.Path();
}

uint32_t ReturnParameter(void *parameter)
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(parameter));
}

uint32_t SpinUntilSet(void *parameter)
{
    while (!static_cast<std::atomic<bool> *>(parameter)->load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 0;
}

class CountingThread : public OS::Thread
{
public:
    uint32_t Run() override
    {
        return 40 + 2;
    }
};

// Runs body on another thread and tells whether it finished in time, so a lock that is never
// released fails the test instead of hanging it.
bool FinishesOnAnotherThread(const std::function<void()> &body)
{
    auto done = std::async(std::launch::async, body);
    return done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
}
} // namespace

TEST(OSThread, WaitWithoutThreadReturnsZeroAtOnce)
{
    OS::Thread thread;
    EXPECT_EQ(thread.Wait(), 0u);
}

TEST(OSThread, ExitCodesComeBackAndAnEndedThreadMayBeReplaced)
{
    OS::Thread thread;
    ASSERT_TRUE(thread.Start(ReturnParameter, reinterpret_cast<void *>(uintptr_t{7})));
    EXPECT_EQ(thread.Wait(), 7u);
    EXPECT_EQ(thread.Wait(), 7u);
    ASSERT_TRUE(thread.Start(ReturnParameter, reinterpret_cast<void *>(uintptr_t{0xFFFFFFFF})));
    EXPECT_EQ(thread.Wait(), 0xFFFFFFFFu);

    // The second start comes without a Wait: an ended thread is joined and replaced.
    ASSERT_TRUE(thread.Start(ReturnParameter, reinterpret_cast<void *>(uintptr_t{1})));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(thread.Start(ReturnParameter, reinterpret_cast<void *>(uintptr_t{2})));
    EXPECT_EQ(thread.Wait(), 2u);

    CountingThread counting;
    ASSERT_TRUE(counting.Start());
    EXPECT_EQ(counting.Wait(), 42u);
}

TEST(OSThreadDeathTest, RestartingOrDestroyingARunningThreadAsserts)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char *expected = "Assertion failed: WaitForSingleObject\\(m_threadhandle, 0\\) == WAIT_OBJECT_0";
    const std::string reports = AssertionReportDirectory();
    EXPECT_DEATH(
        {
            (void)!chdir(reports.c_str());
            std::atomic<bool> release{false};
            OS::Thread thread;
            thread.Start(SpinUntilSet, &release);
            dup2(2, 1);
            thread.Start(SpinUntilSet, &release);
        },
        expected);
    EXPECT_DEATH(
        {
            (void)!chdir(reports.c_str());
            std::atomic<bool> release{false};
            dup2(2, 1);
            OS::Thread thread;
            thread.Start(SpinUntilSet, &release);
        },
        expected);
}

TEST(OSMutex, ReleaseByAThreadThatDoesNotHoldItThrows)
{
    OS::Mutex mutex;
    try
    {
        mutex.Release();
        FAIL() << "no exception";
    }
    catch (const OSException &error)
    {
        EXPECT_EQ(error.GetMessage(), "Failed to release the mutex");
        EXPECT_STREQ(error.what(), "Failed to release the mutex");
        const OSException copy = error;
        EXPECT_STREQ(copy.what(), "Failed to release the mutex");
    }

    // Held by another thread: this one still may not release it.
    mutex.Acquire();
    std::string message;
    EXPECT_TRUE(FinishesOnAnotherThread([&] {
        try
        {
            mutex.Release();
        }
        catch (const OSException &error)
        {
            message = error.GetMessage();
        }
        EXPECT_FALSE(OS::ReleaseMutex(mutex));
    }));
    EXPECT_EQ(message, "Failed to release the mutex");
    EXPECT_TRUE(OS::ReleaseMutex(mutex));
}

TEST(OSMutex, IsRecursiveAndTheScopeLockReleasesOnException)
{
    OS::Mutex mutex;
    mutex.Acquire();
    mutex.Acquire();
    mutex.Release();
    mutex.Release();
    EXPECT_THROW(mutex.Release(), OSException);

    try
    {
        OS::MutexLock outer(mutex);
        OS::MutexLock inner(mutex);
        throw std::runtime_error("leave the scope");
    }
    catch (const std::runtime_error &)
    {
    }
    EXPECT_TRUE(FinishesOnAnotherThread([&] { OS::MutexLock lock(mutex); }));
}

TEST(OSMutex, SerialisesThreads)
{
    OS::Mutex mutex;
    long counter = 0;
    struct Worker
    {
        OS::Mutex *mutex;
        long *counter;
    } worker{&mutex, &counter};
    auto increment = [](void *parameter) -> uint32_t {
        Worker *worker = static_cast<Worker *>(parameter);
        for (int i = 0; i < 100000; ++i)
        {
            OS::MutexLock lock(*worker->mutex);
            const long value = *worker->counter;
            *worker->counter = value + 1;
        }
        return 0;
    };
    OS::Thread threads[4];
    for (OS::Thread &thread : threads)
        ASSERT_TRUE(thread.Start(increment, &worker));
    for (OS::Thread &thread : threads)
        thread.Wait();
    EXPECT_EQ(counter, 400000);
}

TEST(OSEvent, ManualStaysSetAndAutomaticLetsOneThrough)
{
    OS::Event manual(true, false);
    EXPECT_FALSE(manual.Wait(10));
    manual.Set();
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Wait(0));
    manual.Reset();
    EXPECT_FALSE(manual.Wait(0));

    OS::Event automatic(false, true);
    EXPECT_TRUE(automatic.Wait(0));
    EXPECT_FALSE(automatic.Wait(0));
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        automatic.Set();
    });
    EXPECT_TRUE(automatic.Wait(OS::kWaitInfinite));
    setter.join();
}
