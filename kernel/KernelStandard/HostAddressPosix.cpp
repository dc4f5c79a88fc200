#include "kernel/HostAddress.h"

#include <arpa/inet.h>
#include <memory>
#include <netdb.h>
#include <sys/socket.h>

bool ResolveIPv4Host(const std::string &host, uint32_t &address, std::string &reason)
{
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const int result = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (result != 0 || found == nullptr)
    {
        reason = gai_strerror(result);
        return false;
    }
    const std::unique_ptr<addrinfo, void (*)(addrinfo *)> owned(found, freeaddrinfo);
    if (found->ai_addrlen < sizeof(sockaddr_in))
    {
        reason = "not an IPv4 address";
        return false;
    }
    address = ntohl(reinterpret_cast<const sockaddr_in *>(found->ai_addr)->sin_addr.s_addr);
    return true;
}
