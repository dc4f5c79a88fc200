// Threads and locks on POSIX threads.
#include "kernel/OSThread.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <pthread.h>
#include <unistd.h>

#include "kernel/CrashHandler.h"
#include "kernel/ZelkAssert.h"

namespace
{
constexpr char kThreadEndedText[] = "WaitForSingleObject(m_threadhandle, 0) == WAIT_OBJECT_0";
} // namespace

// OSException ---------------------------------------------------------------------------------------

OSException::OSException(const std::string &message) : m_message(message)
{
}

const char *OSException::what() const noexcept
{
    m_whatText = m_message;
    return m_whatText.c_str();
}

std::string OSException::GetMessage() const
{
    return m_message;
}

namespace OS
{
struct ThreadRecord
{
    pthread_t thread{};
    std::atomic<bool> ended{false};
    uint32_t exitCode = 0;
    bool joined = false;
};

namespace
{
// What the new thread receives; it frees the record itself once the function has returned.
struct ThreadStart
{
    ThreadFunction function;
    void *parameter;
    std::shared_ptr<ThreadRecord> record;
};

void *ThreadEntry(void *argument)
{
    // A thread that runs out of stack still leaves a crash report.
    const ZelkThreadCrashStack crashStack;
    ThreadStart *start = static_cast<ThreadStart *>(argument);
    const std::shared_ptr<ThreadRecord> record = start->record;
    const uint32_t exitCode = start->function(start->parameter);
    delete start;
    record->exitCode = exitCode;
    record->ended.store(true, std::memory_order_release);
    return nullptr;
}

uint32_t RunThread(void *parameter)
{
    return static_cast<Thread *>(parameter)->Run();
}

std::shared_ptr<ThreadRecord> CreateThread(ThreadFunction function, void *parameter)
{
    auto record = std::make_shared<ThreadRecord>();
    ThreadStart *start = new ThreadStart{function, parameter, record};
    if (pthread_create(&record->thread, nullptr, ThreadEntry, start) != 0)
    {
        delete start;
        throw OSException();
    }
    return record;
}

void Join(ThreadRecord &record)
{
    if (record.joined)
        return;
    pthread_join(record.thread, nullptr);
    record.joined = true;
}
} // namespace

// Thread --------------------------------------------------------------------------------------------

Thread::Thread() = default;

Thread::~Thread()
{
    if (!m_threadhandle)
        return;
    ZelkAssert(m_threadhandle->ended.load(std::memory_order_acquire), kThreadEndedText);
    Join(*m_threadhandle);
    m_threadhandle.reset();
}

bool Thread::Start(ThreadFunction function, void *parameter)
{
    if (m_threadhandle)
    {
        ZelkAssert(m_threadhandle->ended.load(std::memory_order_acquire), kThreadEndedText);
        Join(*m_threadhandle);
        m_threadhandle.reset();
    }
    m_threadhandle = CreateThread(function, parameter);
    return m_threadhandle != nullptr;
}

bool Thread::Start()
{
    return Start(RunThread, this);
}

uint32_t Thread::Wait()
{
    if (!m_threadhandle)
        return 0;
    Join(*m_threadhandle);
    return m_threadhandle->exitCode;
}

uint32_t Thread::Run()
{
    return 0;
}

// Mutex ---------------------------------------------------------------------------------------------

struct Mutex::Lock
{
    pthread_mutex_t mutex;
};

Mutex::Mutex() : m_mutex(new Lock)
{
    pthread_mutexattr_t attributes;
    bool made = pthread_mutexattr_init(&attributes) == 0;
    // A recursive POSIX mutex also refuses an unlock by a thread that does not hold it (EPERM),
    // which is what tells Release that the caller is not the owner.
    made = made && pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE) == 0 &&
           pthread_mutex_init(&m_mutex->mutex, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
    if (!made)
        throw OSException("Failed to create the mutex");
}

Mutex::~Mutex() noexcept(false)
{
    // Throwing while another exception unwinds would end the process; the lock is then left as
    // it is.
    if (pthread_mutex_destroy(&m_mutex->mutex) != 0 && std::uncaught_exceptions() == 0)
        throw OSException("Failed to close the mutex handle");
}

void Mutex::Acquire()
{
    if (pthread_mutex_lock(&m_mutex->mutex) != 0)
        throw OSException();
}

bool Mutex::TryRelease()
{
    const int result = pthread_mutex_unlock(&m_mutex->mutex);
    if (result == EPERM)
        return false;
    if (result != 0)
        throw OSException();
    return true;
}

void Mutex::Release()
{
    if (!TryRelease())
        throw OSException("Failed to release the mutex");
}

bool ReleaseMutex(Mutex &mutex)
{
    return mutex.TryRelease();
}

MutexLock::MutexLock(Mutex &mutex) : m_mutex(&mutex)
{
    m_mutex->Acquire();
}

MutexLock::~MutexLock()
{
    // The thread that acquired it releases it, so this cannot fail.
    m_mutex->Release();
}

// Event ---------------------------------------------------------------------------------------------

struct Event::State
{
    std::mutex lock;
    std::condition_variable changed;
    bool manualReset;
    bool set;
};

Event::Event(bool manualReset, bool initialState) : m_state(new State)
{
    m_state->manualReset = manualReset;
    m_state->set = initialState;
}

Event::~Event() = default;

void Event::Set()
{
    std::lock_guard<std::mutex> lock(m_state->lock);
    m_state->set = true;
    if (m_state->manualReset)
        m_state->changed.notify_all();
    else
        m_state->changed.notify_one();
}

void Event::Reset()
{
    std::lock_guard<std::mutex> lock(m_state->lock);
    m_state->set = false;
}

bool Event::Wait(uint32_t milliseconds)
{
    std::unique_lock<std::mutex> lock(m_state->lock);
    const auto isSet = [this] { return m_state->set; };
    if (milliseconds == kWaitInfinite)
        m_state->changed.wait(lock, isSet);
    else if (!m_state->changed.wait_for(lock, std::chrono::milliseconds(milliseconds), isSet))
        return false;
    if (!m_state->manualReset)
        m_state->set = false;
    return true;
}

int32_t GetCurrentThreadId()
{
    return static_cast<int32_t>(gettid());
}
} // namespace OS
