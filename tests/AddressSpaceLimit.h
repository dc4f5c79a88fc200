// Runs a piece of a test with little address space to spare, in a child of a death test, so that
// code which would allocate what an input merely claims (or without end) fails at once instead of
// taking the shared machine's memory:
//
//   EXPECT_EXIT(std::_Exit(RunWithAddressSpaceLimit(body)), ::testing::ExitedWithCode(0), "");
#pragma once

#include <cstdint>
#include <fstream>
#include <functional>
#include <sys/resource.h>

// Address space in use now, from the kernel's view of this process.
inline uint64_t AddressSpaceInUse()
{
    std::ifstream statm("/proc/self/statm");
    uint64_t pages = 0;
    statm >> pages;
    return pages * 4096;
}

// Caps the address space at what is in use plus headroom, then runs body; its result, or 100
// when the cap cannot be set.
inline int RunWithAddressSpaceLimit(const std::function<int()> &body, uint64_t headroom = 256u << 20)
{
    const rlim_t limit = AddressSpaceInUse() + headroom;
    const rlimit cap = {limit, limit};
    if (setrlimit(RLIMIT_AS, &cap) != 0)
        return 100;
    return body();
}
