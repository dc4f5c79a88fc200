#include "patch/TransferAddress.h"

#include <cctype>
#include <charconv>
#include <cstring>

#include "kernel/TextConvert.h"

namespace
{
constexpr int kFtpPort = 21;
constexpr int kHttpPort = 80;
constexpr int kHttpsPort = 443;
constexpr int kMaxPort = 65535;

void AppendEscaped(std::string &url, unsigned char c)
{
    static const char kHex[] = "0123456789ABCDEF";
    url += '%';
    url += kHex[c >> 4];
    url += kHex[c & 15];
}

std::string EscapeUrlPath(const std::string &path, bool ftp)
{
    std::string escaped;
    for (unsigned char c : path)
    {
        const bool unsafe = c <= 0x20 || c >= 0x7F || std::strchr("\"<>\\^`{|}", c) != nullptr ||
                            (ftp && (c == '?' || c == '#'));
        if (unsafe)
            AppendEscaped(escaped, c);
        else
            escaped += static_cast<char>(c);
    }
    return escaped;
}
} // namespace

ZELKRESULT ParseAddress(const std::string &address, ZelkAddress &parts)
{
    parts = ZelkAddress();
    std::string rest = address;
    if (const size_t at = rest.find("://"); at != std::string::npos)
    {
        parts.scheme = rest.substr(0, at);
        rest.erase(0, at + 3);
    }
    std::string hostPart = rest;
    if (const size_t at = rest.find('@'); at != std::string::npos)
    {
        const std::string userPart = rest.substr(0, at);
        hostPart = rest.substr(at + 1);
        const size_t colon = userPart.find(':');
        parts.user = userPart.substr(0, colon);
        if (colon != std::string::npos)
            parts.password = userPart.substr(colon + 1);
    }
    std::string hostAndPort = hostPart;
    if (const size_t slash = hostPart.find('/'); slash != std::string::npos)
    {
        hostAndPort = hostPart.substr(0, slash);
        parts.path = hostPart.substr(slash + 1);
    }
    parts.host = hostAndPort;
    if (const size_t colon = hostAndPort.find(':'); colon != std::string::npos)
    {
        parts.host = hostAndPort.substr(0, colon);
        const std::string portText = hostAndPort.substr(colon + 1);
        int port = 0;
        const char *end = portText.data() + portText.size();
        const std::from_chars_result parsed = std::from_chars(portText.data(), end, port);
        // A number that is no port would otherwise reach the connection (or become the default).
        if (parsed.ec == std::errc::result_out_of_range || (parsed.ec == std::errc() && (port < 0 || port > kMaxPort)))
            return ZELKRESULT_INVALID_ARGUMENT;
        if (parsed.ec == std::errc())
            parts.port = port;
    }
    for (char &c : parts.scheme)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (parts.host.empty() || (parts.user.empty() && !parts.password.empty()))
        return ZELKRESULT_INVALID_ARGUMENT;
    return ZELKRESULT_OK;
}

void DefaultScheme(ZelkAddress &parts)
{
    if (!parts.scheme.empty())
        return;
    if (parts.port == kFtpPort)
        parts.scheme = "ftp";
    else if (parts.port == kHttpPort)
        parts.scheme = "http";
    else if (parts.port == kHttpsPort)
        parts.scheme = "https";
    else if (StartsWithNoCase(parts.host, "ftp"))
        parts.scheme = "ftp";
    else if (StartsWithNoCase(parts.host, "https"))
        parts.scheme = "https";
    else
        parts.scheme = "http";
}

void DefaultPort(ZelkAddress &parts)
{
    if (parts.port > 0)
        return;
    if (parts.scheme == "https")
        parts.port = kHttpsPort;
    else if (parts.scheme == "ftp")
        parts.port = kFtpPort;
    else
        parts.port = kHttpPort;
}

ZELKRESULT ParseTransferAddress(const std::string &address, ZelkAddress &parts)
{
    if (const ZELKRESULT result = ParseAddress(address, parts))
        return result;
    DefaultScheme(parts);
    return ZELKRESULT_OK;
}

std::string BuildUrl(const std::string &scheme, const std::string &host, int port, const std::string &path)
{
    const bool ftp = scheme == "ftp";
    std::string url = scheme + "://" + host + ":" + std::to_string(port) + "/";
    // In an FTP URL a path that starts with "/" is relative to the login directory unless the
    // slash is escaped.
    if (ftp && !path.empty() && path[0] == '/')
        url += "%2F" + EscapeUrlPath(path.substr(1), ftp);
    else
        url += EscapeUrlPath(path, ftp);
    return url;
}

std::string EncodeUrlPath(const std::string &path)
{
    std::string encoded;
    for (const char c : path)
    {
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
        if (unreserved)
            encoded += c;
        else
            AppendEscaped(encoded, static_cast<unsigned char>(c));
    }
    return encoded;
}

std::string JoinUrl(const std::string &base, const std::string &name)
{
    size_t end = base.size();
    while (end > 0 && base[end - 1] == '/')
        --end;
    size_t start = 0;
    while (start < name.size() && name[start] == '/')
        ++start;
    return base.substr(0, end) + "/" + name.substr(start);
}
