// Files over FTP. Each operation logs in on a connection of its own (see FtpTransfer.cpp); the
// object keeps what it needs to log in again after a reset connection.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "kernel/ZelkTypes.h"

class ZelkDataBuffer;
class ZelkTransferCallback;

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
