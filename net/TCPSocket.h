// An IPv4 stream socket whose every transfer is an operation completed on the IOCP thread. The
// userland side (connect, receive, send, bind, listen, accept) only posts operations; the IOCP
// side issues the platform calls and carries each operation to its end.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "net/CPSocketManager.h"

// An IPv4 address and port in host byte order.
struct IPv4Endpoint
{
    uint32_t address = 0;
    uint16_t port = 0;

    bool operator==(const IPv4Endpoint &other) const = default;
};

// What a socket's address fields hold before they are known.
constexpr IPv4Endpoint kUnsetEndpoint = {0xFFFFFFFFu, 0};
// 127.0.0.1.
constexpr uint32_t kLoopbackAddress = 0x7F000001u;

class TCPSocket : public CPHandler
{
public:
    TCPSocket();
    // Closes the socket hard, as Close does. A socket must go before its manager.
    ~TCPSocket() override;

    // IOCP side: hands the completion to the handler of the operation's kind and signals the
    // operation when that handler says it is finished.
    uint32_t HandleCompletion(IOOperation &operation, uint32_t error) override;
    intptr_t GetHandle() override;

    // Userland side. Create makes the socket and binds it to the manager's port.
    virtual bool Create(CPSocketManager *manager);
    // Each of these posts the operation; its result arrives in the operation.
    virtual void Connect(const IPv4Endpoint &address, IOOperation &operation);
    virtual void Receive(IOOperation &operation);
    virtual void Send(IOOperation &operation);
    // A graceful disconnect; it does not claim the socket, so it may come from any thread.
    virtual void Disconnect(IOOperation &operation);

    // IOCP side, one per kind of operation; true when the operation is finished.
    virtual bool OnAccept(IOOperation &operation, uint32_t error);
    virtual bool OnConnect(IOOperation &operation, uint32_t error);
    virtual bool RecvResponse(IOOperation &operation, uint32_t error);
    virtual bool SendResponse(IOOperation &operation, uint32_t error);
    virtual bool OnDisconnect(IOOperation &operation, uint32_t error);

    // From any thread: a hard close that resets the connection; an operation waiting on the socket
    // ends with an error. Returns the platform error of the close.
    uint32_t Close();
    // reuse 2 lets the address be bound again while old connections linger; 1 asks for the
    // address exclusively (what this platform does anyway); 0 sets nothing.
    ZELKRESULT Bind(const IPv4Endpoint &address, int reuse);
    ZELKRESULT Listen(int backlog);
    // Posts an accept of the next connection of the listening socket into this socket.
    void StartAccept(TCPSocket &listening, IOOperation &operation);
    // IOCP side: seconds since the connection was made, -1 while there is none.
    int64_t GetConnectTime();

    // The claim of the socket by one userland thread at a time; its owner may nest it.
    void EnterUserlandOperation();
    void LeaveUserlandOperation();
    bool IsUserlandSocketOperationInProgress() const { return m_currentUserlandThread.load() != -1; }

    bool IsOpen();
    // Bytes received and sent so far, counted as each piece of a transfer completes, so that
    // another thread can tell a peer that moves slowly from one that moves nothing while a long
    // transfer is still under way.
    uint64_t GetBytesMoved() const { return m_bytesMoved.load(std::memory_order_relaxed); }
    void SetPartialReadAllowed(bool allowed) { m_partialReadAllowed = allowed; }
    IPv4Endpoint GetLocalAddress() const { return m_localAddress; }
    IPv4Endpoint GetRemoteAddress() const { return m_remoteAddress; }

protected:
    // The platform's receive and send of the operation's buffer descriptor, on the IOCP thread;
    // each ends in one completion of the operation.
    virtual void IssueReceive(IOOperation &operation);
    virtual void IssueSend(IOOperation &operation);

private:
    // Stores the result of a finished operation: the mapped code and the platform error.
    static bool Finish(IOOperation &operation, uint32_t error);
    // A platform call that failed before it was under way.
    static bool FailAtOnce(IOOperation &operation, uint32_t error);
    // Points the operation at the bytes still to move and issues the receive or send for them.
    bool ContinueTransfer(IOOperation &operation, int32_t issuedOperation);
    // A lack of buffer space: the operation goes back to the queue to be tried again.
    void Retry(IOOperation &operation, int32_t startOperation, const char *line);
    void Post(IOOperation &operation, int32_t startOperation);
    uint32_t CloseNow();

    struct Native;
    std::unique_ptr<Native> m_native;
    TCPSocket *m_acceptListener = nullptr;
    bool m_partialReadAllowed = false;
    IPv4Endpoint m_localAddress = kUnsetEndpoint;
    IPv4Endpoint m_remoteAddress = kUnsetEndpoint;
    std::chrono::steady_clock::time_point m_connectedAt;
    bool m_connectionMade = false;
    std::atomic<int32_t> m_currentUserlandThread{-1};
    std::atomic<int32_t> m_userlandCount{0};
    std::atomic<uint64_t> m_bytesMoved{0};
};
