// Requests for files and parts of files over HTTP(S), one after the other on one libcurl handle, so
// that they share the connection the first one opened: a server or CDN that keeps connections
// alive serves a repair's hundreds of parts over a few connections. A part is exactly the bytes
// asked for or a failure: a server that ignores the range, answers with another one or sends more
// than asked is refused before its bytes go anywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "kernel/ZelkTypes.h"

class ZelkDataBuffer;
class ZelkTransferCallback;
struct HttpRangeRequest;

// One version of a file as the server that sent it names it: its entity tag ("ETag"), empty when
// it gave none. A modification time is no such name: it counts whole seconds, and a file replaced
// within the second it was fetched would never be fetched again.
struct HttpVersion
{
    std::string etag;

    bool IsKnown() const { return !etag.empty(); }
    bool operator==(const HttpVersion &other) const { return etag == other.etag; }
};
// True when a header value may be sent back as it is: printable, without line breaks, and at most
// kMaxHttpVersionLength bytes.
constexpr size_t kMaxHttpVersionLength = 256;
bool IsSendableHeaderValue(const std::string &value);

class HttpRangeSession
{
public:
    // callback (or none) is asked during every transfer whether it must stop.
    explicit HttpRangeSession(ZelkTransferCallback *callback = nullptr);
    ~HttpRangeSession();
    HttpRangeSession(const HttpRangeSession &) = delete;
    HttpRangeSession &operator=(const HttpRangeSession &) = delete;

    // Writes the length bytes from offset of the file at url at the destination's position, trying
    // again after a failure that a retry may change; a retry writes from the same position again.
    //   ZELKRESULT_CONNECTION_LOST  no answer, or a status outside 200-299
    //   ZELKRESULT_LIST_FAILED      the server has no such file (404, 410)
    //   ZELKRESULT_UNSUPPORTED      the server ignores ranges and would send the whole file
    //   ZELKRESULT_BAD_FORMAT       another range, or fewer or more bytes than asked
    //   ZELKRESULT_ABORTED          the callback asked to stop
    ZELKRESULT FetchRange(const std::string &url, uint64_t offset, uint64_t length, ZelkDataBuffer &destination);
    // The whole file, asked for past caches when noCache is set; ZELKRESULT_NO_MEMORY when it holds
    // more than limit bytes. The other results are FetchRange's.
    ZELKRESULT FetchWhole(const std::string &url, uint64_t limit, bool noCache, ZelkDataBuffer &destination);
    // FetchWhole past caches, asking the server to answer "not modified" (If-None-Match) when the
    // file is still the version known (when that is known): unchanged then says so and nothing is
    // written. sent receives the version of the file that was sent.
    ZELKRESULT FetchWholeIfChanged(const std::string &url, uint64_t limit, const HttpVersion &known,
                                   HttpVersion &sent, bool &unchanged, ZelkDataBuffer &destination);

    // Bytes of bodies and headers received so far, and the requests made (every attempt counts).
    uint64_t GetBytesReceived() const { return m_bytesReceived; }
    uint64_t GetRequestCount() const { return m_requests; }

private:
    ZELKRESULT Perform(HttpRangeRequest &request, ZelkDataBuffer &destination);

    struct Handle;
    std::unique_ptr<Handle> m_handle;
    ZelkTransferCallback *m_callback;
    uint64_t m_bytesReceived = 0;
    uint64_t m_requests = 0;
};

