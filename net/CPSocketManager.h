// The process-wide completion-port socket manager: one port served by one worker thread, the IOCP
// thread, on which every socket call of the program runs. Userland threads post operations and
// sleep until the IOCP thread signals them; they never call the sockets themselves.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "kernel/OSThread.h"
#include "kernel/ZelkTypes.h"
#include "net/IOCompletionPort.h"
#include "net/IOOperation.h"

class CPSocketManager;

// The base of every object whose handle is bound to the port; the port's key for a handle is the
// address of its handler.
class CPHandler
{
public:
    CPHandler() = default;
    CPHandler(const CPHandler &) = delete;
    CPHandler &operator=(const CPHandler &) = delete;

    // On the IOCP thread, for each completion of an operation of this handler; error is the
    // platform error of the completion (0 = success). The result is not examined.
    virtual uint32_t HandleCompletion(IOOperation &operation, uint32_t error) = 0;
    // The operating-system handle to bind (for a socket, the socket); -1 when there is none.
    virtual intptr_t GetHandle() = 0;
    virtual ~CPHandler();

    // Null until the handler is associated with a manager.
    CPSocketManager *GetManager() const { return m_manager; }

private:
    friend class CPSocketManager;
    CPSocketManager *m_manager = nullptr;
};

// One worker of a manager; its thread runs the worker loop from construction until it dequeues a
// quit packet.
class CPWorkerThread
{
public:
    // Starts the thread; throws OSException when the platform cannot make one.
    explicit CPWorkerThread(CPSocketManager &manager);
    virtual ~CPWorkerThread();
    CPWorkerThread(const CPWorkerThread &) = delete;
    CPWorkerThread &operator=(const CPWorkerThread &) = delete;

    // Waits for the thread to end.
    void Wait();

private:
    static uint32_t WorkerLoop(void *parameter);

    CPSocketManager *m_manager;
    OS::Thread m_thread;
};

class CPSocketManager : public IOCompletionPort
{
public:
    explicit CPSocketManager(uint32_t workerCount);
    // Ends every worker and returns only after their threads have ended.
    ~CPSocketManager() override;

    // Binds the handler to this manager; always true.
    bool Associate(CPHandler &handler);
    // Queues a completion for the handler; a given operation becomes STATE_POSTED first, and no
    // operation with no handler is a quit packet. Never fails.
    bool Post(CPHandler *handler, uint32_t byteCount, IOOperation *operation);

    uint32_t GetWorkerCount() const { return m_workerCount; }

private:
    void PostQuit();

    std::vector<std::unique_ptr<CPWorkerThread>> m_workers;
    uint32_t m_workerCount;
    // Guards the worker list and the association of handles.
    std::recursive_mutex m_lock;
};

// The first acquire creates the process's manager with that many workers, the last release
// destroys it. Start-up holds one reference for the life of the application and every connection
// buffer one for its own, so the manager outlives every socket.
CPSocketManager *AcquireSocketManager(uint32_t workerCount);
void ReleaseSocketManager();
// The manager while one exists (no reference is taken), else null.
CPSocketManager *GetSocketManager();

// True on the IOCP thread. Exact with one worker, which is how this program makes the manager.
bool IsInIOCPThread();
// The IOCP thread's id, or -1 while no worker runs.
int32_t GetIOCPThreadId();

// The platform error numbers of the socket layer (Windows numbers, which the completions carry on
// every platform) as result codes.
ZELKRESULT MapPlatformError(uint32_t platformError);

// Platform error numbers used by the socket layer.
namespace PlatformError
{
constexpr uint32_t kSuccess = 0;
constexpr uint32_t kNetnameDeleted = 64;
constexpr uint32_t kOperationAborted = 995;
constexpr uint32_t kIoPending = 997;
constexpr uint32_t kWSAEFAULT = 10014;
constexpr uint32_t kWSAEINVAL = 10022;
constexpr uint32_t kWSAEWOULDBLOCK = 10035;
constexpr uint32_t kWSAEINPROGRESS = 10036;
constexpr uint32_t kWSAEALREADY = 10037;
constexpr uint32_t kWSAENOTSOCK = 10038;
constexpr uint32_t kWSAEMSGSIZE = 10040;
constexpr uint32_t kWSAEAFNOSUPPORT = 10047;
constexpr uint32_t kWSAEADDRINUSE = 10048;
constexpr uint32_t kWSAEADDRNOTAVAIL = 10049;
constexpr uint32_t kWSAENETDOWN = 10050;
constexpr uint32_t kWSAENETUNREACH = 10051;
constexpr uint32_t kWSAENETRESET = 10052;
constexpr uint32_t kWSAECONNABORTED = 10053;
constexpr uint32_t kWSAECONNRESET = 10054;
constexpr uint32_t kWSAENOBUFS = 10055;
constexpr uint32_t kWSAEISCONN = 10056;
constexpr uint32_t kWSAENOTCONN = 10057;
constexpr uint32_t kWSAESHUTDOWN = 10058;
constexpr uint32_t kWSAETIMEDOUT = 10060;
constexpr uint32_t kWSAECONNREFUSED = 10061;
constexpr uint32_t kWSAEHOSTDOWN = 10064;
constexpr uint32_t kWSAEHOSTUNREACH = 10065;
constexpr uint32_t kWSANOTINITIALISED = 10093;
// Errors of this platform without a Windows number keep their own, marked with the bit that
// Windows leaves to applications, so that none can pass for a number of the table.
constexpr uint32_t kApplicationBit = 0x20000000u;
} // namespace PlatformError
