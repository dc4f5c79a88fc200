// Threads the program starts for work of its own. A system that has no thread to give makes the
// work go on with fewer threads, or be reported as not started: never an exception that ends the
// process.
#pragma once

#include <cstddef>
#include <functional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

// Starts body on thread, which must not be running; false, and thread left empty, when the system
// has no thread to give.
template <typename Body> bool StartThread(std::thread &thread, Body &&body)
{
    try
    {
        thread = std::thread(std::forward<Body>(body));
        return true;
    }
    catch (const std::system_error &)
    {
        return false;
    }
}

// Threads that run the same body and are joined together, at the latest when the group goes.
class WorkerThreads
{
public:
    WorkerThreads() = default;
    ~WorkerThreads() { Join(); }
    WorkerThreads(const WorkerThreads &) = delete;
    WorkerThreads &operator=(const WorkerThreads &) = delete;

    // Starts up to count more threads running body; how many started (fewer when the system
    // refuses one).
    size_t Start(size_t count, const std::function<void()> &body);
    // Waits for every thread to end; the group is empty then.
    void Join();
    size_t Size() const { return m_threads.size(); }

private:
    std::vector<std::thread> m_threads;
};

// Runs body(i) for every i below count, each i once, on the calling thread and up to
// maxThreads - 1 threads beside it: one thread for every itemsPerThread items, at most one per
// processor. Returns when every i is done, with as many threads as the system gave.
void ForEachOnThreads(size_t count, size_t maxThreads, size_t itemsPerThread,
                      const std::function<void(size_t)> &body);
