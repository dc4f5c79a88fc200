// The global allocation operators of the programs that link this file (the patcher), every form of
// them, through the process's allocation tracker; the widget toolkit's allocations come here too.
//
// A sanitizer build keeps its runtime's operators: they find more (overflows, mismatched forms,
// leaks) and ours would hide the mismatches from them. The tracker then steps aside entirely.
#include "kernel/DebugAllocTracker.h"
#include "kernel/SanitizerBuild.h"

#ifdef ZELK_SANITIZER_BUILD

DebugAllocTracker *ProcessAllocTracker()
{
    return nullptr;
}

#else

#include <cstdlib>
#include <cstring>
#include <new>

#include "kernel/CrashHandler.h"

namespace
{
// Switched off only to measure what the tracker costs.
constexpr char kTrackerVariable[] = "ZELK_TEST_ALLOC_TRACKER";

bool TrackerOn()
{
    static const bool on = [] {
        const char *setting = std::getenv(kTrackerVariable);
        return !(setting && std::strcmp(setting, "off") == 0);
    }();
    return on;
}

// Made on the first allocation, which may come before any static object of the program exists,
// and never destroyed: blocks are freed until the very end of the process.
DebugAllocTracker &Tracker()
{
    alignas(DebugAllocTracker) static unsigned char storage[sizeof(DebugAllocTracker)];
    static DebugAllocTracker *tracker = [] {
        DebugAllocTracker *made = new (storage) DebugAllocTracker();
        ZelkInstallEarlyCrashHandler();
        return made;
    }();
    return *tracker;
}

// Runs after every static object of every module has been destroyed (a destructor function runs
// after the exit-time functions, the static destructors among them), so that their frees come
// before the report and only real leaks are listed.
__attribute__((destructor)) void ReportAtExit()
{
    if (TrackerOn())
        Tracker().Report();
}

void *AllocateOrThrow(size_t size, size_t alignment, const void *caller)
{
    if (size == 0)
        size = 1;
    for (;;)
    {
        void *block;
        if (!TrackerOn())
            block = alignment ? std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment)
                              : std::malloc(size);
        else
            block = alignment ? Tracker().AllocateAligned(size, alignment, caller) : Tracker().Allocate(size, caller);
        if (block)
            return block;
        std::new_handler handler = std::get_new_handler();
        if (!handler)
            throw std::bad_alloc();
        handler();
    }
}

void *AllocateOrNull(size_t size, size_t alignment, const void *caller) noexcept
{
    try
    {
        return AllocateOrThrow(size, alignment, caller);
    }
    catch (...)
    {
        return nullptr;
    }
}

void Release(void *block, const void *caller) noexcept
{
    if (!TrackerOn())
        std::free(block);
    else
        Tracker().Free(block, caller);
}

size_t AlignmentOf(std::align_val_t alignment)
{
    const size_t value = static_cast<size_t>(alignment);
    return value < sizeof(void *) ? sizeof(void *) : value;
}
} // namespace

DebugAllocTracker *ProcessAllocTracker()
{
    return TrackerOn() ? &Tracker() : nullptr;
}

#define ZELK_CALLER __builtin_return_address(0)

void *operator new(size_t size)
{
    return AllocateOrThrow(size, 0, ZELK_CALLER);
}

void *operator new[](size_t size)
{
    return AllocateOrThrow(size, 0, ZELK_CALLER);
}

void *operator new(size_t size, const std::nothrow_t &) noexcept
{
    return AllocateOrNull(size, 0, ZELK_CALLER);
}

void *operator new[](size_t size, const std::nothrow_t &) noexcept
{
    return AllocateOrNull(size, 0, ZELK_CALLER);
}

void *operator new(size_t size, std::align_val_t alignment)
{
    return AllocateOrThrow(size, AlignmentOf(alignment), ZELK_CALLER);
}

void *operator new[](size_t size, std::align_val_t alignment)
{
    return AllocateOrThrow(size, AlignmentOf(alignment), ZELK_CALLER);
}

void *operator new(size_t size, std::align_val_t alignment, const std::nothrow_t &) noexcept
{
    return AllocateOrNull(size, AlignmentOf(alignment), ZELK_CALLER);
}

void *operator new[](size_t size, std::align_val_t alignment, const std::nothrow_t &) noexcept
{
    return AllocateOrNull(size, AlignmentOf(alignment), ZELK_CALLER);
}

void operator delete(void *block) noexcept
{
    Release(block, ZELK_CALLER);
}

void operator delete[](void *block) noexcept
{
    Release(block, ZELK_CALLER);
}

void operator delete(void *block, size_t) noexcept
{
    Release(block, ZELK_CALLER);
}

void operator delete[](void *block, size_t) noexcept
{
    Release(block, ZELK_CALLER);
}

void operator delete(void *block, const std::nothrow_t &) noexcept
{
    Release(block, ZELK_CALLER);
}

void operator delete[](void *block, const std::nothrow_t &) noexcept
{
    Release(block, ZELK_CALLER);
}

void operator delete(void *block, std::align_val_t) noexcept
{
    Release(block, ZELK_CALLER);
}

void operator delete[](void *block, std::align_val_t) noexcept
{
    Release(block, ZELK_CALLER);
}

void operator delete(void *block, size_t, std::align_val_t) noexcept
{
    Release(block, ZELK_CALLER);
}

void operator delete[](void *block, size_t, std::align_val_t) noexcept
{
    Release(block, ZELK_CALLER);
}

void operator delete(void *block, std::align_val_t, const std::nothrow_t &) noexcept
{
    Release(block, ZELK_CALLER);
}

void operator delete[](void *block, std::align_val_t, const std::nothrow_t &) noexcept
{
    Release(block, ZELK_CALLER);
}

#endif
