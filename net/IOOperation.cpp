#include "net/IOOperation.h"

#include <iterator>

#include "kernel/ZelkAssert.h"

IOOperation::IOOperation(bool deleteOnCompletion)
    : m_deleteOnCompletion(deleteOnCompletion), m_event(std::make_unique<OS::Event>(true, false))
{
}

IOOperation::~IOOperation()
{
    SetState(STATE_DESTROYED);
    delete[] m_data;
}

void IOOperation::SetState(State state)
{
    switch (state)
    {
    case STATE_POSTED:
        ZelkAssert(IsInState(STATE_UNUSED) || IsInState(STATE_CAUGHT), "IsInState(STATE_UNUSED) || IsInState(STATE_CAUGHT)");
        break;
    case STATE_FAILEDPOST:
    case STATE_CAUGHT:
        ZelkAssert(IsInState(STATE_POSTED), "IsInState(STATE_POSTED)");
        break;
    case STATE_SIGNALLED:
        ZelkAssert(IsInState(STATE_CAUGHT) || IsInState(STATE_FAILEDPOST),
                   "IsInState(STATE_CAUGHT) || IsInState(STATE_FAILEDPOST)");
        break;
    case STATE_COMPLETE:
        ZelkAssert(IsInState(STATE_UNUSED) || IsInState(STATE_SIGNALLED),
                   "IsInState(STATE_UNUSED) || IsInState(STATE_SIGNALLED)");
        break;
    case STATE_DESTROYED:
        ZelkAssert(IsInState(STATE_COMPLETE) || IsInState(STATE_UNUSED),
                   "IsInState(STATE_COMPLETE) || IsInState(STATE_UNUSED)");
        break;
    default:
        ZelkAssert(false, "false");
    }
    m_state = state;
}

void IOOperation::Signal(CPHandler *handler)
{
    SetState(m_event ? STATE_SIGNALLED : STATE_COMPLETE);
    m_completed = true;
    if (m_callback)
        m_callback(handler, this);
    // Read before the event is set: from then on the waiter may destroy the operation.
    const bool deleteSelf = m_deleteOnCompletion;
    if (m_event && !deleteSelf)
    {
        m_event->Set();
        return;
    }
    if (!deleteSelf)
        return;
    // Nobody waits for an operation that frees itself, so nobody else could complete it.
    if (IsInState(STATE_SIGNALLED))
        SetState(STATE_COMPLETE);
    delete this;
}

void IOOperation::Wait()
{
    m_event->Wait(OS::kWaitInfinite);
    SetState(STATE_COMPLETE);
}

const char *IOOperation::GetOperationName(int32_t operation)
{
    static const char *const kNames[] = {
        "IO_TCP_Invalid", "IO_TCP_StartConnect", "IO_TCP_Connect",   "IO_TCP_StartAccept",
        "IO_TCP_Accept",  "IO_TCP_Read",         "IO_TCP_Write",     "IO_TCP_StartRead",
        "IO_TCP_StartWrite", "IO_TCP_StartDisconnect", "IO_TCP_Disconnect",
    };
    if (operation < 0 || operation >= static_cast<int32_t>(std::size(kNames)))
        return "IO_UNKNOWN";
    return kNames[operation];
}

void IOOperation::SetBuffer(uint32_t capacity, uint8_t *data)
{
    m_data = data;
    m_capacity = capacity;
    m_transferred = 0;
    m_lastTransfer = 0;
    m_buffer.buffer = data;
    m_buffer.length = 0;
}

void IOOperation::SetRequest(uint32_t count)
{
    m_requested = count;
    m_buffer.length = m_transferred;
}

void IOOperation::DetachBuffer()
{
    m_data = nullptr;
    m_capacity = 0;
    m_transferred = 0;
    m_lastTransfer = 0;
    m_buffer = SocketBufferDescriptor();
}
