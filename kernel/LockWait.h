// Waits on locks that another account can take: the registry file's lock and the instance
// registry's mutex. Anyone who can open such a lock can hold it for ever, so no wait on one is
// endless: it gives up at a deadline, and at once when the run is cancelled or the process is
// asked to stop (SIGINT, SIGTERM).
#pragma once

#include <cstdint>

enum class LockWaitResult
{
    Taken,
    TimedOut,
    Cancelled,
    Failed,
};

constexpr uint32_t kLockWaitDeadlineMs = 30000;
// Whole-program tests cannot wait half a minute per row: this variable, when set to a number of
// milliseconds, replaces the deadline.
constexpr char kLockWaitDeadlineOverride[] = "ZELK_TEST_LOCK_WAIT_MS";

// The deadline of one wait in milliseconds.
uint32_t LockWaitDeadlineMs();
// How the calling thread's last wait on such a lock ended (Taken before any); lets the run say
// why a step that needed the lock failed.
LockWaitResult LastLockWaitResult();
