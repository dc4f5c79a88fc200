#include "kernel/KernelStandard/LockWaitPosix.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sys/file.h>
#include <time.h>

#include "kernel/Terminal.h"
#include "kernel/ZelkTypes.h"

namespace
{
// The longest pause between two tries: short enough that a cancel ends the wait at once for a
// person, long enough that a held lock costs no measurable time.
constexpr long kMaxPollPauseMs = 50;

thread_local LockWaitResult t_lastResult = LockWaitResult::Taken;

int64_t NowMilliseconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void Pause(long milliseconds)
{
    timespec pause{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR)
    {
    }
}

LockWaitResult Record(LockWaitResult result)
{
    t_lastResult = result;
    return result;
}
} // namespace

uint32_t LockWaitDeadlineMs()
{
    const char *override = std::getenv(kLockWaitDeadlineOverride);
    if (!override || !*override)
        return kLockWaitDeadlineMs;
    char *end = nullptr;
    const unsigned long value = std::strtoul(override, &end, 10);
    if (*end != '\0' || value > kLockWaitDeadlineMs)
        return kLockWaitDeadlineMs;
    return static_cast<uint32_t>(value);
}

LockWaitResult LastLockWaitResult()
{
    return t_lastResult;
}

LockWaitResult WaitForFileLock(int fd, int operation)
{
    const int64_t deadline = NowMilliseconds() + LockWaitDeadlineMs();
    long pause = 1;
    for (;;)
    {
        if (flock(fd, operation | LOCK_NB) == 0)
            return Record(LockWaitResult::Taken);
        if (errno != EWOULDBLOCK && errno != EINTR)
            return Record(LockWaitResult::Failed);
        if (ReportCancelRequested() || InterruptRequested())
            return Record(LockWaitResult::Cancelled);
        const int64_t left = deadline - NowMilliseconds();
        if (left <= 0)
            return Record(LockWaitResult::TimedOut);
        Pause(std::min<long>({pause, kMaxPollPauseMs, static_cast<long>(left)}));
        pause *= 2;
    }
}

LockWaitResult TryFileLock(int fd, int operation)
{
    if (flock(fd, operation | LOCK_NB) == 0)
        return Record(LockWaitResult::Taken);
    return Record(errno == EWOULDBLOCK ? LockWaitResult::TimedOut : LockWaitResult::Failed);
}
