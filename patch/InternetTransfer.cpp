#include "patch/InternetTransfer.h"

#include "net/ZelkDataBuffer.h"
#include "patch/FtpTransfer.h"
#include "patch/HttpTransfer.h"
#include "patch/TransferAddress.h"

namespace
{
constexpr int kDownloadAttempts = 11;
constexpr int kFtpSizeAttempts = 5;
constexpr int kHttpSizeAttempts = 11;

// Every transfer asks for passive mode, which works through the firewalls users sit behind.
ZELKRESULT OpenPassive(ZelkFTP &ftp, const ZelkAddress &parts)
{
    return ftp.Open(parts.host, parts.user, parts.password, true, parts.port);
}

bool IsHttp(const ZelkAddress &parts)
{
    return parts.scheme == "http" || parts.scheme == "https";
}
} // namespace

ZELKRESULT DownloadAddress(const std::string &address, ZelkDataBuffer &destination, uint32_t flags,
                           ZelkTransferCallback *callback)
{
    ZelkAddress parts;
    if (const ZELKRESULT result = ParseTransferAddress(address, parts))
        return result;

    if (parts.scheme == "ftp")
    {
        ZelkFTP ftp;
        return RetryTransfer(kDownloadAttempts, callback, [&](bool &) {
            ZELKRESULT attempt = OpenPassive(ftp, parts);
            if (attempt == ZELKRESULT_OK)
                attempt = ftp.GetFileAtPath(parts.path, destination, callback);
            if (attempt == ZELKRESULT_OK)
                ftp.Close();
            return attempt;
        });
    }
    if (IsHttp(parts))
    {
        const uint64_t downloadStart = destination.GetPosition();
        const bool noCache = (flags & kDownloadNoCache) != 0;
        return RetryTransfer(kDownloadAttempts, callback, [&](bool &final) {
            return HttpGetAttempt(address, destination, noCache, callback, downloadStart, final);
        });
    }
    return ZELKRESULT_BAD_FORMAT;
}

ZELKRESULT QueryAddressSize(const std::string &address, uint64_t &size)
{
    size = 0;
    ZelkAddress parts;
    if (const ZELKRESULT result = ParseTransferAddress(address, parts))
        return result;

    if (parts.scheme == "ftp")
    {
        ZelkFTP ftp;
        return RetryTransfer(kFtpSizeAttempts, nullptr, [&](bool &) {
            ZELKRESULT attempt = OpenPassive(ftp, parts);
            if (attempt == ZELKRESULT_OK)
                attempt = ftp.GetFileSize(parts.path, size);
            return attempt;
        });
    }
    if (IsHttp(parts))
        return RetryTransfer(kHttpSizeAttempts, nullptr,
                             [&](bool &final) { return HttpQuerySizeAttempt(address, size, final); });
    return ZELKRESULT_BAD_FORMAT;
}
