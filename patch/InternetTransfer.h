// FTP and HTTP(S) transfers of patch lists and package archives, with the retries that keep a
// download going over a poor connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "kernel/ZelkTypes.h"

class ZelkDataBuffer;

// Asked during a transfer (also while it stalls) whether it must stop.
class ZelkTransferCallback
{
public:
    virtual ~ZelkTransferCallback() = default;
    // True: stop the transfer.
    virtual bool ShouldStop() = 0;
};

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

// Bit 0 of DownloadAddress's flags: ask caches and proxies for a fresh copy.
constexpr uint32_t kDownloadNoCache = 1;

// Splits the address; ZELKRESULT_INVALID_ARGUMENT for an empty host, or a password without user.
ZELKRESULT ParseAddress(const std::string &address, ZelkAddress &parts);
// Chooses a scheme for an address written without one: by its port, else by the host name.
void DefaultScheme(ZelkAddress &parts);
// A port of 0 becomes the scheme's well-known port.
void DefaultPort(ZelkAddress &parts);

// Writes the file's bytes at the destination's position, trying again after a failed attempt
// (11 tries) unless an HTTP status says no retry can change the answer (4xx but 408 and 429).
// ZELKRESULT_BAD_FORMAT for a scheme other than ftp, http, https; ZELKRESULT_ABORTED when the
// callback asked to stop.
ZELKRESULT DownloadAddress(const std::string &address, ZelkDataBuffer &destination, uint32_t flags,
                           ZelkTransferCallback *callback);
// The size of the file at the address; size is 0 unless the result is ZELKRESULT_OK.
ZELKRESULT QueryAddressSize(const std::string &address, uint64_t &size);

// One transfer over HTTP or HTTPS (no retries of its own). A status outside 200-299 fails with
// ZELKRESULT_CONNECTION_LOST and nothing of its body is stored.
ZELKRESULT HttpGet(const std::string &address, ZelkDataBuffer &destination, bool noCache,
                   ZelkTransferCallback *callback);
ZELKRESULT HttpQuerySize(const std::string &address, uint64_t &size);

// The process-wide transfer library state, set up once on first use and kept until exit.
class ZelkInetInternal
{
public:
    // True when the library is ready.
    static bool CreateInternetSession();
};

// One FTP connection: remembers what it needs to reconnect after a reset.
class ZelkFTP
{
public:
    ZelkFTP();
    ~ZelkFTP();
    ZelkFTP(const ZelkFTP &) = delete;
    ZelkFTP &operator=(const ZelkFTP &) = delete;

    // port 0 means 21.
    ZELKRESULT Open(const std::string &host, const std::string &user, const std::string &password, bool passive,
                    int port = 0);
    void Close();
    bool IsConnected() const;
    ZELKRESULT GetFileSize(const std::string &path, uint64_t &size);
    // Continues a destination that already holds the start of the file (REST); a server that
    // refuses gets the whole file into an emptied destination.
    ZELKRESULT GetFileAtPath(const std::string &path, ZelkDataBuffer &destination, ZelkTransferCallback *callback);
    // Reconnects after a reset connection, returning to the current directory when restore is
    // set. Always ZELKRESULT_CONNECTION_LOST: the operation that needed it has failed.
    ZELKRESULT Reconnect(bool restore);
    ZELKRESULT SetDirectory(const std::string &path);

private:
    struct Connection;
    std::string ResolvePath(const std::string &path) const;

    std::unique_ptr<Connection> m_connection;
    std::string m_host;
    std::string m_user;
    std::string m_password;
    int m_port = 21;
    std::string m_directory;
    bool m_passive = true;
    long m_lastError = 0;
};

// Transfer settings that tests shorten; the defaults are the program's.
struct ZelkTransferTimings
{
    std::chrono::milliseconds retryPause{1000};
    std::chrono::seconds connectTimeout{60};
    // A transfer slower than 1 byte/s for this long has stalled and fails.
    std::chrono::seconds stallTime{60};
};
ZelkTransferTimings GetTransferTimings();
void SetTransferTimings(const ZelkTransferTimings &timings);
