// A plain client of a server on the loopback, for the tests and the benchmarks alike (no test
// framework in it).
#pragma once

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace loopback
{
// A plain client connected to 127.0.0.1:port from the source address given (another address of
// 127.0.0.0/8 is another host to the server); a receiveBuffer above 0 makes what the system keeps
// unread for it that small. -1 when the connection fails.
inline int ConnectFrom(uint16_t port, uint32_t source = INADDR_LOOPBACK, int receiveBuffer = 0)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (receiveBuffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(source);
    sockaddr_in server = {};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
        connect(fd, reinterpret_cast<sockaddr *>(&server), sizeof server) != 0)
    {
        close(fd);
        return -1;
    }
    return fd;
}
} // namespace loopback
