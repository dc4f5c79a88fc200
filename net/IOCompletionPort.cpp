#include "net/IOCompletionPort.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <optional>

#include "kernel/ZelkAssert.h"

namespace
{
struct Completion
{
    uint32_t error;
    uint32_t byteCount;
    CPHandler *key;
    OverlappedRecord *overlapped;
};

// The completion that the handler just run by this thread's Get produced.
thread_local std::optional<Completion> t_completion;

// What Get reports when the queue itself is gone (ERROR_ABANDONED_WAIT_0).
constexpr uint32_t kErrorAbandonedWait = 735;
} // namespace

struct IOCompletionPort::Queue
{
    explicit Queue(uint32_t concurrency)
        : context(static_cast<int>(concurrency)), work(boost::asio::make_work_guard(context))
    {
    }

    boost::asio::io_context context;
    // Keeps the context waiting for completions while none is queued.
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work;
};

IOCompletionPort::IOCompletionPort(uint32_t concurrency) : m_queue(std::make_unique<Queue>(concurrency))
{
    ZelkAssert(m_queue != nullptr, "iocpHandle != INVALID_HANDLE_VALUE");
}

// Completions still queued (the surplus quit packets among them) are discarded with the context.
IOCompletionPort::~IOCompletionPort() = default;

void IOCompletionPort::Post(uint32_t byteCount, CPHandler *key, OverlappedRecord *overlapped, uint32_t error)
{
    boost::asio::post(m_queue->context, [=] { Complete(error, byteCount, key, overlapped); });
}

uint32_t IOCompletionPort::Get(uint32_t &byteCount, CPHandler *&key, OverlappedRecord *&overlapped)
{
    byteCount = 0;
    key = nullptr;
    overlapped = nullptr;
    // Handlers that carry no completion (work the socket layer runs on this thread) run on.
    while (!t_completion)
    {
        if (m_queue->context.run_one() == 0)
        {
            m_queue->context.restart();
            return kErrorAbandonedWait;
        }
    }
    const Completion completion = *t_completion;
    t_completion.reset();
    byteCount = completion.byteCount;
    key = completion.key;
    overlapped = completion.overlapped;
    return completion.error;
}

boost::asio::io_context &IOCompletionPort::Context()
{
    return m_queue->context;
}

void IOCompletionPort::Complete(uint32_t error, uint32_t byteCount, CPHandler *key, OverlappedRecord *overlapped)
{
    ZelkAssert(!t_completion, "one completion per dequeue");
    t_completion = Completion{error, byteCount, key, overlapped};
}
