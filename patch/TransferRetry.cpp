#include "patch/TransferRetry.h"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

namespace
{
// Tests and the whole-program tests shorten the pause between attempts through the environment.
constexpr const char *kRetryPauseVariable = "ZELK_TEST_TRANSFER_RETRY_PAUSE_MS";
constexpr long kTimeout = 408;
constexpr long kTooManyRequests = 429;

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
} // namespace

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

ZELKRESULT RetryTransfer(int attempts, ZelkTransferCallback *callback, const TransferAttempt &attempt)
{
    ZELKRESULT result = ZELKRESULT_OK;
    for (int tried = 0; tried < attempts; ++tried)
    {
        if (tried > 0)
        {
            if (callback != nullptr && callback->ShouldStop())
                return ZELKRESULT_ABORTED;
            std::this_thread::sleep_for(GetTransferTimings().retryPause);
        }
        bool final = false;
        result = attempt(final);
        if (result == ZELKRESULT_OK || result == ZELKRESULT_ABORTED || final)
            return result;
    }
    return result;
}

bool IsFinalRefusal(long status)
{
    return status >= 400 && status <= 499 && status != kTimeout && status != kTooManyRequests;
}
