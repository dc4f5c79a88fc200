// A completion port: one queue of completions (byte count, key, operation record and platform
// error) that worker threads take one at a time. Here the queue is an Asio io_context: a posted
// completion and the end of every asynchronous socket call arrive as a handler that the dequeuing
// thread runs, and that handler hands its completion to the thread's Get.
#pragma once

#include <cstdint>
#include <memory>

#include "net/IOOperation.h"

namespace boost::asio
{
class io_context;
}

class CPHandler;

class IOCompletionPort
{
public:
    // Asserts "iocpHandle != INVALID_HANDLE_VALUE" when the port cannot be made.
    explicit IOCompletionPort(uint32_t concurrency);
    virtual ~IOCompletionPort();
    IOCompletionPort(const IOCompletionPort &) = delete;
    IOCompletionPort &operator=(const IOCompletionPort &) = delete;

    // Queues a completion from any thread; error is the platform error it carries (0 = success).
    void Post(uint32_t byteCount, CPHandler *key, OverlappedRecord *overlapped, uint32_t error = 0);
    // Takes the next completion, waiting without a time limit; returns its platform error. The
    // out values are cleared first.
    uint32_t Get(uint32_t &byteCount, CPHandler *&key, OverlappedRecord *&overlapped);

    // For the asynchronous calls of the socket layer, whose handlers end in Complete.
    boost::asio::io_context &Context();
    // Hands a completion to the Get of the calling thread; only from a handler that Get runs.
    static void Complete(uint32_t error, uint32_t byteCount, CPHandler *key, OverlappedRecord *overlapped);

private:
    struct Queue;
    std::unique_ptr<Queue> m_queue;
};
