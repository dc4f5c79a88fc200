#include "net/ZelkDataBufferTCP.h"

namespace
{
constexpr uint32_t kWorkerCount = 1;
} // namespace

ZelkDataBufferTCP::ZelkDataBufferTCP() : m_socket(std::make_unique<TCPSocket>())
{
    CPSocketManager *manager = AcquireSocketManager(kWorkerCount);
    if (!m_socket->Create(manager))
        m_socket.reset();
}

ZelkDataBufferTCP::ZelkDataBufferTCP(std::unique_ptr<TCPSocket> socket) : m_socket(std::move(socket))
{
    AcquireSocketManager(kWorkerCount);
    m_connected = m_socket && m_socket->IsOpen() && m_socket->GetRemoteAddress() != kUnsetEndpoint;
}

ZelkDataBufferTCP::~ZelkDataBufferTCP()
{
    if (m_socket)
    {
        m_socket->Close();
        m_socket.reset();
    }
    ReleaseSocketManager();
}

ZELKRESULT ZelkDataBufferTCP::Connect(const IPv4Endpoint &address)
{
    if (!m_socket || m_connected)
        return ZELKRESULT_INVALID_STATE;
    // The platform connects only a bound socket; a socket bound before keeps its address.
    m_socket->Bind({0, 0}, 0);
    IOOperation operation(false);
    m_socket->EnterUserlandOperation();
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_socket->Connect(address, operation);
    }
    operation.Wait();
    m_socket->LeaveUserlandOperation();
    if (operation.m_error == ZELKRESULT_OK)
        m_connected = true;
    return operation.m_error;
}

void ZelkDataBufferTCP::Disconnect(bool abortive)
{
    m_connected = false;
    if (!m_socket)
        return;
    if (abortive)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_socket->Close();
        return;
    }
    IOOperation operation(false);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_socket->Disconnect(operation);
    }
    operation.Wait();
}

bool ZelkDataBufferTCP::IsConnected() const
{
    return m_socket && m_connected;
}

uint64_t ZelkDataBufferTCP::GetSize()
{
    return 0;
}

ZELKRESULT ZelkDataBufferTCP::SetSize(uint64_t)
{
    return ZELKRESULT_UNSUPPORTED;
}

uint64_t ZelkDataBufferTCP::GetPosition()
{
    return received;
}

ZELKRESULT ZelkDataBufferTCP::Seek(uint64_t)
{
    return ZELKRESULT_UNSUPPORTED;
}

void ZelkDataBufferTCP::Flush()
{
}

ZELKRESULT ZelkDataBufferTCP::Write(const void *source, uint32_t count)
{
    return Transfer(const_cast<void *>(source), count, false);
}

ZELKRESULT ZelkDataBufferTCP::Read(void *destination, uint32_t count)
{
    return Transfer(destination, count, true);
}

ZELKRESULT ZelkDataBufferTCP::Transfer(void *bytes, uint32_t count, bool isRead)
{
    if (!m_socket)
        return ZELKRESULT_INVALID_STATE;
    if (count == 0)
        return ZELKRESULT_OK;
    IOOperation operation(false);
    operation.SetBuffer(count, static_cast<uint8_t *>(bytes));
    operation.SetRequest(count);
    m_socket->EnterUserlandOperation();
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (isRead)
        {
            m_socket->SetPartialReadAllowed(partialReadAllowed);
            m_socket->Receive(operation);
        }
        else
            m_socket->Send(operation);
    }
    operation.Wait();
    m_socket->LeaveUserlandOperation();
    const ZELKRESULT result = operation.m_error;
    if (isRead && (result == ZELKRESULT_OK || result == ZELKRESULT_PARTIAL))
        received += operation.m_transferred;
    operation.DetachBuffer();
    return result;
}

IPv4Endpoint ZelkDataBufferTCP::GetLocalAddress() const
{
    return m_socket ? m_socket->GetLocalAddress() : IPv4Endpoint{0, 0};
}

IPv4Endpoint ZelkDataBufferTCP::GetRemoteAddress() const
{
    return m_socket ? m_socket->GetRemoteAddress() : IPv4Endpoint{0, 0};
}

uint64_t ZelkDataBufferTCP::GetBytesMoved() const
{
    return m_socket ? m_socket->GetBytesMoved() : 0;
}

ZELKRESULT StartListening(TCPSocket &listener, const IPv4Endpoint &address, int backlog)
{
    CPSocketManager *manager = GetSocketManager();
    if (!manager || !listener.Create(manager))
        return ZELKRESULT_INVALID_STATE;
    if (const ZELKRESULT result = listener.Bind(address, 2))
        return result;
    return listener.Listen(backlog);
}

std::unique_ptr<ZelkDataBufferTCP> AcceptConnection(TCPSocket &listener, ZELKRESULT &result)
{
    CPSocketManager *manager = AcquireSocketManager(kWorkerCount);
    auto socket = std::make_unique<TCPSocket>();
    std::unique_ptr<ZelkDataBufferTCP> connection;
    if (!socket->Create(manager))
        result = ZELKRESULT_INVALID_STATE;
    else
    {
        IOOperation operation(false);
        socket->EnterUserlandOperation();
        socket->StartAccept(listener, operation);
        operation.Wait();
        socket->LeaveUserlandOperation();
        result = operation.m_error;
        if (result == ZELKRESULT_OK)
            connection = std::make_unique<ZelkDataBufferTCP>(std::move(socket));
    }
    // A socket that was not accepted goes while the manager still runs.
    socket.reset();
    ReleaseSocketManager();
    return connection;
}
