#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>

#include "ChildRun.h"
#include "TestFiles.h"
#include "kernel/WorkerThreads.h"

namespace
{
// How often body saw each index.
std::unique_ptr<std::atomic<int>[]> Visits(size_t count, size_t maxThreads, size_t itemsPerThread)
{
    auto visits = std::make_unique<std::atomic<int>[]>(count);
    ForEachOnThreads(count, maxThreads, itemsPerThread, [&](size_t i) { ++visits[i]; });
    return visits;
}

bool EachOnce(const std::atomic<int> *visits, size_t count)
{
    for (size_t i = 0; i < count; ++i)
    {
        if (visits[i] != 1)
            return false;
    }
    return true;
}
} // namespace

TEST(WorkerThreads, ForEachOnThreadsDoesEveryItemOnce)
{
    const size_t cases[][3] = {{0, 8, 1}, {1, 8, 1}, {7, 8, 1}, {5000, 8, 4}, {5000, 1, 1}};
    for (const auto &[count, maxThreads, itemsPerThread] : cases)
    {
        SCOPED_TRACE(count);
        EXPECT_TRUE(EachOnce(Visits(count, maxThreads, itemsPerThread).get(), count));
    }
}

// A system that gives no thread: the work is still done, by the caller, and nothing throws.
TEST(WorkerThreads, NoThreadToGiveMeansFewerThreadsNotAnException)
{
    const testfiles::TempDirectory directory;
    const ChildOutcome outcome = RunInChild(directory.Path(), [] {
        const rlimit none = {0, 0};
        if (setgid(65534) != 0 || setuid(65534) != 0 || setrlimit(RLIMIT_NPROC, &none) != 0)
            _exit(3);
        std::thread thread;
        if (StartThread(thread, [] {}) || thread.joinable())
            _exit(4);
        WorkerThreads workers;
        if (workers.Start(4, [] {}) != 0 || workers.Size() != 0)
            _exit(5);
        if (!EachOnce(Visits(100, 8, 1).get(), 100))
            _exit(6);
    });
    EXPECT_TRUE(outcome.ExitedWith(0)) << outcome.Describe();
}
