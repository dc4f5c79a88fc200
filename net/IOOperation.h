// One socket operation on its way through the completion port: a userland thread fills it, posts
// it and sleeps on its event; the IOCP thread carries it through the platform calls to its end and
// signals it. Every change of its life-cycle state is checked, because a wrong one means two
// threads disagree about who owns the record.
#pragma once

#include <cstdint>
#include <memory>

#include "kernel/OSThread.h"
#include "kernel/ZelkTypes.h"

class CPHandler;

// What the completion port hands back with each completion; the operation is found from it.
struct OverlappedRecord
{
};

// The length and address of the bytes a send or receive call moves next.
struct SocketBufferDescriptor
{
    uint32_t length = 0;
    uint8_t *buffer = nullptr;
};

class IOOperation : public OverlappedRecord
{
public:
    enum Operation : int32_t
    {
        IO_TCP_Invalid = 0,
        IO_TCP_StartConnect = 1,    // posted: the IOCP thread must start a connect
        IO_TCP_Connect = 2,         // connect issued, completion awaited
        IO_TCP_StartAccept = 3,     // posted: the IOCP thread must start an accept
        IO_TCP_Accept = 4,          // accept issued, completion awaited
        IO_TCP_Read = 5,            // receive issued, completion awaited
        IO_TCP_Write = 6,           // send issued, completion awaited
        IO_TCP_StartRead = 7,       // posted: the IOCP thread must start (or retry) a receive
        IO_TCP_StartWrite = 8,      // posted: the IOCP thread must start (or retry) a send
        IO_TCP_StartDisconnect = 9, // posted: the IOCP thread must start a disconnect
        IO_TCP_Disconnect = 10,     // disconnect issued, completion awaited
    };

    enum State : int32_t
    {
        STATE_UNUSED = 0,     // constructed, never posted
        STATE_POSTED = 1,     // queued to the port, or a platform call issued on it
        STATE_FAILEDPOST = 2, // the platform call failed at once
        STATE_CAUGHT = 3,     // dequeued by the IOCP thread (or taken back for a retry)
        STATE_SIGNALLED = 4,  // finished; its event is set
        STATE_COMPLETE = 5,   // the waiting thread has seen the end
        STATE_DESTROYED = 6,  // the destructor ran
    };

    // Called by Signal on the IOCP thread before the event is set.
    using Callback = void (*)(CPHandler *handler, IOOperation *operation);

    // An operation that deletes itself on completion is made with new and has no waiter.
    explicit IOOperation(bool deleteOnCompletion);
    virtual ~IOOperation();
    IOOperation(const IOOperation &) = delete;
    IOOperation &operator=(const IOOperation &) = delete;

    // The end of the operation, on the IOCP thread: marks it complete, runs the callback and wakes
    // the waiter (or frees the operation).
    virtual void Signal(CPHandler *handler);
    // Sleeps until Signal; the event stays set.
    void Wait();

    // "IO_TCP_StartRead" and so on; "IO_UNKNOWN" for any other value.
    static const char *GetOperationName(int32_t operation);
    bool IsInState(State state) const { return m_state == state; }
    // Asserts that the change is allowed from the present state.
    void SetState(State state);

    // Attaches the caller's bytes; nothing has moved yet.
    void SetBuffer(uint32_t capacity, uint8_t *data);
    void SetRequest(uint32_t count);
    // Forgets the attached bytes, so that the destructor leaves the caller's memory alone.
    void DetachBuffer();

    uint32_t m_lastTransfer = 0;   // byte count of the completion just dequeued
    ZELKRESULT m_error = ZELKRESULT_OK;
    uint32_t m_platformError = 0;  // the platform error number behind m_error
    int32_t m_operation = IO_TCP_Invalid;
    bool m_deleteOnCompletion;
    bool m_completed = false;
    std::unique_ptr<OS::Event> m_event;
    Callback m_callback = nullptr;
    SocketBufferDescriptor m_buffer;
    CPHandler *m_handler = nullptr;
    uint32_t m_capacity = 0;
    uint32_t m_requested = 0;
    uint32_t m_transferred = 0;
    uint8_t *m_data = nullptr;     // an attached area still here at destruction is freed with delete[]
    int32_t m_state = STATE_UNUSED;
};
