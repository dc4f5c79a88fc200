#include "kernel/WorkerThreads.h"

#include <algorithm>
#include <atomic>

size_t WorkerThreads::Start(size_t count, const std::function<void()> &body)
{
    // Room first: a thread that runs must never be lost to a failed allocation.
    m_threads.reserve(m_threads.size() + count);
    size_t started = 0;
    for (; started < count; ++started)
    {
        std::thread thread;
        if (!StartThread(thread, body))
            break;
        m_threads.push_back(std::move(thread));
    }
    return started;
}

void WorkerThreads::Join()
{
    for (std::thread &thread : m_threads)
        thread.join();
    m_threads.clear();
}

void ForEachOnThreads(size_t count, size_t maxThreads, size_t itemsPerThread,
                      const std::function<void(size_t)> &body)
{
    std::atomic<size_t> next{0};
    const auto work = [&] {
        for (size_t i = next++; i < count; i = next++)
            body(i);
    };
    const size_t wanted = std::min<size_t>(
        {std::max(1u, std::thread::hardware_concurrency()), maxThreads, count / itemsPerThread + 1});
    WorkerThreads helpers;
    helpers.Start(wanted - 1, work);
    work();
    helpers.Join();
}
