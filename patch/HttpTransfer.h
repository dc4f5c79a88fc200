// Files over HTTP and HTTPS: one request per attempt, each on a handle of its own. A download that
// an earlier attempt began is continued with a range request.
#pragma once

#include <cstdint>
#include <string>

#include "kernel/ZelkTypes.h"

class ZelkDataBuffer;
class ZelkTransferCallback;

// One transfer (no retries of its own). A status outside 200-299 fails with
// ZELKRESULT_CONNECTION_LOST and nothing of its body is stored.
ZELKRESULT HttpGet(const std::string &address, ZelkDataBuffer &destination, bool noCache,
                   ZelkTransferCallback *callback);
ZELKRESULT HttpQuerySize(const std::string &address, uint64_t &size);

// HttpGet as one attempt of several: downloadStart is where the file's first byte belongs in the
// destination, and whatever an earlier attempt wrote after it is continued. final is set when the
// server refused in a way no retry changes.
ZELKRESULT HttpGetAttempt(const std::string &address, ZelkDataBuffer &destination, bool noCache,
                          ZelkTransferCallback *callback, uint64_t downloadStart, bool &final);
// HttpQuerySize as one attempt of several; final as for HttpGetAttempt.
ZELKRESULT HttpQuerySizeAttempt(const std::string &address, uint64_t &size, bool &final);
