// When a failed transfer is tried again, and the settings that pace every transfer: one policy for
// the downloads, the size queries and the repair's requests, each choosing its number of attempts.
#pragma once

#include <chrono>
#include <functional>

#include "kernel/ZelkTypes.h"

// Asked during a transfer (also while it stalls) and before each further attempt whether it must
// stop.
class ZelkTransferCallback
{
public:
    virtual ~ZelkTransferCallback() = default;
    // True: stop the transfer.
    virtual bool ShouldStop() = 0;
};

// Transfer settings that tests shorten; the defaults are the program's.
struct ZelkTransferTimings
{
    std::chrono::milliseconds retryPause{1000};
    std::chrono::seconds connectTimeout{60};
    // A transfer slower than 1 byte/s for this long has stalled and fails.
    std::chrono::seconds stallTime{60};
};
ZelkTransferTimings GetTransferTimings();
void SetTransferTimings(const ZelkTransferTimings &timings);

// One try of a transfer; it sets final when its failure is one that no retry can change.
using TransferAttempt = std::function<ZELKRESULT(bool &final)>;

// Repeats attempt, pausing retryPause between tries, until it succeeds, is stopped (it returns
// ZELKRESULT_ABORTED, or the callback says stop before a further try), fails finally, or has made
// attempts tries; the last try's result.
ZELKRESULT RetryTransfer(int attempts, ZelkTransferCallback *callback, const TransferAttempt &attempt);

// An HTTP status in which the server says the request itself will not be served: asking again
// gives the same answer. A time-out (408) and too many requests (429) are passing, as 5xx are.
bool IsFinalRefusal(long status);
