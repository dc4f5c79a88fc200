#include "net/CPSocketManager.h"

#include <atomic>

#include "kernel/ZelkAssert.h"

namespace
{
std::atomic<int32_t> g_iocpThreadId{-1};

// The process-wide manager and its reference count, under one lock.
std::mutex g_managerLock;
CPSocketManager *g_manager = nullptr;
uint32_t g_managerReferences = 0;
} // namespace

CPHandler::~CPHandler() = default;

// Workers ------------------------------------------------------------------------------------------

CPWorkerThread::CPWorkerThread(CPSocketManager &manager) : m_manager(&manager)
{
    m_thread.Start(WorkerLoop, this);
}

CPWorkerThread::~CPWorkerThread() = default;

void CPWorkerThread::Wait()
{
    m_thread.Wait();
}

uint32_t CPWorkerThread::WorkerLoop(void *parameter)
{
    CPSocketManager &manager = *static_cast<CPWorkerThread *>(parameter)->m_manager;
    g_iocpThreadId.store(OS::GetCurrentThreadId());
    for (;;)
    {
        uint32_t byteCount = 0;
        CPHandler *key = nullptr;
        OverlappedRecord *overlapped = nullptr;
        const uint32_t error = manager.Get(byteCount, key, overlapped);
        if (error != 0 && key == nullptr)
            continue;
        if (error == 0 && key == nullptr && overlapped == nullptr)
            break; // the quit packet
        if (overlapped == nullptr)
            continue;
        IOOperation &operation = *static_cast<IOOperation *>(overlapped);
        ZelkAssert(operation.m_handler != nullptr, "handler != NULL");
        operation.SetState(IOOperation::STATE_CAUGHT);
        operation.m_lastTransfer = byteCount;
        operation.m_handler->HandleCompletion(operation, error);
    }
    g_iocpThreadId.store(-1);
    return 0;
}

// The manager --------------------------------------------------------------------------------------

CPSocketManager::CPSocketManager(uint32_t workerCount) : IOCompletionPort(workerCount), m_workerCount(workerCount)
{
    for (uint32_t i = 0; i < workerCount; ++i)
    {
        std::unique_ptr<CPWorkerThread> worker;
        try
        {
            worker = std::make_unique<CPWorkerThread>(*this);
            std::lock_guard<std::recursive_mutex> lock(m_lock);
            m_workers.push_back(std::move(worker));
        }
        catch (...)
        {
            // A thread that started but could not be kept is stopped again; one that could not
            // start leaves the manager with fewer workers.
            if (worker)
            {
                try
                {
                    PostQuit();
                    worker->Wait();
                }
                catch (...)
                {
                }
            }
        }
    }
}

CPSocketManager::~CPSocketManager()
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    for (size_t i = 0; i < m_workers.size(); ++i)
        PostQuit();
    for (std::unique_ptr<CPWorkerThread> &worker : m_workers)
    {
        try
        {
            PostQuit();
            worker->Wait();
            worker.reset();
        }
        catch (...)
        {
        }
    }
    m_workers.clear();
}

void CPSocketManager::PostQuit()
{
    IOCompletionPort::Post(0, nullptr, nullptr);
}

bool CPSocketManager::Associate(CPHandler &handler)
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    // Asio binds a socket to the port's context when the socket is made; what is left is to tell
    // the handler where its completions come from.
    handler.m_manager = this;
    return true;
}

bool CPSocketManager::Post(CPHandler *handler, uint32_t byteCount, IOOperation *operation)
{
    if (operation)
        operation->SetState(IOOperation::STATE_POSTED);
    IOCompletionPort::Post(byteCount, handler, operation);
    return true;
}

// The process-wide manager ---------------------------------------------------------------------------

CPSocketManager *AcquireSocketManager(uint32_t workerCount)
{
    std::lock_guard<std::mutex> lock(g_managerLock);
    if (g_managerReferences++ == 0)
        g_manager = new CPSocketManager(workerCount);
    return g_manager;
}

void ReleaseSocketManager()
{
    std::lock_guard<std::mutex> lock(g_managerLock);
    if (g_managerReferences == 0)
        return;
    if (--g_managerReferences == 0)
    {
        delete g_manager;
        g_manager = nullptr;
    }
}

CPSocketManager *GetSocketManager()
{
    std::lock_guard<std::mutex> lock(g_managerLock);
    return g_manager;
}

bool IsInIOCPThread()
{
    return g_iocpThreadId.load() == OS::GetCurrentThreadId();
}

int32_t GetIOCPThreadId()
{
    return g_iocpThreadId.load();
}

ZELKRESULT MapPlatformError(uint32_t platformError)
{
    using namespace PlatformError;
    switch (platformError)
    {
    case kSuccess:
        return ZELKRESULT_OK;
    case kNetnameDeleted:
    case kWSAENETDOWN:
    case kWSAENETUNREACH:
    case kWSAECONNRESET:
    case kWSAETIMEDOUT:
    case kWSAEHOSTUNREACH:
        return ZELKRESULT_CONNECTION_LOST;
    case kOperationAborted:
        return ZELKRESULT_ABORTED;
    case kWSAEFAULT:
    case kWSAEAFNOSUPPORT:
    case kWSAEADDRNOTAVAIL:
        return ZELKRESULT_INVALID_ARGUMENT;
    case kWSAEINVAL:
    case kWSAEALREADY:
    case kWSAENOTSOCK:
    case kWSANOTINITIALISED:
        return ZELKRESULT_INVALID_STATE;
    case kWSAECONNREFUSED:
        return ZELKRESULT_REFUSED;
    default:
        return ZELKRESULT_NETWORK;
    }
}
