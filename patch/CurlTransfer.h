// What every transfer over libcurl shares: the library's process-wide state, handles and header
// lists that free themselves, the settings each transfer makes on its handle, the sink that takes
// an answer and asks whether to stop, and the reading of a Content-Range.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "kernel/ZelkTypes.h"
#include "patch/CurlLibrary.h"

class ZelkDataBuffer;
class ZelkTransferCallback;

// The process-wide transfer library state, set up once on first use and kept until exit.
class ZelkInetInternal
{
public:
    // True when the library is ready.
    static bool CreateInternetSession();
};

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
// Adds a header line; a list that cannot grow stays as it was.
void AddHeader(HeaderList &headers, const char *header);
// The headers of an HTTP request: "Accept: */*", and with noCache the lines that ask caches and
// proxies for a fresh copy.
HeaderList RequestHeaders(bool noCache);

// The settings every transfer of the program makes on its handle: no signals, the agent name, the
// protocols it may speak, the connect time-out and the stall limit of GetTransferTimings, the
// receive buffer, and the certificate authorities that the environment names.
void ApplyCommonOptions(CURL *curl);
// An HTTP request follows redirects, a few and only to HTTP and HTTPS.
void ApplyRedirectOptions(CURL *curl);
// The user and password of an address; none when the user is empty.
void ApplyCredentials(CURL *curl, const std::string &user, const std::string &password);
// The status of the last answer on the handle; 0 before one arrived.
long ResponseStatus(CURL *curl);

// Takes what one transfer on a handle receives and answers libcurl's question whether to go on,
// which it also asks while nothing arrives, so that a stalled transfer can be stopped too.
class TransferSink
{
public:
    explicit TransferSink(ZelkTransferCallback *callback) : m_callback(callback) {}
    virtual ~TransferSink() = default;
    TransferSink(const TransferSink &) = delete;
    TransferSink &operator=(const TransferSink &) = delete;

    // Points the handle's body, header and progress functions at this sink for the next transfer.
    void Attach(CURL *curl);
    // Turns them off, so that a handle that is kept never calls a sink that has ended.
    static void Detach(CURL *curl);
    // The callback asked to stop, and the transfer ended for it.
    bool Stopped() const { return m_stopped; }

protected:
    // A piece of the body; false ends the transfer (the sink keeps the reason).
    virtual bool Body(const char *data, size_t size) = 0;
    // One header line as it came, with its line end.
    virtual void Header(const char *, size_t) {}
    CURL *Handle() const { return m_curl; }

private:
    static size_t ReceiveBody(char *data, size_t size, size_t count, void *context);
    static size_t ReceiveHeader(char *data, size_t size, size_t count, void *context);
    static int CheckCancel(void *context, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

    ZelkTransferCallback *m_callback;
    CURL *m_curl = nullptr;
    bool m_stopped = false;
};

// A sink that writes the body at the destination's position, in pieces small enough for a
// destination that reports progress as they come.
class DestinationSink : public TransferSink
{
public:
    DestinationSink(ZelkDataBuffer &destination, ZelkTransferCallback *callback)
        : TransferSink(callback), m_destination(destination)
    {
    }

    // ZELKRESULT_OK unless the destination refused a write.
    ZELKRESULT WriteResult() const { return m_writeResult; }
    uint64_t BytesReceived() const { return m_bytesReceived; }
    // The size of the last piece libcurl handed over, for the log of a broken transfer.
    uint32_t LastPiece() const { return m_lastPiece; }

protected:
    bool Body(const char *data, size_t size) override;
    ZelkDataBuffer &Destination() const { return m_destination; }

private:
    ZelkDataBuffer &m_destination;
    ZELKRESULT m_writeResult = ZELKRESULT_OK;
    uint64_t m_bytesReceived = 0;
    uint32_t m_lastPiece = 0;
};

// The value of a header line whose name (with its colon, in any case) is name, without the spaces
// and the line end around it; false for a line of another header.
bool HeaderValue(std::string_view line, std::string_view name, std::string &value);

// A Content-Range value: "bytes FIRST-LAST/TOTAL", where TOTAL may be "*", or "bytes */TOTAL"
// for a range the file does not hold.
struct ContentRange
{
    bool satisfied = false;
    uint64_t first = 0;
    uint64_t last = 0;
    bool totalKnown = false;
    uint64_t total = 0;
};
// False when the value is neither form.
bool ParseContentRange(std::string_view value, ContentRange &range);
