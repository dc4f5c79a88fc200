// Transfers over libcurl. Each HTTP attempt and each FTP connection is one easy handle; the FTP
// handle keeps its control connection between operations, as a connection handle would.
#include "patch/InternetTransfer.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "kernel/ZelkSystemLog.h"
#include "patch/CurlLibrary.h"
#include "net/ZelkDataBuffer.h"

namespace
{
constexpr uint32_t kPieceSize = 16384;
// Receiving in larger blocks saves system calls; the destination still gets pieces of kPieceSize.
constexpr long kReceiveBufferSize = 128 * 1024;
constexpr int kDownloadAttempts = 11;
constexpr int kFtpSizeAttempts = 5;
constexpr int kHttpSizeAttempts = 11;
constexpr long kMaxRedirects = 10;
constexpr int kFtpPort = 21;
constexpr int kHttpPort = 80;
constexpr int kHttpsPort = 443;
constexpr int kMaxPort = 65535;
// Tests and the whole-program tests shorten the pause between attempts through the environment.
constexpr const char *kRetryPauseVariable = "ZELK_TEST_TRANSFER_RETRY_PAUSE_MS";

std::mutex g_timingsLock;

ZelkTransferTimings InitialTimings()
{
    ZelkTransferTimings timings;
    if (const char *pause = std::getenv(kRetryPauseVariable))
    {
        long milliseconds = 0;
        const char *end = pause + std::strlen(pause);
        if (std::from_chars(pause, end, milliseconds).ec == std::errc() && milliseconds >= 0)
            timings.retryPause = std::chrono::milliseconds(milliseconds);
    }
    return timings;
}

ZelkTransferTimings &Timings()
{
    static ZelkTransferTimings timings = InitialTimings();
    return timings;
}

void PauseBeforeRetry()
{
    std::this_thread::sleep_for(GetTransferTimings().retryPause);
}

// Repeats attempt, pausing between tries, until it succeeds, is cancelled, fails in a way that
// no retry can change (the attempt sets its flag), or runs out of tries; the last try's result.
template <typename Attempt>
ZELKRESULT RetryTransfer(int attempts, ZelkTransferCallback *callback, Attempt attempt)
{
    ZELKRESULT result = ZELKRESULT_OK;
    for (int tried = 0; tried < attempts; ++tried)
    {
        if (tried > 0)
        {
            if (callback != nullptr && callback->ShouldStop())
                return ZELKRESULT_ABORTED;
            PauseBeforeRetry();
        }
        bool final = false;
        result = attempt(final);
        if (result == ZELKRESULT_OK || result == ZELKRESULT_ABORTED || final)
            return result;
    }
    return result;
}

// A status in which the server says the request itself will not be served: asking again gives
// the same answer. A time-out (408) and too many requests (429) are passing, as 5xx are.
bool IsFinalRefusal(long status)
{
    return status >= 400 && status <= 499 && status != 408 && status != 429;
}

struct CurlDeleter
{
    void operator()(CURL *curl) const { Curl().easyCleanup(curl); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;

struct HeaderListDeleter
{
    void operator()(curl_slist *list) const { Curl().slistFreeAll(list); }
};
using HeaderList = std::unique_ptr<curl_slist, HeaderListDeleter>;

bool StartsWithNoCase(const std::string &text, const char *prefix)
{
    const size_t length = std::strlen(prefix);
    if (text.size() < length)
        return false;
    for (size_t i = 0; i < length; ++i)
    {
        if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    return true;
}

// Addresses come from list files as written: characters that a URL cannot carry are escaped, and
// an escape already written stays as it is.
std::string EscapeUrlPath(const std::string &path, bool ftp)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string escaped;
    for (unsigned char c : path)
    {
        const bool unsafe = c <= 0x20 || c >= 0x7F || std::strchr("\"<>\\^`{|}", c) != nullptr ||
                            (ftp && (c == '?' || c == '#'));
        if (!unsafe)
        {
            escaped += static_cast<char>(c);
            continue;
        }
        escaped += '%';
        escaped += kHex[c >> 4];
        escaped += kHex[c & 15];
    }
    return escaped;
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

// Where a transfer's bytes go, and what it learnt on the way.
struct TransferSink
{
    ZelkDataBuffer *destination = nullptr;
    ZelkTransferCallback *callback = nullptr;
    CURL *curl = nullptr;
    ZELKRESULT writeResult = ZELKRESULT_OK;
    bool stopped = false;
    uint64_t bytesReceived = 0;
    uint32_t lastPiece = 0;

    // HTTP: the body is stored only once the status says it is the file.
    bool http = false;
    bool responseChecked = false;
    long refusedStatus = 0;
    bool rangeMismatch = false;
    uint64_t downloadStart = 0; // destination position of the file's first byte
    uint64_t rangeOffset = 0;   // bytes asked to be skipped (0: no range asked)
    std::string contentRange;
};

// "bytes S-E/T" or "bytes */T"; false when it is neither.
bool ParseContentRange(const std::string &value, uint64_t &first, bool &unsatisfied, uint64_t &total)
{
    const char *text = value.c_str();
    while (*text == ' ')
        ++text;
    if (std::strncmp(text, "bytes", 5) != 0)
        return false;
    text += 5;
    while (*text == ' ')
        ++text;
    const char *end = value.c_str() + value.size();
    const char *slash = std::strchr(text, '/');
    if (slash == nullptr)
        return false;
    total = 0;
    const bool totalKnown = std::from_chars(slash + 1, end, total).ec == std::errc();
    unsatisfied = *text == '*';
    if (unsatisfied)
        return totalKnown;
    first = 0;
    return std::from_chars(text, slash, first).ec == std::errc();
}

bool CheckHttpResponse(TransferSink &sink)
{
    sink.responseChecked = true;
    long status = 0;
    Curl().easyGetinfo(sink.curl, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299)
    {
        sink.refusedStatus = status;
        return false;
    }
    if (sink.rangeOffset == 0)
        return true;
    if (status == 206)
    {
        uint64_t first = 0;
        uint64_t total = 0;
        bool unsatisfied = false;
        if (ParseContentRange(sink.contentRange, first, unsatisfied, total) && !unsatisfied &&
            first == sink.rangeOffset)
            return true;
        // A piece from elsewhere in the file cannot be joined on; the next attempt starts over.
        sink.rangeMismatch = true;
        return false;
    }
    // The server sends the whole file: it replaces what earlier attempts wrote.
    sink.destination->SetSize(sink.downloadStart);
    sink.destination->Seek(sink.downloadStart);
    sink.rangeOffset = 0;
    return true;
}

// A range request for the bytes after a complete file: the server has nothing left to send.
bool IsAlreadyComplete(TransferSink &sink)
{
    if (sink.rangeOffset == 0 || sink.responseChecked || sink.stopped || sink.writeResult != ZELKRESULT_OK)
        return false;
    long status = 0;
    Curl().easyGetinfo(sink.curl, CURLINFO_RESPONSE_CODE, &status);
    uint64_t first = 0;
    uint64_t total = 0;
    bool unsatisfied = false;
    return status == 416 && ParseContentRange(sink.contentRange, first, unsatisfied, total) && unsatisfied &&
           total == sink.rangeOffset;
}

size_t WriteToDestination(char *data, size_t size, size_t count, void *context)
{
    TransferSink &sink = *static_cast<TransferSink *>(context);
    const size_t total = size * count;
    if (sink.http && !sink.responseChecked && !CheckHttpResponse(sink))
        return 0;
    for (size_t done = 0; done < total;)
    {
        const uint32_t piece = static_cast<uint32_t>(std::min<size_t>(kPieceSize, total - done));
        const ZELKRESULT result = sink.destination->Write(data + done, piece);
        if (result != ZELKRESULT_OK)
        {
            sink.writeResult = result;
            ZelkSystemLog("WriteData returned %u", result);
            return 0;
        }
        done += piece;
    }
    sink.bytesReceived += total;
    sink.lastPiece = static_cast<uint32_t>(total);
    return total;
}

size_t CollectHeader(char *data, size_t size, size_t count, void *context)
{
    TransferSink &sink = *static_cast<TransferSink *>(context);
    const std::string line(data, size * count);
    // Each response of a redirect chain starts with its status line.
    if (line.compare(0, 5, "HTTP/") == 0)
        sink.contentRange.clear();
    else if (StartsWithNoCase(line, "content-range:"))
    {
        std::string value = line.substr(std::strlen("content-range:"));
        while (!value.empty() && (value.back() == '\r' || value.back() == '\n' || value.back() == ' '))
            value.pop_back();
        sink.contentRange = value;
    }
    return size * count;
}

// Also called while nothing arrives, so that a stalled transfer can be cancelled too.
int CheckCancel(void *context, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    TransferSink &sink = *static_cast<TransferSink *>(context);
    if (sink.callback != nullptr && sink.callback->ShouldStop())
    {
        sink.stopped = true;
        return 1;
    }
    return 0;
}

void ApplyCommonOptions(CURL *curl, TransferSink &sink)
{
    ApplyTransferSettings(curl);
    Curl().easySetopt(curl, CURLOPT_BUFFERSIZE, kReceiveBufferSize);
    Curl().easySetopt(curl, CURLOPT_WRITEFUNCTION, WriteToDestination);
    Curl().easySetopt(curl, CURLOPT_WRITEDATA, &sink);
    Curl().easySetopt(curl, CURLOPT_XFERINFOFUNCTION, CheckCancel);
    Curl().easySetopt(curl, CURLOPT_XFERINFODATA, &sink);
    Curl().easySetopt(curl, CURLOPT_NOPROGRESS, 0L);
}

// Every FTP operation uses a connection of its own: libcurl answers the first command sent over a
// reused FTP connection only after a one-second wait, which would cost more than a new login.
void ApplyFtpOptions(CURL *curl, TransferSink &sink)
{
    ApplyCommonOptions(curl, sink);
    Curl().easySetopt(curl, CURLOPT_FORBID_REUSE, 1L);
}

void ApplyCredentials(CURL *curl, const std::string &user, const std::string &password)
{
    if (user.empty())
        return;
    Curl().easySetopt(curl, CURLOPT_USERNAME, user.c_str());
    Curl().easySetopt(curl, CURLOPT_PASSWORD, password.c_str());
}

bool IsConnectFailure(CURLcode code)
{
    switch (code)
    {
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
        return true;
    default:
        return false;
    }
}

// The outcome of one HTTP request, with the log line that tells a developer where it failed.
ZELKRESULT FinishHttpTransfer(CURLcode code, TransferSink &sink, const std::string &address)
{
    if (sink.stopped)
        return ZELKRESULT_ABORTED;
    if (sink.writeResult != ZELKRESULT_OK)
        return sink.writeResult;
    if (code == CURLE_OK && !sink.responseChecked)
        CheckHttpResponse(sink);
    if (sink.refusedStatus != 0)
    {
        ZelkSystemLog("HttpGet> status %ld for url %s", sink.refusedStatus, address.c_str());
        return ZELKRESULT_CONNECTION_LOST;
    }
    if (sink.rangeMismatch)
    {
        ZelkSystemLog("HttpGet> unexpected range \"%s\" for url %s", sink.contentRange.c_str(), address.c_str());
        return ZELKRESULT_CONNECTION_LOST;
    }
    if (code == CURLE_OK)
        return ZELKRESULT_OK;
    long status = 0;
    Curl().easyGetinfo(sink.curl, CURLINFO_RESPONSE_CODE, &status);
    if (IsConnectFailure(code) || (code == CURLE_OPERATION_TIMEDOUT && status == 0))
        ZelkSystemLog("InternetConnect returned %d for url %s", static_cast<int>(code), address.c_str());
    else if (status == 0)
        ZelkSystemLog("HttpSendRequest returned %d", static_cast<int>(code));
    else
        ZelkSystemLog("InternetReadFile returned %d with actualByteCount=%u", static_cast<int>(code), sink.lastPiece);
    return ZELKRESULT_CONNECTION_LOST;
}

// An address with its scheme settled, or the reason it cannot be used.
ZELKRESULT ParseTransferAddress(const std::string &address, ZelkAddress &parts)
{
    if (const ZELKRESULT result = ParseAddress(address, parts))
        return result;
    DefaultScheme(parts);
    return ZELKRESULT_OK;
}

// Every transfer asks for passive mode, which works through the firewalls users sit behind.
ZELKRESULT OpenPassive(ZelkFTP &ftp, const ZelkAddress &parts)
{
    return ftp.Open(parts.host, parts.user, parts.password, true, parts.port);
}

// A handle for one HTTP request to address that follows redirects and hands its bytes to sink.
ZELKRESULT OpenHttpRequest(const std::string &address, CurlHandle &curl, TransferSink &sink)
{
    ZelkAddress parts;
    if (const ZELKRESULT result = ParseTransferAddress(address, parts))
        return result;
    DefaultPort(parts);
    if (!ZelkInetInternal::CreateInternetSession())
        return ZELKRESULT_CONNECTION_LOST;
    curl.reset(Curl().easyInit());
    if (!curl)
        return ZELKRESULT_NO_MEMORY;

    sink.curl = curl.get();
    sink.http = true;
    ApplyCommonOptions(curl.get(), sink);
    const std::string url = BuildUrl(parts.scheme, parts.host, parts.port, parts.path);
    Curl().easySetopt(curl.get(), CURLOPT_URL, url.c_str());
    ApplyCredentials(curl.get(), parts.user, parts.password);
    Curl().easySetopt(curl.get(), CURLOPT_FOLLOWLOCATION, 1L);
    Curl().easySetopt(curl.get(), CURLOPT_MAXREDIRS, kMaxRedirects);
    Curl().easySetopt(curl.get(), CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    return ZELKRESULT_OK;
}

// One HTTP request. downloadStart is where the file's first byte belongs in the destination;
// whatever an earlier attempt wrote after it is continued with a range request.
ZELKRESULT HttpAttempt(const std::string &address, ZelkDataBuffer &destination, bool noCache,
                       ZelkTransferCallback *callback, uint64_t downloadStart, bool &final)
{
    TransferSink sink;
    sink.destination = &destination;
    sink.callback = callback;
    sink.downloadStart = downloadStart;
    const uint64_t position = destination.GetPosition();
    sink.rangeOffset = position > downloadStart ? position - downloadStart : 0;
    CurlHandle curl;
    const ZELKRESULT result = OpenHttpRequest(address, curl, sink);
    if (result != ZELKRESULT_OK)
        return result;

    Curl().easySetopt(curl.get(), CURLOPT_HEADERFUNCTION, CollectHeader);
    Curl().easySetopt(curl.get(), CURLOPT_HEADERDATA, &sink);
    HeaderList headers;
    auto addHeader = [&headers](const char *header) {
        curl_slist *list = Curl().slistAppend(headers.get(), header);
        if (list != nullptr)
        {
            headers.release();
            headers.reset(list);
        }
    };
    addHeader("Accept: */*");
    if (noCache)
    {
        addHeader("Cache-Control: no-cache");
        addHeader("Pragma: no-cache");
    }
    Curl().easySetopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    std::string range;
    if (sink.rangeOffset != 0)
    {
        range = std::to_string(sink.rangeOffset) + "-";
        Curl().easySetopt(curl.get(), CURLOPT_RANGE, range.c_str());
    }

    const CURLcode code = Curl().easyPerform(curl.get());
    if (IsAlreadyComplete(sink))
        return ZELKRESULT_OK;
    final = IsFinalRefusal(sink.refusedStatus);
    return FinishHttpTransfer(code, sink, address);
}

// One HTTP header request for the size of address.
ZELKRESULT HttpSizeAttempt(const std::string &address, uint64_t &size, bool &final)
{
    size = 0;
    TransferSink sink;
    ZelkDataBufferMemoryDynamic unused;
    sink.destination = &unused;
    CurlHandle curl;
    ZELKRESULT result = OpenHttpRequest(address, curl, sink);
    if (result != ZELKRESULT_OK)
        return result;
    Curl().easySetopt(curl.get(), CURLOPT_NOBODY, 1L);

    const CURLcode code = Curl().easyPerform(curl.get());
    result = FinishHttpTransfer(code, sink, address);
    final = IsFinalRefusal(sink.refusedStatus);
    if (result != ZELKRESULT_OK)
        return result;
    curl_off_t length = -1;
    if (Curl().easyGetinfo(curl.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK || length < 0)
    {
        ZelkSystemLog("HttpQueryInfo returned %d", static_cast<int>(CURLE_HTTP_RETURNED_ERROR));
        return ZELKRESULT_CONNECTION_LOST;
    }
    size = static_cast<uint64_t>(length);
    return ZELKRESULT_OK;
}
} // namespace

// Timings ----------------------------------------------------------------------------------------

ZelkTransferTimings GetTransferTimings()
{
    std::lock_guard<std::mutex> lock(g_timingsLock);
    return Timings();
}

void SetTransferTimings(const ZelkTransferTimings &timings)
{
    std::lock_guard<std::mutex> lock(g_timingsLock);
    Timings() = timings;
}

// Addresses --------------------------------------------------------------------------------------

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

// Dispatchers ------------------------------------------------------------------------------------

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
    if (parts.scheme == "http" || parts.scheme == "https")
    {
        const uint64_t downloadStart = destination.GetPosition();
        const bool noCache = (flags & kDownloadNoCache) != 0;
        return RetryTransfer(kDownloadAttempts, callback, [&](bool &final) {
            return HttpAttempt(address, destination, noCache, callback, downloadStart, final);
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
    if (parts.scheme == "http" || parts.scheme == "https")
        return RetryTransfer(kHttpSizeAttempts, nullptr,
                             [&](bool &final) { return HttpSizeAttempt(address, size, final); });
    return ZELKRESULT_BAD_FORMAT;
}

// HTTP -------------------------------------------------------------------------------------------

ZELKRESULT HttpGet(const std::string &address, ZelkDataBuffer &destination, bool noCache,
                   ZelkTransferCallback *callback)
{
    bool final = false;
    return HttpAttempt(address, destination, noCache, callback, destination.GetPosition(), final);
}

ZELKRESULT HttpQuerySize(const std::string &address, uint64_t &size)
{
    bool final = false;
    return HttpSizeAttempt(address, size, final);
}

// ZelkInetInternal -------------------------------------------------------------------------------

bool ZelkInetInternal::CreateInternetSession()
{
    static std::mutex lock;
    static bool ready = false;
    std::lock_guard<std::mutex> guard(lock);
    if (ready)
        return true;
    if (LoadCurlLibrary() == nullptr)
        return false;
    const CURLcode code = Curl().globalInit(CURL_GLOBAL_DEFAULT);
    if (code != CURLE_OK)
    {
        // Not remembered: the next transfer tries again.
        ZelkSystemLog("ZelkInetInternal::CreateInternetSession> InternetOpen failed with error %d",
                      static_cast<int>(code));
        return false;
    }
    ready = true;
    return true;
}

// ZelkFTP ----------------------------------------------------------------------------------------

struct ZelkFTP::Connection
{
    CurlHandle curl;
};

namespace
{
bool IsConnectionReset(long code)
{
    return code == CURLE_SEND_ERROR || code == CURLE_RECV_ERROR || code == CURLE_GOT_NOTHING ||
           code == CURLE_PARTIAL_FILE || code == CURLE_FTP_ACCEPT_FAILED || code == CURLE_FTP_CANT_GET_HOST ||
           code == CURLE_OPERATION_TIMEDOUT;
}

// A command that moves no file (login, change of directory, size query) over an FTP handle.
CURLcode PerformWithoutFile(CURL *curl, const std::string &url)
{
    TransferSink sink;
    ZelkDataBufferMemoryDynamic unused;
    sink.destination = &unused;
    ApplyFtpOptions(curl, sink);
    Curl().easySetopt(curl, CURLOPT_URL, url.c_str());
    Curl().easySetopt(curl, CURLOPT_NOBODY, 1L);
    return Curl().easyPerform(curl);
}
} // namespace

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
    if (!m_connection)
        return;
    // Saying goodbye to the server must not call back into a transfer that has ended.
    CURL *curl = m_connection->curl.get();
    Curl().easySetopt(curl, CURLOPT_NOPROGRESS, 1L);
    Curl().easySetopt(curl, CURLOPT_XFERINFOFUNCTION, nullptr);
    Curl().easySetopt(curl, CURLOPT_WRITEFUNCTION, nullptr);
    Curl().easySetopt(curl, CURLOPT_WRITEDATA, stdout);
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
        TransferSink sink;
        sink.destination = &destination;
        sink.callback = callback;
        sink.curl = curl;
        ApplyFtpOptions(curl, sink);
        Curl().easySetopt(curl, CURLOPT_URL, url.c_str());
        Curl().easySetopt(curl, CURLOPT_NOBODY, 0L);
        Curl().easySetopt(curl, CURLOPT_FILETIME, 0L);
        Curl().easySetopt(curl, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(offset));
        if (!m_passive)
            Curl().easySetopt(curl, CURLOPT_FTPPORT, "-");
        const CURLcode code = Curl().easyPerform(curl);
        m_lastError = code;
        Curl().easySetopt(curl, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(0));
        if (sink.stopped)
            return ZELKRESULT_ABORTED;
        if (sink.writeResult != ZELKRESULT_OK)
            return sink.writeResult;
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
        if (sink.bytesReceived == 0)
            ZelkSystemLog("FtpOpenFile returned %d.", static_cast<int>(code));
        else
            ZelkSystemLog("InternetReadFile returned %d with actualByteCount=%u", static_cast<int>(code),
                          sink.lastPiece);
        return ZELKRESULT_CONNECTION_LOST;
    }
}
