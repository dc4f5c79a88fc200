// Peers for the connection tests that are not our own code: plain sockets on 127.0.0.1, each run
// by the test itself and ended with it.
#pragma once

#include <arpa/inet.h>
#include <chrono>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "LoopbackConnect.h"

namespace loopback
{
// Generous bounds that only keep a broken test from hanging; nothing here measures speed.
inline constexpr int kPatienceMs = 30000;

// A listening socket of the test's own on 127.0.0.1 and a free port.
class PlainListener
{
public:
    PlainListener()
    {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(m_fd, 4) != 0 ||
            getsockname(m_fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            ADD_FAILURE() << "no listening socket";
        m_port = ntohs(address.sin_port);
    }
    ~PlainListener() { close(m_fd); }

    uint16_t Port() const { return m_port; }
    // The next connection, or -1 after the patience ran out.
    int Accept() const
    {
        pollfd ready = {m_fd, POLLIN, 0};
        if (poll(&ready, 1, kPatienceMs) != 1)
            return -1;
        return accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
    }

private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

// A port on which nothing listens: bound once, then closed again.
inline uint16_t UnusedPort()
{
    PlainListener listener;
    return listener.Port();
}

inline void SendAll(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size())
    {
        const ssize_t sent = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent <= 0)
            return;
        done += static_cast<size_t>(sent);
    }
}

// Everything until the peer closes (or count bytes, when count is given).
inline std::string ReceiveAll(int fd, size_t count = std::string::npos)
{
    std::string bytes;
    char piece[65536];
    while (bytes.size() < count)
    {
        pollfd ready = {fd, POLLIN, 0};
        if (poll(&ready, 1, kPatienceMs) != 1)
            break;
        const ssize_t got = recv(fd, piece, std::min(sizeof piece, count - bytes.size()), 0);
        if (got <= 0)
            break;
        bytes.append(piece, static_cast<size_t>(got));
    }
    return bytes;
}

// A peer that runs one script on the accepted connection, on its own thread.
class Peer
{
public:
    explicit Peer(std::function<void(int fd)> script)
        : m_done(std::async(std::launch::async, [this, script] {
              const int fd = m_listener.Accept();
              if (fd < 0)
                  return;
              script(fd);
              close(fd);
          }))
    {
    }
    ~Peer() { Finish(); }
    uint16_t Port() const { return m_listener.Port(); }
    void Finish()
    {
        if (m_done.valid())
            m_done.wait();
    }

private:
    PlainListener m_listener;
    std::future<void> m_done;
};
} // namespace loopback
