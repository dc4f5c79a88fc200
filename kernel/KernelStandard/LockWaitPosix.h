// The flock form of the bounded wait of kernel/LockWait.h.
#pragma once

#include "kernel/LockWait.h"

// Takes the flock (LOCK_EX or LOCK_SH) on fd, polling so that the deadline, the run's cancel and
// SIGINT or SIGTERM end the wait; records the outcome for LastLockWaitResult.
LockWaitResult WaitForFileLock(int fd, int operation);
// One try without waiting, recorded the same way (a lock held is TimedOut): for a lock already
// known to stay held.
LockWaitResult TryFileLock(int fd, int operation);
