#include "patch/CurlTransfer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "kernel/TextConvert.h"
#include "kernel/ZelkSystemLog.h"
#include "net/ZelkDataBuffer.h"
#include "patch/TransferRetry.h"

namespace
{
constexpr const char *kAgentName = "Zelk";
// Receiving in larger blocks saves system calls; a DestinationSink still writes pieces of kPieceSize.
constexpr long kReceiveBufferSize = 128 * 1024;
constexpr uint32_t kPieceSize = 16384;
constexpr long kMaxRedirects = 10;

void SkipSpaces(std::string_view &text)
{
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
}
} // namespace

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

void AddHeader(HeaderList &headers, const char *header)
{
    if (curl_slist *list = Curl().slistAppend(headers.get(), header))
    {
        headers.release();
        headers.reset(list);
    }
}

HeaderList RequestHeaders(bool noCache)
{
    HeaderList headers;
    AddHeader(headers, "Accept: */*");
    if (noCache)
    {
        AddHeader(headers, "Cache-Control: no-cache");
        AddHeader(headers, "Pragma: no-cache");
    }
    return headers;
}

void ApplyCommonOptions(CURL *curl)
{
    const ZelkTransferTimings timings = GetTransferTimings();
    Curl().easySetopt(curl, CURLOPT_NOSIGNAL, 1L);
    Curl().easySetopt(curl, CURLOPT_USERAGENT, kAgentName);
    Curl().easySetopt(curl, CURLOPT_PROTOCOLS_STR, "ftp,http,https");
    Curl().easySetopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timings.connectTimeout.count() * 1000));
    Curl().easySetopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    Curl().easySetopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(timings.stallTime.count()));
    Curl().easySetopt(curl, CURLOPT_BUFFERSIZE, kReceiveBufferSize);
    // The same variables as the command-line tools, so that a private authority can be trusted.
    for (const char *variable : {"CURL_CA_BUNDLE", "SSL_CERT_FILE"})
    {
        const char *bundle = std::getenv(variable);
        if (bundle != nullptr && *bundle != '\0')
        {
            Curl().easySetopt(curl, CURLOPT_CAINFO, bundle);
            break;
        }
    }
    if (const char *directory = std::getenv("SSL_CERT_DIR"); directory != nullptr && *directory != '\0')
        Curl().easySetopt(curl, CURLOPT_CAPATH, directory);
}

void ApplyRedirectOptions(CURL *curl)
{
    Curl().easySetopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    Curl().easySetopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
    Curl().easySetopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
}

void ApplyCredentials(CURL *curl, const std::string &user, const std::string &password)
{
    if (user.empty())
        return;
    Curl().easySetopt(curl, CURLOPT_USERNAME, user.c_str());
    Curl().easySetopt(curl, CURLOPT_PASSWORD, password.c_str());
}

long ResponseStatus(CURL *curl)
{
    long status = 0;
    Curl().easyGetinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    return status;
}

// TransferSink -----------------------------------------------------------------------------------

void TransferSink::Attach(CURL *curl)
{
    m_curl = curl;
    m_stopped = false;
    Curl().easySetopt(curl, CURLOPT_WRITEFUNCTION, ReceiveBody);
    Curl().easySetopt(curl, CURLOPT_WRITEDATA, this);
    Curl().easySetopt(curl, CURLOPT_HEADERFUNCTION, ReceiveHeader);
    Curl().easySetopt(curl, CURLOPT_HEADERDATA, this);
    Curl().easySetopt(curl, CURLOPT_XFERINFOFUNCTION, CheckCancel);
    Curl().easySetopt(curl, CURLOPT_XFERINFODATA, this);
    Curl().easySetopt(curl, CURLOPT_NOPROGRESS, 0L);
}

void TransferSink::Detach(CURL *curl)
{
    Curl().easySetopt(curl, CURLOPT_NOPROGRESS, 1L);
    Curl().easySetopt(curl, CURLOPT_XFERINFOFUNCTION, nullptr);
    Curl().easySetopt(curl, CURLOPT_HEADERFUNCTION, nullptr);
    Curl().easySetopt(curl, CURLOPT_HEADERDATA, nullptr);
    Curl().easySetopt(curl, CURLOPT_WRITEFUNCTION, nullptr);
    Curl().easySetopt(curl, CURLOPT_WRITEDATA, stdout);
}

size_t TransferSink::ReceiveBody(char *data, size_t size, size_t count, void *context)
{
    TransferSink &sink = *static_cast<TransferSink *>(context);
    const size_t total = size * count;
    return sink.Body(data, total) ? total : 0;
}

size_t TransferSink::ReceiveHeader(char *data, size_t size, size_t count, void *context)
{
    TransferSink &sink = *static_cast<TransferSink *>(context);
    sink.Header(data, size * count);
    return size * count;
}

int TransferSink::CheckCancel(void *context, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    TransferSink &sink = *static_cast<TransferSink *>(context);
    if (sink.m_callback != nullptr && sink.m_callback->ShouldStop())
    {
        sink.m_stopped = true;
        return 1;
    }
    return 0;
}

bool DestinationSink::Body(const char *data, size_t size)
{
    for (size_t done = 0; done < size;)
    {
        const uint32_t piece = static_cast<uint32_t>(std::min<size_t>(kPieceSize, size - done));
        const ZELKRESULT result = m_destination.Write(data + done, piece);
        if (result != ZELKRESULT_OK)
        {
            m_writeResult = result;
            ZelkSystemLog("WriteData returned %u", result);
            return false;
        }
        done += piece;
    }
    m_bytesReceived += size;
    m_lastPiece = static_cast<uint32_t>(size);
    return true;
}

// Headers ----------------------------------------------------------------------------------------

bool HeaderValue(std::string_view line, std::string_view name, std::string &value)
{
    if (!StartsWithNoCase(line, name))
        return false;
    line.remove_prefix(name.size());
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' '))
        line.remove_suffix(1);
    SkipSpaces(line);
    value.assign(line);
    return true;
}

bool ParseContentRange(std::string_view value, ContentRange &range)
{
    range = ContentRange();
    SkipSpaces(value);
    constexpr std::string_view kUnit = "bytes";
    if (value.substr(0, kUnit.size()) != kUnit)
        return false;
    value.remove_prefix(kUnit.size());
    SkipSpaces(value);
    const size_t slash = value.find('/');
    if (slash == std::string_view::npos)
        return false;
    const std::string_view span = value.substr(0, slash);
    range.totalKnown = ParseDecimal(value.substr(slash + 1), range.total);
    if (span == "*")
        return range.totalKnown;
    const size_t dash = span.find('-');
    if (dash == std::string_view::npos || !ParseDecimal(span.substr(0, dash), range.first) ||
        !ParseDecimal(span.substr(dash + 1), range.last))
        return false;
    range.satisfied = true;
    return true;
}
