// A TCP connection as a byte stream: a userland thread connects and then writes and reads exact
// byte counts as if the connection were a file. Each call blocks until the IOCP thread has moved
// every byte or an error (or the peer's close) ended it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "net/TCPSocket.h"
#include "net/ZelkDataBuffer.h"

class ZelkDataBufferTCP : public ZelkDataBuffer
{
public:
    // A new socket on the process's socket manager, which the buffer holds a reference on.
    ZelkDataBufferTCP();
    // An accepted connection, already created and connected.
    explicit ZelkDataBufferTCP(std::unique_ptr<TCPSocket> socket);
    ~ZelkDataBufferTCP() override;

    // ZELKRESULT_INVALID_STATE without a socket or when already connected; otherwise the mapped
    // result of the connect (ZELKRESULT_REFUSED when nothing listens).
    ZELKRESULT Connect(const IPv4Endpoint &address);
    // Abortive: closes the socket hard, from any thread; a Read or Write waiting on it ends with
    // an error. Graceful: ends the sending side, so that the peer reads the end of the stream.
    void Disconnect(bool abortive);
    bool IsConnected() const;

    // Always 0: a stream has no size.
    uint64_t GetSize() override;
    ZELKRESULT SetSize(uint64_t size) override;
    // The bytes received so far.
    uint64_t GetPosition() override;
    ZELKRESULT Seek(uint64_t position) override;
    // Returns once all count bytes are handed to the platform, or with the error that stopped it.
    ZELKRESULT Write(const void *source, uint32_t count) override;
    // Returns once count bytes arrived; with partialReadAllowed also once some did
    // (ZELKRESULT_PARTIAL). The peer's close is ZELKRESULT_ABORTED, and the bytes of that read
    // are not counted.
    ZELKRESULT Read(void *destination, uint32_t count) override;
    void Flush() override;

    IPv4Endpoint GetLocalAddress() const;
    IPv4Endpoint GetRemoteAddress() const;
    // Bytes moved either way so far, from any thread, a transfer still under way included.
    uint64_t GetBytesMoved() const;

    // Bytes received by every read that ended with ZELKRESULT_OK or ZELKRESULT_PARTIAL.
    uint32_t received = 0;
    bool partialReadAllowed = false;

private:
    ZELKRESULT Transfer(void *bytes, uint32_t count, bool isRead);

    // Serialises the start of transfers and the abortive close; never held while waiting.
    std::mutex m_lock;
    std::unique_ptr<TCPSocket> m_socket;
    std::atomic<bool> m_connected{false};
};

// A listening socket on address (port 0: any free port); the bound address is in its local address.
ZELKRESULT StartListening(TCPSocket &listener, const IPv4Endpoint &address, int backlog);
// Waits for the next connection on a listening socket and returns it as a connected buffer; null
// with the mapped error when the accept fails.
std::unique_ptr<ZelkDataBufferTCP> AcceptConnection(TCPSocket &listener, ZELKRESULT &result);
