// Addresses of the files a transfer fetches: the address syntax of patch lists and settings, and
// the URLs made from it for libcurl.
#pragma once

#include <string>

#include "kernel/ZelkTypes.h"

// [scheme "://"] [user [":" password] "@"] host [":" port] ["/" path]
struct ZelkAddress
{
    std::string scheme;
    std::string user;
    std::string password;
    std::string host;
    int port = 0;
    std::string path;
};

// Splits the address; ZELKRESULT_INVALID_ARGUMENT for an empty host, or a password without user.
ZELKRESULT ParseAddress(const std::string &address, ZelkAddress &parts);
// Chooses a scheme for an address written without one: by its port, else by the host name.
void DefaultScheme(ZelkAddress &parts);
// A port of 0 becomes the scheme's well-known port.
void DefaultPort(ZelkAddress &parts);
// ParseAddress, then DefaultScheme: an address with its scheme settled.
ZELKRESULT ParseTransferAddress(const std::string &address, ZelkAddress &parts);

// The URL of path on host:port. The path is as list files write it: characters that a URL cannot
// carry are escaped, an escape already written stays as it is, and an FTP path that starts with
// "/" stays absolute.
std::string BuildUrl(const std::string &scheme, const std::string &host, int port, const std::string &path);

// Percent-encodes every byte of a relative path but letters, digits, "-._~" and the '/' between
// components, so that any file name reaches the server as itself.
std::string EncodeUrlPath(const std::string &path);
// base with exactly one '/' between it and name.
std::string JoinUrl(const std::string &base, const std::string &name);
