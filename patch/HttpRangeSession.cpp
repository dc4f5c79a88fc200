#include "patch/HttpRangeSession.h"

#include <charconv>
#include <chrono>
#include <cstring>
#include <thread>

#include "kernel/ZelkSystemLog.h"
#include "net/ZelkDataBuffer.h"
#include "patch/CurlLibrary.h"
#include "patch/InternetTransfer.h"

namespace
{
// Attempts of one request: a repair makes many, each small, so a server that stumbles gets a few
// more tries rather than ending the repair, and one that is gone ends it soon.
constexpr int kAttempts = 4;
constexpr long kMaxRedirects = 10;
constexpr long kReceiveBufferSize = 128 * 1024;
constexpr long kNotModified = 304;
constexpr long kNotFound = 404;
constexpr long kGone = 410;

bool StartsWithNoCase(const char *text, size_t length, const char *prefix)
{
    const size_t wanted = std::strlen(prefix);
    if (length < wanted)
        return false;
    for (size_t i = 0; i < wanted; ++i)
    {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i])
            return false;
    }
    return true;
}

// "bytes FIRST-LAST/TOTAL" (TOTAL may be "*"); false when it is not that.
bool ParseContentRange(const std::string &value, uint64_t &first, uint64_t &last)
{
    const char *text = value.c_str();
    const char *end = text + value.size();
    while (*text == ' ')
        ++text;
    if (std::strncmp(text, "bytes ", 6) != 0)
        return false;
    text += 6;
    const char *dash = std::strchr(text, '-');
    const char *slash = std::strchr(text, '/');
    if (dash == nullptr || slash == nullptr || slash < dash)
        return false;
    return std::from_chars(text, dash, first).ptr == dash && std::from_chars(dash + 1, slash, last).ptr == slash &&
           slash < end;
}

// A failure that asking again gives again.
bool IsFinal(ZELKRESULT result, long status)
{
    if (result == ZELKRESULT_CONNECTION_LOST)
        return status >= 400 && status <= 499 && status != 408 && status != 429;
    return result != ZELKRESULT_OK;
}
} // namespace

struct HttpRangeSession::Handle
{
    ~Handle()
    {
        if (curl != nullptr)
            Curl().easyCleanup(curl);
    }
    CURL *curl = nullptr;
};

// One request and what its answer brought so far.
struct HttpRangeRequest
{
    std::string url;
    bool ranged = false;
    uint64_t offset = 0;
    uint64_t length = 0; // of a range
    uint64_t limit = 0;  // of a whole file
    bool noCache = false;
    const HttpVersion *known = nullptr; // asks for "not modified" when it is still this version

    // While it runs.
    CURL *curl = nullptr;
    ZelkDataBuffer *destination = nullptr;
    ZelkTransferCallback *callback = nullptr;
    bool answerChecked = false;
    bool stopped = false;
    long status = 0;
    ZELKRESULT failure = ZELKRESULT_OK;
    std::string contentRange;
    HttpVersion version;
    bool notModified = false;
    uint64_t received = 0;
    uint64_t headerBytes = 0;

    void Start()
    {
        answerChecked = false;
        stopped = false;
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
        Curl().easyGetinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        if (status == kNotModified && known != nullptr)
            notModified = true;
        else if (status == kNotFound || status == kGone)
            failure = ZELKRESULT_LIST_FAILED;
        else if (status < 200 || status > 299)
            failure = ZELKRESULT_CONNECTION_LOST;
        else if (ranged && status != 206)
        {
            // The whole file instead of a part: right only when the part was the whole file.
            curl_off_t size = -1;
            Curl().easyGetinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &size);
            if (offset != 0 || size < 0 || static_cast<uint64_t>(size) != length)
                failure = ZELKRESULT_UNSUPPORTED;
        }
        else if (ranged)
        {
            uint64_t first = 0;
            uint64_t last = 0;
            if (!ParseContentRange(contentRange, first, last) || first != offset || last != offset + length - 1)
                failure = ZELKRESULT_BAD_FORMAT;
        }
        return failure == ZELKRESULT_OK;
    }
};

namespace
{
size_t ReceiveBody(char *data, size_t size, size_t count, void *context)
{
    HttpRangeRequest &request = *static_cast<HttpRangeRequest *>(context);
    const size_t total = size * count;
    if (!request.answerChecked && !request.CheckAnswer())
        return 0;
    const uint64_t bound = request.ranged ? request.length : request.limit;
    if (total > bound - request.received)
    {
        request.failure = request.ranged ? ZELKRESULT_BAD_FORMAT : ZELKRESULT_NO_MEMORY;
        return 0;
    }
    if (const ZELKRESULT result = request.destination->Write(data, static_cast<uint32_t>(total)))
    {
        request.failure = result;
        return 0;
    }
    request.received += total;
    return total;
}

// The value of a header line that has the name (with its colon), without the spaces around it.
std::string HeaderValue(const char *data, size_t length, const char *name)
{
    const size_t skip = std::strlen(name);
    std::string value(data + skip, length - skip);
    while (!value.empty() && (value.back() == '\r' || value.back() == '\n' || value.back() == ' '))
        value.pop_back();
    const size_t first = value.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : value.substr(first);
}

size_t ReceiveHeader(char *data, size_t size, size_t count, void *context)
{
    HttpRangeRequest &request = *static_cast<HttpRangeRequest *>(context);
    const size_t total = size * count;
    request.headerBytes += total;
    // Every answer of a redirect chain starts with its status line.
    if (StartsWithNoCase(data, total, "http/"))
    {
        request.contentRange.clear();
        request.version = HttpVersion();
    }
    else if (StartsWithNoCase(data, total, "content-range:"))
        request.contentRange = HeaderValue(data, total, "content-range:");
    else if (StartsWithNoCase(data, total, "etag:"))
        request.version.etag = HeaderValue(data, total, "etag:");
    return total;
}

// Also called while nothing arrives, so that a stalled request can be cancelled too.
int CheckCancel(void *context, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    HttpRangeRequest &request = *static_cast<HttpRangeRequest *>(context);
    if (request.callback != nullptr && request.callback->ShouldStop())
    {
        request.stopped = true;
        return 1;
    }
    return 0;
}

struct HeaderListDeleter
{
    void operator()(curl_slist *list) const { Curl().slistFreeAll(list); }
};
using HeaderList = std::unique_ptr<curl_slist, HeaderListDeleter>;

void AddHeader(HeaderList &headers, const char *header)
{
    if (curl_slist *list = Curl().slistAppend(headers.get(), header))
    {
        headers.release();
        headers.reset(list);
    }
}
} // namespace

HttpRangeSession::HttpRangeSession(ZelkTransferCallback *callback)
    : m_handle(std::make_unique<Handle>()), m_callback(callback)
{
}

HttpRangeSession::~HttpRangeSession() = default;

ZELKRESULT HttpRangeSession::FetchRange(const std::string &url, uint64_t offset, uint64_t length,
                                        ZelkDataBuffer &destination)
{
    HttpRangeRequest request;
    request.url = url;
    request.ranged = true;
    request.offset = offset;
    request.length = length;
    return Perform(request, destination);
}

ZELKRESULT HttpRangeSession::FetchWhole(const std::string &url, uint64_t limit, bool noCache,
                                        ZelkDataBuffer &destination)
{
    HttpRangeRequest request;
    request.url = url;
    request.limit = limit;
    request.noCache = noCache;
    return Perform(request, destination);
}

ZELKRESULT HttpRangeSession::FetchWholeIfChanged(const std::string &url, uint64_t limit, const HttpVersion &known,
                                                 HttpVersion &sent, bool &unchanged, ZelkDataBuffer &destination)
{
    HttpRangeRequest request;
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
    if (m_handle->curl == nullptr)
        m_handle->curl = Curl().easyInit();
    CURL *curl = m_handle->curl;
    if (curl == nullptr)
        return ZELKRESULT_NO_MEMORY;

    const uint64_t start = destination.GetPosition();
    const std::string range = request.ranged ? std::to_string(request.offset) + "-" +
                                                   std::to_string(request.offset + request.length - 1)
                                             : std::string();
    ZELKRESULT result = ZELKRESULT_OK;
    for (int attempt = 0; attempt < kAttempts; ++attempt)
    {
        if (attempt > 0)
        {
            if (m_callback != nullptr && m_callback->ShouldStop())
                return ZELKRESULT_ABORTED;
            std::this_thread::sleep_for(GetTransferTimings().retryPause);
            if (const ZELKRESULT seek = destination.Seek(start))
                return seek;
        }
        // A reset handle keeps its open connections, which is what the session is for.
        Curl().easyReset(curl);
        ApplyTransferSettings(curl);
        request.Start();
        request.curl = curl;
        request.destination = &destination;
        request.callback = m_callback;
        Curl().easySetopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        Curl().easySetopt(curl, CURLOPT_URL, request.url.c_str());
        Curl().easySetopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
        Curl().easySetopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
        Curl().easySetopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        Curl().easySetopt(curl, CURLOPT_BUFFERSIZE, kReceiveBufferSize);
        Curl().easySetopt(curl, CURLOPT_WRITEFUNCTION, ReceiveBody);
        Curl().easySetopt(curl, CURLOPT_WRITEDATA, &request);
        Curl().easySetopt(curl, CURLOPT_HEADERFUNCTION, ReceiveHeader);
        Curl().easySetopt(curl, CURLOPT_HEADERDATA, &request);
        Curl().easySetopt(curl, CURLOPT_XFERINFOFUNCTION, CheckCancel);
        Curl().easySetopt(curl, CURLOPT_XFERINFODATA, &request);
        Curl().easySetopt(curl, CURLOPT_NOPROGRESS, 0L);
        HeaderList headers;
        AddHeader(headers, "Accept: */*");
        if (request.noCache)
        {
            AddHeader(headers, "Cache-Control: no-cache");
            AddHeader(headers, "Pragma: no-cache");
        }
        if (request.known != nullptr && IsSendableHeaderValue(request.known->etag))
            AddHeader(headers, ("If-None-Match: " + request.known->etag).c_str());
        Curl().easySetopt(curl, CURLOPT_HTTPHEADER, headers.get());
        if (request.ranged)
            Curl().easySetopt(curl, CURLOPT_RANGE, range.c_str());

        const uint64_t headersBefore = request.headerBytes;
        const CURLcode code = Curl().easyPerform(curl);
        ++m_requests;
        m_bytesReceived += request.received + (request.headerBytes - headersBefore);
        if (request.stopped)
            return ZELKRESULT_ABORTED;
        result = request.failure;
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
        if (IsFinal(result, request.status))
            return result;
    }
    return result;
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

std::string EncodeUrlPath(const std::string &path)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : path)
    {
        const unsigned char byte = static_cast<unsigned char>(c);
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
        if (unreserved)
        {
            encoded += c;
            continue;
        }
        encoded += '%';
        encoded += kHex[byte >> 4];
        encoded += kHex[byte & 15];
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
