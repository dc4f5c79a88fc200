#include "net/TCPSocket.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <cstdio>
#include <thread>

#include "kernel/ZelkAssert.h"
#include "net/SocketErrors.h"

namespace asio = boost::asio;
using asio::ip::tcp;

struct TCPSocket::Native
{
    explicit Native(asio::io_context &context) : socket(context), acceptor(context) {}

    // Called once a connection is made. The protocols on these sockets write a few small pieces
    // and then wait for the peer's answer: holding a small piece back until the previous one is
    // acknowledged, while the peer holds its acknowledgement back for data to go with it, would
    // stall every such exchange by the peer's acknowledgement delay (tens of milliseconds).
    void SendPiecesAtOnce()
    {
        boost::system::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
    }

    tcp::socket socket;
    // A listening socket's descriptor moves here: Asio accepts only through an acceptor.
    tcp::acceptor acceptor;
};

namespace
{
tcp::endpoint ToPlatform(const IPv4Endpoint &address)
{
    return tcp::endpoint(asio::ip::address_v4(address.address), address.port);
}

IPv4Endpoint FromPlatform(const tcp::endpoint &endpoint)
{
    return {endpoint.address().to_v4().to_uint(), endpoint.port()};
}
} // namespace

TCPSocket::TCPSocket() = default;

TCPSocket::~TCPSocket()
{
    Close();
}

intptr_t TCPSocket::GetHandle()
{
    if (!m_native)
        return -1;
    if (m_native->acceptor.is_open())
        return m_native->acceptor.native_handle();
    return m_native->socket.is_open() ? m_native->socket.native_handle() : -1;
}

bool TCPSocket::IsOpen()
{
    return GetHandle() != -1;
}

// Userland side ------------------------------------------------------------------------------------

bool TCPSocket::Create(CPSocketManager *manager)
{
    ZelkAssert(!IsOpen(), "INVALID_SOCKET == m_socket");
    if (!manager)
        return false;
    if (!m_native)
        m_native = std::make_unique<Native>(manager->Context());
    boost::system::error_code error;
    m_native->socket.open(tcp::v4(), error);
    if (error)
        return false;
    manager->Associate(*this);
    return true;
}

void TCPSocket::EnterUserlandOperation()
{
    ZelkAssert(!IsInIOCPThread(), "IsInUserlandThread()");
    const int32_t myThreadID = OS::GetCurrentThreadId();
    const int32_t wasThreadID = m_currentUserlandThread.exchange(myThreadID);
    ZelkAssert(wasThreadID == -1 || wasThreadID == myThreadID, "wasThreadID == -1 || wasThreadID == myThreadID");
    ++m_userlandCount;
}

void TCPSocket::LeaveUserlandOperation()
{
    ZelkAssert(m_currentUserlandThread.load() == OS::GetCurrentThreadId(),
               "m_currentUserlandThread == ::GetCurrentThreadId()");
    const int32_t count = --m_userlandCount;
    ZelkAssert(count >= 0, "count >= 0");
    if (count == 0)
        m_currentUserlandThread.store(-1);
}

void TCPSocket::Post(IOOperation &operation, int32_t startOperation)
{
    operation.m_handler = this;
    operation.m_operation = startOperation;
    GetManager()->Post(this, 0, &operation);
}

void TCPSocket::Connect(const IPv4Endpoint &address, IOOperation &operation)
{
    EnterUserlandOperation();
    m_remoteAddress = address;
    Post(operation, IOOperation::IO_TCP_StartConnect);
    LeaveUserlandOperation();
}

void TCPSocket::Receive(IOOperation &operation)
{
    EnterUserlandOperation();
    operation.m_lastTransfer = 0;
    Post(operation, IOOperation::IO_TCP_StartRead);
    LeaveUserlandOperation();
}

void TCPSocket::Send(IOOperation &operation)
{
    EnterUserlandOperation();
    operation.m_lastTransfer = 0;
    Post(operation, IOOperation::IO_TCP_StartWrite);
    LeaveUserlandOperation();
}

void TCPSocket::Disconnect(IOOperation &operation)
{
    Post(operation, IOOperation::IO_TCP_StartDisconnect);
}

void TCPSocket::StartAccept(TCPSocket &listening, IOOperation &operation)
{
    EnterUserlandOperation();
    m_acceptListener = &listening;
    Post(operation, IOOperation::IO_TCP_StartAccept);
    LeaveUserlandOperation();
}

ZELKRESULT TCPSocket::Bind(const IPv4Endpoint &address, int reuse)
{
    EnterUserlandOperation();
    boost::system::error_code error;
    if (!m_native || !m_native->socket.is_open())
        error = asio::error::not_socket;
    if (!error && reuse == 2)
        m_native->socket.set_option(tcp::socket::reuse_address(true), error);
    if (!error)
        m_native->socket.bind(ToPlatform(address), error);
    if (!error)
    {
        boost::system::error_code ignored;
        const tcp::endpoint local = m_native->socket.local_endpoint(ignored);
        if (!ignored)
            m_localAddress = FromPlatform(local);
    }
    LeaveUserlandOperation();
    return MapPlatformError(PlatformErrorOf(error));
}

ZELKRESULT TCPSocket::Listen(int backlog)
{
    EnterUserlandOperation();
    boost::system::error_code error;
    if (!m_native || !m_native->socket.is_open())
        error = asio::error::not_socket;
    if (!error)
    {
        const tcp::socket::native_handle_type handle = m_native->socket.release(error);
        if (!error)
            m_native->acceptor.assign(tcp::v4(), handle, error);
    }
    if (!error)
        m_native->acceptor.listen(backlog, error);
    LeaveUserlandOperation();
    return MapPlatformError(PlatformErrorOf(error));
}

uint32_t TCPSocket::Close()
{
    if (!m_native)
        return PlatformError::kSuccess;
    CPSocketManager *manager = GetManager();
    if (!manager || IsInIOCPThread())
        return CloseNow();
    // The socket object belongs to the IOCP thread while it may have calls under way, so the
    // close is made there; the calls then end with "aborted" through the queue as usual.
    uint32_t result = PlatformError::kSuccess;
    OS::Event closed(true, false);
    asio::post(manager->Context(), [&] {
        result = CloseNow();
        closed.Set();
    });
    closed.Wait(OS::kWaitInfinite);
    return result;
}

uint32_t TCPSocket::CloseNow()
{
    boost::system::error_code error;
    if (m_native->socket.is_open())
    {
        boost::system::error_code ignored;
        m_native->socket.set_option(asio::socket_base::linger(true, 0), ignored);
        m_native->socket.close(error);
    }
    if (m_native->acceptor.is_open())
        m_native->acceptor.close(error);
    return PlatformErrorOf(error);
}

int64_t TCPSocket::GetConnectTime()
{
    ZelkAssert(IsInIOCPThread(), "IsInIOCPThread()");
    if (!m_connectionMade || !IsOpen())
        return -1;
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - m_connectedAt).count();
}

// IOCP side ----------------------------------------------------------------------------------------

uint32_t TCPSocket::HandleCompletion(IOOperation &operation, uint32_t error)
{
    ZelkAssert(IsInIOCPThread(), "IsInIOCPThread()");
    ZelkAssert(operation.m_operation == IOOperation::IO_TCP_StartDisconnect ||
                   operation.m_operation == IOOperation::IO_TCP_Disconnect || IsUserlandSocketOperationInProgress(),
               "operation.m_operation == IOOperation::IO_TCP_StartDisconnect || operation.m_operation == "
               "IOOperation::IO_TCP_Disconnect || IsUserlandSocketOperationInProgress()");
    ZelkAssert(IOOperation::IO_TCP_Invalid != operation.m_operation, "IOOperation::IO_TCP_Invalid != operation.m_operation");
    ZelkAssert(nullptr != GetManager(), "NULL != GetManager()");
    bool finished = false;
    switch (operation.m_operation)
    {
    case IOOperation::IO_TCP_StartConnect:
    case IOOperation::IO_TCP_Connect:
        finished = OnConnect(operation, error);
        break;
    case IOOperation::IO_TCP_StartAccept:
    case IOOperation::IO_TCP_Accept:
        finished = OnAccept(operation, error);
        break;
    case IOOperation::IO_TCP_Read:
    case IOOperation::IO_TCP_StartRead:
        finished = RecvResponse(operation, error);
        break;
    case IOOperation::IO_TCP_Write:
    case IOOperation::IO_TCP_StartWrite:
        finished = SendResponse(operation, error);
        break;
    case IOOperation::IO_TCP_StartDisconnect:
    case IOOperation::IO_TCP_Disconnect:
        finished = OnDisconnect(operation, error);
        break;
    default:
        break;
    }
    if (finished)
        operation.Signal(this);
    return 0;
}

bool TCPSocket::Finish(IOOperation &operation, uint32_t error)
{
    operation.m_error = MapPlatformError(error);
    operation.m_platformError = error;
    return true;
}

bool TCPSocket::FailAtOnce(IOOperation &operation, uint32_t error)
{
    operation.SetState(IOOperation::STATE_FAILEDPOST);
    return Finish(operation, error);
}

void TCPSocket::Retry(IOOperation &operation, int32_t startOperation, const char *line)
{
    operation.m_operation = startOperation;
    operation.m_lastTransfer = 0;
    std::fputs(line, stdout);
    std::fflush(stdout);
    std::this_thread::yield();
    GetManager()->Post(this, 0, &operation);
}

bool TCPSocket::OnConnect(IOOperation &operation, uint32_t error)
{
    ZelkAssert(IsInIOCPThread(), "IsInIOCPThread()");
    if (error != PlatformError::kSuccess)
        return Finish(operation, error);
    if (operation.m_error != ZELKRESULT_OK)
        return true;
    if (operation.m_operation == IOOperation::IO_TCP_StartConnect)
    {
        operation.m_operation = IOOperation::IO_TCP_Connect;
        operation.SetState(IOOperation::STATE_POSTED);
        // Asio would open a closed socket again on its own; a closed socket has no connection to make.
        if (!m_native || !m_native->socket.is_open())
            return FailAtOnce(operation, PlatformError::kWSAENOTSOCK);
        m_native->socket.async_connect(ToPlatform(m_remoteAddress), [this, &operation](boost::system::error_code failure) {
            IOCompletionPort::Complete(PlatformErrorOf(failure), 0, this, &operation);
        });
        return false;
    }
    boost::system::error_code failure;
    const tcp::endpoint local = m_native->socket.local_endpoint(failure);
    if (failure)
        return Finish(operation, PlatformErrorOf(failure));
    m_localAddress = FromPlatform(local);
    m_connectedAt = std::chrono::steady_clock::now();
    m_connectionMade = true;
    m_native->SendPiecesAtOnce();
    return Finish(operation, PlatformError::kSuccess);
}

bool TCPSocket::OnAccept(IOOperation &operation, uint32_t error)
{
    ZelkAssert(IsInIOCPThread(), "IsInIOCPThread()");
    if (error != PlatformError::kSuccess)
    {
        m_acceptListener = nullptr;
        return Finish(operation, error);
    }
    if (operation.m_error != ZELKRESULT_OK)
    {
        m_acceptListener = nullptr;
        return true;
    }
    if (operation.m_operation == IOOperation::IO_TCP_StartAccept)
    {
        operation.m_operation = IOOperation::IO_TCP_Accept;
        operation.SetState(IOOperation::STATE_POSTED);
        if (!m_native || !m_acceptListener || !m_acceptListener->m_native ||
            !m_acceptListener->m_native->acceptor.is_open())
        {
            m_acceptListener = nullptr;
            return FailAtOnce(operation, PlatformError::kWSAENOTSOCK);
        }
        // The accepted connection brings its own descriptor into this socket.
        boost::system::error_code ignored;
        m_native->socket.close(ignored);
        m_acceptListener->m_native->acceptor.async_accept(
            m_native->socket, [this, &operation](boost::system::error_code failure) {
                IOCompletionPort::Complete(PlatformErrorOf(failure), 0, this, &operation);
            });
        return false;
    }
    m_acceptListener = nullptr;
    m_connectedAt = std::chrono::steady_clock::now();
    m_connectionMade = true;
    boost::system::error_code failure;
    const tcp::endpoint local = m_native->socket.local_endpoint(failure);
    const tcp::endpoint remote = failure ? tcp::endpoint() : m_native->socket.remote_endpoint(failure);
    if (failure || GetConnectTime() == -1)
        return Finish(operation, failure ? PlatformErrorOf(failure) : PlatformError::kWSAENOTCONN);
    m_localAddress = FromPlatform(local);
    m_remoteAddress = FromPlatform(remote);
    m_native->SendPiecesAtOnce();
    return Finish(operation, PlatformError::kSuccess);
}

bool TCPSocket::RecvResponse(IOOperation &operation, uint32_t error)
{
    ZelkAssert(IsInIOCPThread(), "IsInIOCPThread()");
    ZelkAssert(ZELKRESULT_OK == operation.m_error || PlatformError::kSuccess == error,
               "ZELKRESULT_OK == operation.m_error || ERROR_SUCCESS == error");
    operation.m_transferred += operation.m_lastTransfer;
    m_bytesMoved.fetch_add(operation.m_lastTransfer, std::memory_order_relaxed);
    if (operation.m_transferred == operation.m_requested)
        return true;
    if (operation.m_transferred > 0 && m_partialReadAllowed)
        operation.m_error = ZELKRESULT_PARTIAL;
    if (operation.m_error != ZELKRESULT_OK)
        return true;
    // Here a call that failed at once comes back as a completion: the retry starts from it.
    if (error == PlatformError::kWSAENOBUFS)
    {
        Retry(operation, IOOperation::IO_TCP_StartRead, "TCPSocket::RecvResponse> WSAENOBUFS!");
        return false;
    }
    if (error != PlatformError::kSuccess)
        return Finish(operation, error);
    if (operation.m_lastTransfer == 0 && operation.m_operation == IOOperation::IO_TCP_Read)
    {
        // The peer closed the connection.
        operation.m_error = ZELKRESULT_ABORTED;
        return true;
    }
    return ContinueTransfer(operation, IOOperation::IO_TCP_Read);
}

bool TCPSocket::SendResponse(IOOperation &operation, uint32_t error)
{
    ZelkAssert(IsInIOCPThread(), "IsInIOCPThread()");
    ZelkAssert(ZELKRESULT_OK == operation.m_error || PlatformError::kSuccess == error,
               "ZELKRESULT_OK == operation.m_error || ERROR_SUCCESS == error");
    operation.m_transferred += operation.m_lastTransfer;
    m_bytesMoved.fetch_add(operation.m_lastTransfer, std::memory_order_relaxed);
    if (operation.m_transferred == operation.m_requested || operation.m_error != ZELKRESULT_OK)
        return true;
    if (error == PlatformError::kWSAENOBUFS)
    {
        Retry(operation, IOOperation::IO_TCP_StartWrite, "TCPSocket::SendResponse> WSAENOBUFS!");
        return false;
    }
    if (error != PlatformError::kSuccess)
        return Finish(operation, error);
    return ContinueTransfer(operation, IOOperation::IO_TCP_Write);
}

bool TCPSocket::ContinueTransfer(IOOperation &operation, int32_t issuedOperation)
{
    operation.m_lastTransfer = 0;
    operation.m_operation = issuedOperation;
    operation.SetState(IOOperation::STATE_POSTED);
    operation.m_buffer.length = operation.m_requested - operation.m_transferred;
    operation.m_buffer.buffer = operation.m_data + operation.m_transferred;
    if (!m_native || !m_native->socket.is_open())
        return FailAtOnce(operation, PlatformError::kWSAENOTSOCK);
    if (issuedOperation == IOOperation::IO_TCP_Read)
        IssueReceive(operation);
    else
        IssueSend(operation);
    return false;
}

void TCPSocket::IssueReceive(IOOperation &operation)
{
    m_native->socket.async_read_some(
        asio::buffer(operation.m_buffer.buffer, operation.m_buffer.length),
        [this, &operation](boost::system::error_code failure, size_t count) {
            // The peer's orderly close is a receive of no bytes, as the read logic expects it.
            const uint32_t error = failure == asio::error::eof ? PlatformError::kSuccess : PlatformErrorOf(failure);
            IOCompletionPort::Complete(error, static_cast<uint32_t>(count), this, &operation);
        });
}

void TCPSocket::IssueSend(IOOperation &operation)
{
    m_native->socket.async_write_some(
        asio::buffer(operation.m_buffer.buffer, operation.m_buffer.length),
        [this, &operation](boost::system::error_code failure, size_t count) {
            IOCompletionPort::Complete(PlatformErrorOf(failure), static_cast<uint32_t>(count), this, &operation);
        });
}

bool TCPSocket::OnDisconnect(IOOperation &operation, uint32_t error)
{
    ZelkAssert(IsInIOCPThread(), "IsInIOCPThread()");
    if (operation.m_error != ZELKRESULT_OK)
        return true;
    if (operation.m_operation != IOOperation::IO_TCP_Disconnect && error == PlatformError::kSuccess)
    {
        operation.m_operation = IOOperation::IO_TCP_Disconnect;
        operation.SetState(IOOperation::STATE_POSTED);
        if (!m_native || !m_native->socket.is_open())
            return FailAtOnce(operation, PlatformError::kWSAENOTSOCK);
        // The end of the sending side is the orderly close the peer reads as the end of the
        // stream. It happens at once; its completion still goes through the queue.
        boost::system::error_code failure;
        m_native->socket.shutdown(tcp::socket::shutdown_send, failure);
        GetManager()->IOCompletionPort::Post(0, this, &operation, PlatformErrorOf(failure));
        return false;
    }
    return Finish(operation, error);
}
