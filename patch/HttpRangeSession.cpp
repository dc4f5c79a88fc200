#include "patch/HttpRangeSession.h"

#include "kernel/TextConvert.h"
#include "kernel/ZelkSystemLog.h"
#include "net/ZelkDataBuffer.h"
#include "patch/CurlTransfer.h"
#include "patch/TransferRetry.h"

namespace
{
// Attempts of one request: a repair makes many, each small, so a server that stumbles gets a few
// more tries rather than ending the repair, and one that is gone ends it soon.
constexpr int kAttempts = 4;
constexpr long kNotModified = 304;
constexpr long kNotFound = 404;
constexpr long kGone = 410;
constexpr long kPartialContent = 206;
} // namespace

struct HttpRangeSession::Handle
{
    CurlHandle curl;
};

// One request and what its answer brought so far.
struct HttpRangeRequest : public TransferSink
{
    explicit HttpRangeRequest(ZelkTransferCallback *callback) : TransferSink(callback) {}

    std::string url;
    bool ranged = false;
    uint64_t offset = 0;
    uint64_t length = 0; // of a range
    uint64_t limit = 0;  // of a whole file
    bool noCache = false;
    const HttpVersion *known = nullptr; // asks for "not modified" when it is still this version

    // While it runs.
    ZelkDataBuffer *destination = nullptr;
    bool answerChecked = false;
    long status = 0;
    ZELKRESULT failure = ZELKRESULT_OK;
    std::string contentRange;
    HttpVersion version;
    bool notModified = false;
    uint64_t received = 0;
    uint64_t headerBytes = 0;

    void Start(CURL *curl)
    {
        Attach(curl);
        answerChecked = false;
        status = 0;
        failure = ZELKRESULT_OK;
        contentRange.clear();
        version = HttpVersion();
        notModified = false;
        received = 0;
    }

    // Looks at the status and the range of the answer once its body begins.
    bool CheckAnswer()
    {
        answerChecked = true;
        status = ResponseStatus(Handle());
        if (status == kNotModified && known != nullptr)
            notModified = true;
        else if (status == kNotFound || status == kGone)
            failure = ZELKRESULT_LIST_FAILED;
        else if (status < 200 || status > 299)
            failure = ZELKRESULT_CONNECTION_LOST;
        else if (ranged && status != kPartialContent)
        {
            // The whole file instead of a part: right only when the part was the whole file.
            curl_off_t size = -1;
            Curl().easyGetinfo(Handle(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &size);
            if (offset != 0 || size < 0 || static_cast<uint64_t>(size) != length)
                failure = ZELKRESULT_UNSUPPORTED;
        }
        else if (ranged)
        {
            ContentRange range;
            if (!ParseContentRange(contentRange, range) || !range.satisfied || range.first != offset ||
                range.last != offset + length - 1)
                failure = ZELKRESULT_BAD_FORMAT;
        }
        return failure == ZELKRESULT_OK;
    }

protected:
    bool Body(const char *data, size_t size) override
    {
        if (!answerChecked && !CheckAnswer())
            return false;
        const uint64_t bound = ranged ? length : limit;
        if (size > bound - received)
        {
            failure = ranged ? ZELKRESULT_BAD_FORMAT : ZELKRESULT_NO_MEMORY;
            return false;
        }
        if (const ZELKRESULT result = destination->Write(data, static_cast<uint32_t>(size)))
        {
            failure = result;
            return false;
        }
        received += size;
        return true;
    }

    void Header(const char *line, size_t length) override
    {
        headerBytes += length;
        const std::string_view text(line, length);
        // Every answer of a redirect chain starts with its status line.
        if (StartsWithNoCase(text, "http/"))
        {
            contentRange.clear();
            version = HttpVersion();
        }
        else if (!HeaderValue(text, "content-range:", contentRange))
            HeaderValue(text, "etag:", version.etag);
    }
};

HttpRangeSession::HttpRangeSession(ZelkTransferCallback *callback)
    : m_handle(std::make_unique<Handle>()), m_callback(callback)
{
}

HttpRangeSession::~HttpRangeSession() = default;

ZELKRESULT HttpRangeSession::FetchRange(const std::string &url, uint64_t offset, uint64_t length,
                                        ZelkDataBuffer &destination)
{
    HttpRangeRequest request(m_callback);
    request.url = url;
    request.ranged = true;
    request.offset = offset;
    request.length = length;
    return Perform(request, destination);
}

ZELKRESULT HttpRangeSession::FetchWhole(const std::string &url, uint64_t limit, bool noCache,
                                        ZelkDataBuffer &destination)
{
    HttpRangeRequest request(m_callback);
    request.url = url;
    request.limit = limit;
    request.noCache = noCache;
    return Perform(request, destination);
}

ZELKRESULT HttpRangeSession::FetchWholeIfChanged(const std::string &url, uint64_t limit, const HttpVersion &known,
                                                 HttpVersion &sent, bool &unchanged, ZelkDataBuffer &destination)
{
    HttpRangeRequest request(m_callback);
    request.url = url;
    request.limit = limit;
    request.noCache = true;
    request.known = known.IsKnown() ? &known : nullptr;
    const ZELKRESULT result = Perform(request, destination);
    unchanged = result == ZELKRESULT_OK && request.notModified;
    sent = unchanged ? known : request.version;
    // A version that cannot be sent back is not one to ask with next time.
    if (!IsSendableHeaderValue(sent.etag))
        sent = HttpVersion();
    return result;
}

ZELKRESULT HttpRangeSession::Perform(HttpRangeRequest &request, ZelkDataBuffer &destination)
{
    if (request.ranged && request.length == 0)
        return ZELKRESULT_OK;
    if (!ZelkInetInternal::CreateInternetSession())
        return ZELKRESULT_CONNECTION_LOST;
    if (!m_handle->curl)
        m_handle->curl.reset(Curl().easyInit());
    CURL *curl = m_handle->curl.get();
    if (curl == nullptr)
        return ZELKRESULT_NO_MEMORY;

    const uint64_t start = destination.GetPosition();
    const std::string range = request.ranged ? std::to_string(request.offset) + "-" +
                                                   std::to_string(request.offset + request.length - 1)
                                             : std::string();
    request.destination = &destination;
    return RetryTransfer(kAttempts, m_callback, [&](bool &final) {
        // A retry writes from the same position again.
        if (destination.GetPosition() != start)
        {
            if (const ZELKRESULT seek = destination.Seek(start))
            {
                final = true;
                return seek;
            }
        }
        // A reset handle keeps its open connections, which is what the session is for.
        Curl().easyReset(curl);
        ApplyCommonOptions(curl);
        request.Start(curl);
        Curl().easySetopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        Curl().easySetopt(curl, CURLOPT_URL, request.url.c_str());
        ApplyRedirectOptions(curl);
        HeaderList headers = RequestHeaders(request.noCache);
        if (request.known != nullptr && IsSendableHeaderValue(request.known->etag))
            AddHeader(headers, ("If-None-Match: " + request.known->etag).c_str());
        Curl().easySetopt(curl, CURLOPT_HTTPHEADER, headers.get());
        if (request.ranged)
            Curl().easySetopt(curl, CURLOPT_RANGE, range.c_str());

        const uint64_t headersBefore = request.headerBytes;
        const CURLcode code = Curl().easyPerform(curl);
        ++m_requests;
        m_bytesReceived += request.received + (request.headerBytes - headersBefore);
        if (request.Stopped())
            return ZELKRESULT_ABORTED;
        ZELKRESULT result = request.failure;
        if (result == ZELKRESULT_OK && code != CURLE_OK)
            result = ZELKRESULT_CONNECTION_LOST;
        if (result == ZELKRESULT_OK && !request.answerChecked && !request.CheckAnswer())
            result = request.failure;
        if (result == ZELKRESULT_OK && request.ranged && request.received != request.length)
            result = ZELKRESULT_BAD_FORMAT;
        if (result == ZELKRESULT_OK)
            return ZELKRESULT_OK;
        ZelkSystemLog("HttpRangeSession> %s%s%s: result %d, status %ld, curl %d", request.url.c_str(),
                      request.ranged ? " bytes " : "", range.c_str(), static_cast<int>(result), request.status,
                      static_cast<int>(code));
        // Only a lost connection or a passing refusal may go otherwise when asked again.
        final = result != ZELKRESULT_CONNECTION_LOST || IsFinalRefusal(request.status);
        return result;
    });
}

bool IsSendableHeaderValue(const std::string &value)
{
    if (value.size() > kMaxHttpVersionLength)
        return false;
    for (const char c : value)
    {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e)
            return false;
    }
    return true;
}
