// The process's memory on Linux: its status file under /proc, and glibc's trim of its pools.
#include "kernel/ProcessMemory.h"

#include <cstdio>
#include <malloc.h>
#include <string>

bool ReadProcessMemory(int processId, ProcessMemory &memory)
{
    const std::string path = processId == 0 ? "/proc/self/status" : "/proc/" + std::to_string(processId) + "/status";
    std::FILE *status = std::fopen(path.c_str(), "re");
    if (status == nullptr)
        return false;
    memory = ProcessMemory();
    bool found = false;
    char line[256];
    unsigned long long kib = 0;
    while (std::fgets(line, sizeof line, status) != nullptr)
    {
        if (std::sscanf(line, "VmRSS: %llu kB", &kib) == 1)
        {
            memory.residentBytes = kib * 1024;
            found = true;
        }
        else if (std::sscanf(line, "VmHWM: %llu kB", &kib) == 1)
            memory.peakResidentBytes = kib * 1024;
    }
    std::fclose(status);
    return found;
}

void ReturnFreeMemory()
{
    // Each thread that allocated may have a pool of its own; trimming walks them all and gives
    // back the whole free pages inside them, not only the top of the main heap.
    malloc_trim(0);
}
