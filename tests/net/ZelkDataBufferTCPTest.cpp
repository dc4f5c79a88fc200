// The connection buffer against plain sockets on 127.0.0.1, so that each behaviour is seen from a
// peer that is not our own code.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <future>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "LoopbackPeer.h"
#include "TestFiles.h"
#include "net/ZelkDataBufferTCP.h"

namespace
{
using testfiles::Pattern;
using namespace std::chrono_literals;
using namespace loopback;

IPv4Endpoint OnLoopback(uint16_t port)
{
    return {kLoopbackAddress, port};
}
} // namespace

TEST(ZelkDataBufferTCP, AReadServedInPiecesReturnsOnceWithEveryByte)
{
    Peer peer([](int fd) {
        SendAll(fd, "abc");
        std::this_thread::sleep_for(100ms);
        SendAll(fd, "defgh");
        ReceiveAll(fd);
    });
    ZelkDataBufferTCP connection;
    ASSERT_EQ(connection.Connect(OnLoopback(peer.Port())), ZELKRESULT_OK);
    EXPECT_TRUE(connection.IsConnected());
    EXPECT_EQ(connection.GetRemoteAddress(), OnLoopback(peer.Port()));
    EXPECT_EQ(connection.GetLocalAddress().address, kLoopbackAddress);
    char bytes[8] = {};
    EXPECT_EQ(connection.Read(bytes, 8), ZELKRESULT_OK);
    EXPECT_EQ(std::string(bytes, 8), "abcdefgh");
    EXPECT_EQ(connection.received, 8u);
    EXPECT_EQ(connection.GetPosition(), 8u);
}

TEST(ZelkDataBufferTCP, APeerClosingDuringAReadAbortsItAndCountsNothing)
{
    Peer peer([](int fd) {
        SendAll(fd, "abc");
        std::this_thread::sleep_for(100ms);
    });
    ZelkDataBufferTCP connection;
    ASSERT_EQ(connection.Connect(OnLoopback(peer.Port())), ZELKRESULT_OK);
    char bytes[8] = {};
    EXPECT_EQ(connection.Read(bytes, 8), ZELKRESULT_ABORTED);
    EXPECT_EQ(connection.received, 0u);
}

TEST(ZelkDataBufferTCP, APartialReadReturnsWhatCameWhenAllowed)
{
    std::promise<void> readDone;
    Peer peer([&](int fd) {
        SendAll(fd, "abc");
        readDone.get_future().wait();
    });
    ZelkDataBufferTCP connection;
    ASSERT_EQ(connection.Connect(OnLoopback(peer.Port())), ZELKRESULT_OK);
    connection.partialReadAllowed = true;
    char bytes[8] = {};
    EXPECT_EQ(connection.Read(bytes, 8), ZELKRESULT_PARTIAL);
    readDone.set_value();
    EXPECT_EQ(std::string(bytes, 3), "abc");
    EXPECT_EQ(connection.received, 3u);
}

TEST(ZelkDataBufferTCP, ConnectingTwiceOrToNoListenerFails)
{
    ZelkDataBufferTCP refused;
    EXPECT_EQ(refused.Connect({kLoopbackAddress, UnusedPort()}), ZELKRESULT_REFUSED);
    EXPECT_FALSE(refused.IsConnected());

    Peer peer([](int fd) { ReceiveAll(fd); });
    ZelkDataBufferTCP connection;
    ASSERT_EQ(connection.Connect(OnLoopback(peer.Port())), ZELKRESULT_OK);
    EXPECT_EQ(connection.Connect(OnLoopback(peer.Port())), ZELKRESULT_INVALID_STATE);
    // A stream has neither size nor places to seek to.
    EXPECT_EQ(connection.GetSize(), 0u);
    EXPECT_EQ(connection.Seek(0), ZELKRESULT_UNSUPPORTED);
    EXPECT_EQ(connection.SetSize(0), ZELKRESULT_UNSUPPORTED);
}

TEST(ZelkDataBufferTCP, AnAbortiveDisconnectFromAnotherThreadEndsAWaitingRead)
{
    std::promise<void> released;
    Peer peer([&](int) { released.get_future().wait(); });
    ZelkDataBufferTCP connection;
    ASSERT_EQ(connection.Connect(OnLoopback(peer.Port())), ZELKRESULT_OK);
    auto read = std::async(std::launch::async, [&] {
        char bytes[8];
        return connection.Read(bytes, 8);
    });
    // Give the read time to start waiting; it ends with an error whichever comes first.
    std::this_thread::sleep_for(200ms);
    connection.Disconnect(true);
    EXPECT_FALSE(connection.IsConnected());
    ASSERT_EQ(read.wait_for(std::chrono::milliseconds(kPatienceMs)), std::future_status::ready);
    EXPECT_NE(read.get(), ZELKRESULT_OK);
    EXPECT_EQ(connection.received, 0u);
    released.set_value();
}

TEST(ZelkDataBufferTCP, SixtyFourMebibytesGoThereAndBackIntact)
{
    constexpr size_t size = 64u << 20;
    Peer peer([](int fd) { SendAll(fd, ReceiveAll(fd, size)); });
    ZelkDataBufferTCP connection;
    ASSERT_EQ(connection.Connect(OnLoopback(peer.Port())), ZELKRESULT_OK);
    const std::string sent = Pattern(size);
    ASSERT_EQ(connection.Write(sent.data(), static_cast<uint32_t>(size)), ZELKRESULT_OK);
    std::string back(size, '\0');
    ASSERT_EQ(connection.Read(back.data(), static_cast<uint32_t>(size)), ZELKRESULT_OK);
    EXPECT_TRUE(back == sent);
    EXPECT_EQ(connection.received, size);
}

TEST(ZelkDataBufferTCP, AGracefulDisconnectEndsTheStreamAfterEveryByte)
{
    std::promise<std::string> seen;
    Peer peer([&](int fd) { seen.set_value(ReceiveAll(fd)); });
    ZelkDataBufferTCP connection;
    ASSERT_EQ(connection.Connect(OnLoopback(peer.Port())), ZELKRESULT_OK);
    ASSERT_EQ(connection.Write("last words", 10), ZELKRESULT_OK);
    connection.Disconnect(false);
    EXPECT_FALSE(connection.IsConnected());
    auto bytes = seen.get_future();
    ASSERT_EQ(bytes.wait_for(std::chrono::milliseconds(kPatienceMs)), std::future_status::ready);
    EXPECT_EQ(bytes.get(), "last words");
}

TEST(ZelkDataBufferTCP, TheAcceptingSideServesAPlainClient)
{
    CPSocketManager *manager = AcquireSocketManager(1);
    ASSERT_NE(manager, nullptr);
    {
        TCPSocket listener;
        ASSERT_EQ(StartListening(listener, {kLoopbackAddress, 0}, 4), ZELKRESULT_OK);
        const IPv4Endpoint address = listener.GetLocalAddress();
        ASSERT_NE(address.port, 0);

        std::promise<uint16_t> clientPort;
        auto client = std::async(std::launch::async, [&] {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in to = {};
            to.sin_family = AF_INET;
            to.sin_addr.s_addr = htonl(address.address);
            to.sin_port = htons(address.port);
            std::string answer;
            if (connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0)
            {
                sockaddr_in local = {};
                socklen_t length = sizeof local;
                getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length);
                clientPort.set_value(ntohs(local.sin_port));
                SendAll(fd, "ping");
                answer = ReceiveAll(fd);
            }
            close(fd);
            return answer;
        });

        ZELKRESULT result = ZELKRESULT_NETWORK;
        std::unique_ptr<ZelkDataBufferTCP> connection = AcceptConnection(listener, result);
        ASSERT_EQ(result, ZELKRESULT_OK);
        ASSERT_NE(connection, nullptr);
        EXPECT_TRUE(connection->IsConnected());
        EXPECT_EQ(connection->GetRemoteAddress(), (IPv4Endpoint{kLoopbackAddress, clientPort.get_future().get()}));
        char request[4];
        ASSERT_EQ(connection->Read(request, 4), ZELKRESULT_OK);
        EXPECT_EQ(std::string(request, 4), "ping");
        ASSERT_EQ(connection->Write("pong", 4), ZELKRESULT_OK);
        connection->Disconnect(false);
        EXPECT_EQ(client.get(), "pong");
    }
    ReleaseSocketManager();
}

namespace
{
// Stands in for a platform that is short of buffer space for the first few calls of each kind.
class ShortOfBuffersSocket : public TCPSocket
{
public:
    int refusals = 2;

protected:
    void IssueReceive(IOOperation &operation) override
    {
        if (refusals > 0 && refusals--)
            GetManager()->IOCompletionPort::Post(0, this, &operation, PlatformError::kWSAENOBUFS);
        else
            TCPSocket::IssueReceive(operation);
    }
    void IssueSend(IOOperation &operation) override
    {
        if (refusals > 0 && refusals--)
            GetManager()->IOCompletionPort::Post(0, this, &operation, PlatformError::kWSAENOBUFS);
        else
            TCPSocket::IssueSend(operation);
    }
};
} // namespace

TEST(ZelkDataBufferTCP, ALackOfBufferSpaceIsRetriedUntilTheTransferGoesThrough)
{
    Peer peer([](int fd) { SendAll(fd, ReceiveAll(fd, 5)); });
    CPSocketManager *manager = AcquireSocketManager(1);
    auto socket = std::make_unique<ShortOfBuffersSocket>();
    ShortOfBuffersSocket *platform = socket.get();
    ASSERT_TRUE(socket->Create(manager));
    {
        ZelkDataBufferTCP connection(std::move(socket));
        EXPECT_FALSE(connection.IsConnected());
        ASSERT_EQ(connection.Connect(OnLoopback(peer.Port())), ZELKRESULT_OK);
        testing::internal::CaptureStdout();
        EXPECT_EQ(connection.Write("hello", 5), ZELKRESULT_OK);
        platform->refusals = 2;
        char bytes[5] = {};
        EXPECT_EQ(connection.Read(bytes, 5), ZELKRESULT_OK);
        const std::string lines = testing::internal::GetCapturedStdout();
        EXPECT_EQ(std::string(bytes, 5), "hello");
        EXPECT_EQ(lines, "TCPSocket::SendResponse> WSAENOBUFS!TCPSocket::SendResponse> WSAENOBUFS!"
                         "TCPSocket::RecvResponse> WSAENOBUFS!TCPSocket::RecvResponse> WSAENOBUFS!");
    }
    ReleaseSocketManager();
}

// Death tests: the thread rules of the socket --------------------------------------------------------

namespace
{
ZelkDataBufferTCP *g_readFromIOCPThread = nullptr;

// Reads from a connection while it runs on the IOCP thread, which no socket call may do.
class ReadingHandler : public CPHandler
{
public:
    uint32_t HandleCompletion(IOOperation &, uint32_t) override
    {
        char byte;
        g_readFromIOCPThread->Read(&byte, 1);
        return 0;
    }
    intptr_t GetHandle() override { return -1; }
};
} // namespace

TEST(ZelkDataBufferTCPDeathTest, AUserlandOperationOnTheIOCPThreadEndsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            ZelkDataBufferTCP connection;
            g_readFromIOCPThread = &connection;
            ReadingHandler handler;
            IOOperation operation(false);
            operation.m_handler = &handler;
            GetSocketManager()->Post(&handler, 0, &operation);
            operation.Wait();
        },
        "Assertion failed: IsInUserlandThread\\(\\)");
}

TEST(ZelkDataBufferTCPDeathTest, ASecondThreadEnteringWhileTheFirstHoldsTheSocketEndsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    PlainListener listener;
    EXPECT_DEATH(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            ZelkDataBufferTCP connection;
            connection.Connect(OnLoopback(listener.Port()));
            std::thread reader([&] {
                char bytes[8];
                connection.Read(bytes, 8);
            });
            std::this_thread::sleep_for(200ms);
            connection.Write("x", 1);
            reader.join();
        },
        "Assertion failed: wasThreadID == -1 \\|\\| wasThreadID == myThreadID");
}
