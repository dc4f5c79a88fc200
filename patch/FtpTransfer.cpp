// Every FTP operation uses a connection of its own: libcurl answers the first command sent over a
// reused FTP connection only after a one-second wait, which would cost more than a new login. The
// handle still keeps its control connection between operations, as a connection handle would.
#include "patch/FtpTransfer.h"

#include "kernel/ZelkSystemLog.h"
#include "net/ZelkDataBuffer.h"
#include "patch/CurlTransfer.h"
#include "patch/TransferAddress.h"

namespace
{
constexpr int kFtpPort = 21;

bool IsConnectionReset(long code)
{
    return code == CURLE_SEND_ERROR || code == CURLE_RECV_ERROR || code == CURLE_GOT_NOTHING ||
           code == CURLE_PARTIAL_FILE || code == CURLE_FTP_ACCEPT_FAILED || code == CURLE_FTP_CANT_GET_HOST ||
           code == CURLE_OPERATION_TIMEDOUT;
}

void ApplyFtpOptions(CURL *curl)
{
    ApplyCommonOptions(curl);
    Curl().easySetopt(curl, CURLOPT_FORBID_REUSE, 1L);
}

// The handle outlives each operation and says goodbye to the server when it is closed: a sink is
// attached for one operation only, so that nothing calls back into one that has ended.
CURLcode Perform(CURL *curl, TransferSink &sink)
{
    sink.Attach(curl);
    const CURLcode code = Curl().easyPerform(curl);
    TransferSink::Detach(curl);
    return code;
}

// A command that moves no file (login, change of directory, size query) over an FTP handle.
CURLcode PerformWithoutFile(CURL *curl, const std::string &url)
{
    ZelkDataBufferMemoryDynamic unused;
    DestinationSink sink(unused, nullptr);
    ApplyFtpOptions(curl);
    Curl().easySetopt(curl, CURLOPT_URL, url.c_str());
    Curl().easySetopt(curl, CURLOPT_NOBODY, 1L);
    return Perform(curl, sink);
}
} // namespace

struct ZelkFTP::Connection
{
    CurlHandle curl;
};

ZelkFTP::ZelkFTP() = default;

ZelkFTP::~ZelkFTP()
{
    Close();
}

bool ZelkFTP::IsConnected() const
{
    return m_connection != nullptr;
}

void ZelkFTP::Close()
{
    m_connection.reset();
}

ZELKRESULT ZelkFTP::Open(const std::string &host, const std::string &user, const std::string &password, bool passive,
                         int port)
{
    m_host = host;
    m_user = user;
    m_password = password;
    m_passive = passive;
    m_port = port > 0 ? port : kFtpPort;
    Close();
    if (!ZelkInetInternal::CreateInternetSession())
        return ZELKRESULT_CONNECTION_LOST;
    CurlHandle curl(Curl().easyInit());
    if (!curl)
        return ZELKRESULT_NO_MEMORY;

    // Logging in without a transfer; the handle keeps the control connection for what follows.
    ApplyCredentials(curl.get(), m_user, m_password);
    const CURLcode code = PerformWithoutFile(curl.get(), BuildUrl("ftp", m_host, m_port, ""));
    m_lastError = code;
    if (code != CURLE_OK)
    {
        ZelkSystemLog("ZelkFTP::Open> Connection to \"%s\" failed with error %d", m_host.c_str(),
                      static_cast<int>(code));
        return ZELKRESULT_CONNECTION_LOST;
    }
    m_connection = std::make_unique<Connection>();
    m_connection->curl = std::move(curl);
    return ZELKRESULT_OK;
}

ZELKRESULT ZelkFTP::Reconnect(bool restore)
{
    if (!IsConnectionReset(m_lastError))
        return ZELKRESULT_CONNECTION_LOST;
    const std::string directory = m_directory;
    if (Open(m_host, m_user, m_password, m_passive, m_port) == ZELKRESULT_OK && restore && !directory.empty())
        SetDirectory(directory);
    return ZELKRESULT_CONNECTION_LOST;
}

std::string ZelkFTP::ResolvePath(const std::string &path) const
{
    if (m_directory.empty() || path.empty() || path[0] == '/')
        return path;
    std::string resolved = m_directory;
    if (resolved.back() != '/')
        resolved += '/';
    return resolved + path;
}

ZELKRESULT ZelkFTP::SetDirectory(const std::string &path)
{
    if (!IsConnected())
        return ZELKRESULT_INVALID_STATE;
    const std::string directory = ResolvePath(path);
    for (int attempt = 0; attempt < 2 && IsConnected(); ++attempt)
    {
        std::string url = BuildUrl("ftp", m_host, m_port, directory);
        if (url.back() != '/')
            url += '/';
        const CURLcode code = PerformWithoutFile(m_connection->curl.get(), url);
        m_lastError = code;
        if (code == CURLE_OK)
        {
            m_directory = directory;
            return ZELKRESULT_OK;
        }
        Reconnect(false);
    }
    m_directory.clear();
    return ZELKRESULT_LIST_FAILED;
}

ZELKRESULT ZelkFTP::GetFileSize(const std::string &path, uint64_t &size)
{
    size = 0;
    if (!IsConnected())
        return ZELKRESULT_INVALID_STATE;
    for (int attempt = 0; attempt < 2 && IsConnected(); ++attempt)
    {
        CURL *curl = m_connection->curl.get();
        Curl().easySetopt(curl, CURLOPT_FILETIME, 1L);
        const CURLcode code = PerformWithoutFile(curl, BuildUrl("ftp", m_host, m_port, ResolvePath(path)));
        m_lastError = code;
        curl_off_t length = -1;
        if (code == CURLE_OK && Curl().easyGetinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
            length >= 0)
        {
            size = static_cast<uint64_t>(length);
            return ZELKRESULT_OK;
        }
        ZelkSystemLog("ZelkFTP::GetFileSize> size of \"%s\" not known (error %d).", path.c_str(),
                      static_cast<int>(code));
        Reconnect(true);
    }
    return ZELKRESULT_CONNECTION_LOST;
}

ZELKRESULT ZelkFTP::GetFileAtPath(const std::string &path, ZelkDataBuffer &destination,
                                  ZelkTransferCallback *callback)
{
    if (!IsConnected())
        return ZELKRESULT_INVALID_STATE;

    // The destination may hold the start of the file from an interrupted attempt: continue it.
    uint64_t offset = destination.GetSize();
    if (offset != 0)
        ZelkSystemLog("ZelkFTP::GetFileAtPath> resuming download of \"%s\" at byte %llu.", path.c_str(),
                      static_cast<unsigned long long>(offset));
    ZELKRESULT result = destination.Seek(offset);
    if (result != ZELKRESULT_OK)
        return result;

    CURL *curl = m_connection->curl.get();
    const std::string url = BuildUrl("ftp", m_host, m_port, ResolvePath(path));
    for (;;)
    {
        DestinationSink sink(destination, callback);
        ApplyFtpOptions(curl);
        Curl().easySetopt(curl, CURLOPT_URL, url.c_str());
        Curl().easySetopt(curl, CURLOPT_NOBODY, 0L);
        Curl().easySetopt(curl, CURLOPT_FILETIME, 0L);
        Curl().easySetopt(curl, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(offset));
        if (!m_passive)
            Curl().easySetopt(curl, CURLOPT_FTPPORT, "-");
        const CURLcode code = Perform(curl, sink);
        m_lastError = code;
        Curl().easySetopt(curl, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(0));
        if (sink.Stopped())
            return ZELKRESULT_ABORTED;
        if (sink.WriteResult() != ZELKRESULT_OK)
            return sink.WriteResult();
        if (code == CURLE_OK)
            return ZELKRESULT_OK;
        // Refused, or the partial file is longer than the server's: fetch the whole file afresh.
        if (offset != 0 && (code == CURLE_FTP_COULDNT_USE_REST || code == CURLE_BAD_DOWNLOAD_RESUME))
        {
            ZelkSystemLog("ZelkFTP::GetFileAtPath> unable to resume download of \"%s\" (error %d).", path.c_str(),
                          static_cast<int>(code));
            offset = 0;
            result = destination.SetSize(0);
            if (result == ZELKRESULT_OK)
                result = destination.Seek(0);
            if (result != ZELKRESULT_OK)
                return result;
            continue;
        }
        if (sink.BytesReceived() == 0)
            ZelkSystemLog("FtpOpenFile returned %d.", static_cast<int>(code));
        else
            ZelkSystemLog("InternetReadFile returned %d with actualByteCount=%u", static_cast<int>(code),
                          sink.LastPiece());
        return ZELKRESULT_CONNECTION_LOST;
    }
}
