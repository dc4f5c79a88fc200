// Thin, exception-safe wrappers over the platform's threads and locks. Failed platform calls
// throw OSException; misuse that breaks an invariant (restarting or destroying a thread that still
// runs) is a ZelkAssert failure that ends the process.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

class OSException : public std::exception
{
public:
    explicit OSException(const std::string &message = std::string());
    OSException(const OSException &) = default;
    OSException &operator=(const OSException &) = default;
    ~OSException() override = default;

    const char *what() const noexcept override;
    virtual std::string GetMessage() const;

private:
    std::string m_message;
    // What what() handed out last; kept here so the pointer stays valid with the exception.
    mutable std::string m_whatText;
};

namespace OS
{
using ThreadFunction = uint32_t (*)(void *parameter);

struct ThreadRecord;

// A joinable thread. Start runs function(parameter), or Run() when no function is given; the
// thread's exit code is what that returns. Owners call Wait before they destroy a started thread.
class Thread
{
public:
    Thread();
    virtual ~Thread();
    Thread(const Thread &) = delete;
    Thread &operator=(const Thread &) = delete;

    // A previous thread must have ended (asserted); it is joined and replaced. Throws
    // OSException (empty message) when the platform cannot create the thread.
    bool Start(ThreadFunction function, void *parameter);
    bool Start();
    // The exit code; 0 at once when no thread was started. Waits without a time limit.
    uint32_t Wait();
    virtual uint32_t Run();

private:
    std::shared_ptr<ThreadRecord> m_threadhandle;
};

// Recursive for the thread that holds it.
class Mutex
{
public:
    Mutex();
    // Throws "Failed to close the mutex handle" when the lock cannot be destroyed (it is held).
    virtual ~Mutex() noexcept(false);
    Mutex(const Mutex &) = delete;
    Mutex &operator=(const Mutex &) = delete;

    void Acquire();
    // Throws "Failed to release the mutex" when the calling thread does not hold it.
    void Release();

private:
    friend bool ReleaseMutex(Mutex &mutex);
    // False when the calling thread does not hold the mutex.
    bool TryRelease();

    struct Lock;
    std::unique_ptr<Lock> m_mutex;
};

// Holds a mutex for a scope, also when an exception leaves it.
class MutexLock
{
public:
    explicit MutexLock(Mutex &mutex);
    virtual ~MutexLock();
    MutexLock(const MutexLock &) = delete;
    MutexLock &operator=(const MutexLock &) = delete;

private:
    Mutex *m_mutex;
};

// An event that threads wait for: a manual-reset one stays set until Reset, an automatic one lets
// one waiter through and resets itself.
class Event
{
public:
    Event(bool manualReset, bool initialState);
    virtual ~Event();
    Event(const Event &) = delete;
    Event &operator=(const Event &) = delete;

    void Set();
    void Reset();
    // True when the event was set within the time (kWaitInfinite waits without limit).
    bool Wait(uint32_t milliseconds);

private:
    struct State;
    std::unique_ptr<State> m_state;
};

constexpr uint32_t kWaitInfinite = 0xFFFFFFFFu;

// The calling thread's id, unique among the process's living threads; never -1, which callers use
// for "no thread".
int32_t GetCurrentThreadId();

// False, without a throw, when the calling thread does not hold the mutex.
bool ReleaseMutex(Mutex &mutex);
} // namespace OS
