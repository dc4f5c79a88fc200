#include "patch/HttpTransfer.h"

#include "kernel/TextConvert.h"
#include "kernel/ZelkSystemLog.h"
#include "net/ZelkDataBuffer.h"
#include "patch/CurlTransfer.h"
#include "patch/TransferAddress.h"
#include "patch/TransferRetry.h"

namespace
{
constexpr long kPartialContent = 206;
constexpr long kRangeNotSatisfiable = 416;

// A download's answer: its body is stored only once the status says it is the file, and a range
// asked for must be the one that came.
class HttpDownloadSink : public DestinationSink
{
public:
    HttpDownloadSink(ZelkDataBuffer &destination, ZelkTransferCallback *callback, uint64_t downloadStart)
        : DestinationSink(destination, callback), m_downloadStart(downloadStart)
    {
        const uint64_t position = destination.GetPosition();
        m_rangeOffset = position > downloadStart ? position - downloadStart : 0;
    }

    // Bytes asked to be skipped; 0: no range asked.
    uint64_t RangeOffset() const { return m_rangeOffset; }
    long RefusedStatus() const { return m_refusedStatus; }
    const std::string &ContentRangeText() const { return m_contentRange; }
    bool RangeMismatch() const { return m_rangeMismatch; }
    bool ResponseChecked() const { return m_responseChecked; }
    bool CheckResponse();
    bool IsAlreadyComplete();

protected:
    bool Body(const char *data, size_t size) override
    {
        if (!m_responseChecked && !CheckResponse())
            return false;
        return DestinationSink::Body(data, size);
    }

    void Header(const char *line, size_t length) override
    {
        const std::string_view text(line, length);
        // Each response of a redirect chain starts with its status line.
        if (StartsWithNoCase(text, "HTTP/"))
            m_contentRange.clear();
        else
            HeaderValue(text, "content-range:", m_contentRange);
    }

private:
    uint64_t m_downloadStart; // destination position of the file's first byte
    uint64_t m_rangeOffset = 0;
    bool m_responseChecked = false;
    long m_refusedStatus = 0;
    bool m_rangeMismatch = false;
    std::string m_contentRange;
};

bool HttpDownloadSink::CheckResponse()
{
    m_responseChecked = true;
    const long status = ResponseStatus(Handle());
    if (status < 200 || status > 299)
    {
        m_refusedStatus = status;
        return false;
    }
    if (m_rangeOffset == 0)
        return true;
    if (status == kPartialContent)
    {
        ContentRange range;
        if (ParseContentRange(m_contentRange, range) && range.satisfied && range.first == m_rangeOffset)
            return true;
        // A piece from elsewhere in the file cannot be joined on; the next attempt starts over.
        m_rangeMismatch = true;
        return false;
    }
    // The server sends the whole file: it replaces what earlier attempts wrote.
    Destination().SetSize(m_downloadStart);
    Destination().Seek(m_downloadStart);
    m_rangeOffset = 0;
    return true;
}

// A range request for the bytes after a complete file: the server has nothing left to send.
bool HttpDownloadSink::IsAlreadyComplete()
{
    if (m_rangeOffset == 0 || m_responseChecked || Stopped() || WriteResult() != ZELKRESULT_OK)
        return false;
    ContentRange range;
    return ResponseStatus(Handle()) == kRangeNotSatisfiable && ParseContentRange(m_contentRange, range) &&
           !range.satisfied && range.total == m_rangeOffset;
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

// The outcome of one request, with the log line that tells a developer where it failed.
ZELKRESULT FinishRequest(CURL *curl, CURLcode code, HttpDownloadSink &sink, const std::string &address)
{
    if (sink.Stopped())
        return ZELKRESULT_ABORTED;
    if (sink.WriteResult() != ZELKRESULT_OK)
        return sink.WriteResult();
    if (code == CURLE_OK && !sink.ResponseChecked())
        sink.CheckResponse();
    if (sink.RefusedStatus() != 0)
    {
        ZelkSystemLog("HttpGet> status %ld for url %s", sink.RefusedStatus(), address.c_str());
        return ZELKRESULT_CONNECTION_LOST;
    }
    if (sink.RangeMismatch())
    {
        ZelkSystemLog("HttpGet> unexpected range \"%s\" for url %s", sink.ContentRangeText().c_str(),
                      address.c_str());
        return ZELKRESULT_CONNECTION_LOST;
    }
    if (code == CURLE_OK)
        return ZELKRESULT_OK;
    const long status = ResponseStatus(curl);
    if (IsConnectFailure(code) || (code == CURLE_OPERATION_TIMEDOUT && status == 0))
        ZelkSystemLog("InternetConnect returned %d for url %s", static_cast<int>(code), address.c_str());
    else if (status == 0)
        ZelkSystemLog("HttpSendRequest returned %d", static_cast<int>(code));
    else
        ZelkSystemLog("InternetReadFile returned %d with actualByteCount=%u", static_cast<int>(code),
                      sink.LastPiece());
    return ZELKRESULT_CONNECTION_LOST;
}

// A handle for one request to address that follows redirects and hands what comes to sink.
ZELKRESULT OpenRequest(const std::string &address, CurlHandle &curl, HttpDownloadSink &sink)
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

    ApplyCommonOptions(curl.get());
    sink.Attach(curl.get());
    const std::string url = BuildUrl(parts.scheme, parts.host, parts.port, parts.path);
    Curl().easySetopt(curl.get(), CURLOPT_URL, url.c_str());
    ApplyCredentials(curl.get(), parts.user, parts.password);
    ApplyRedirectOptions(curl.get());
    return ZELKRESULT_OK;
}
} // namespace

ZELKRESULT HttpGetAttempt(const std::string &address, ZelkDataBuffer &destination, bool noCache,
                          ZelkTransferCallback *callback, uint64_t downloadStart, bool &final)
{
    HttpDownloadSink sink(destination, callback, downloadStart);
    CurlHandle curl;
    if (const ZELKRESULT result = OpenRequest(address, curl, sink))
        return result;

    const HeaderList headers = RequestHeaders(noCache);
    Curl().easySetopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    std::string range;
    if (sink.RangeOffset() != 0)
    {
        range = std::to_string(sink.RangeOffset()) + "-";
        Curl().easySetopt(curl.get(), CURLOPT_RANGE, range.c_str());
    }

    const CURLcode code = Curl().easyPerform(curl.get());
    if (sink.IsAlreadyComplete())
        return ZELKRESULT_OK;
    final = IsFinalRefusal(sink.RefusedStatus());
    return FinishRequest(curl.get(), code, sink, address);
}

ZELKRESULT HttpQuerySizeAttempt(const std::string &address, uint64_t &size, bool &final)
{
    size = 0;
    ZelkDataBufferMemoryDynamic unused;
    HttpDownloadSink sink(unused, nullptr, 0);
    CurlHandle curl;
    ZELKRESULT result = OpenRequest(address, curl, sink);
    if (result != ZELKRESULT_OK)
        return result;
    Curl().easySetopt(curl.get(), CURLOPT_NOBODY, 1L);

    const CURLcode code = Curl().easyPerform(curl.get());
    result = FinishRequest(curl.get(), code, sink, address);
    final = IsFinalRefusal(sink.RefusedStatus());
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

ZELKRESULT HttpGet(const std::string &address, ZelkDataBuffer &destination, bool noCache,
                   ZelkTransferCallback *callback)
{
    bool final = false;
    return HttpGetAttempt(address, destination, noCache, callback, destination.GetPosition(), final);
}

ZELKRESULT HttpQuerySize(const std::string &address, uint64_t &size)
{
    bool final = false;
    return HttpQuerySizeAttempt(address, size, final);
}
