// Name lookup of the hosts the program connects to.
#pragma once

#include <cstdint>
#include <string>

// The first IPv4 address of a host name or dotted address, in host byte order. False when the
// host has none; reason then says why.
bool ResolveIPv4Host(const std::string &host, uint32_t &address, std::string &reason);
