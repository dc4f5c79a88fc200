// The memory a process holds, as the system counts it, and the return of what the allocator keeps
// free: a long-running server whose clients come and go must not keep the peak of its busiest
// moment.
#pragma once

#include <cstdint>

struct ProcessMemory
{
    uint64_t residentBytes = 0;     // in memory now
    uint64_t peakResidentBytes = 0; // the most ever in memory at once
};

// The figures of a process (0: this one); false when they cannot be read (the process is gone).
bool ReadProcessMemory(int processId, ProcessMemory &memory);

// Hands the pages the allocator holds free, in every thread's pool, back to the system.
void ReturnFreeMemory();
