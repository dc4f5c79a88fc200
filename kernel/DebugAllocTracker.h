// The debug allocation tracker: every block the global allocation operators hand out is recorded
// with its size, thread and call stack; a free of a block it never handed out is reported, and the
// blocks still live at exit are listed, grouped by where they were allocated, on the debugger
// output. Each is named by the first line of this program's own code on its stack; blocks that
// libraries allocated on their own (their start-up keeps many for the life of the process) are
// only counted.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>

class DebugAllocTracker
{
public:
    // Where blocks really come from; the plain heap unless a test counts.
    struct Heap
    {
        void *(*allocate)(size_t size);
        // Alignment is a power of two of at least sizeof(void *).
        void *(*allocateAligned)(size_t alignment, size_t size);
        void (*release)(void *block);
    };
    static const Heap kPlainHeap;

    // Receives every report line after the debugger output.
    using ReportHook = void (*)(const char *line);

    // Frames kept per block, from the code that called the allocation operator outwards.
    static constexpr size_t kMaxFrames = 18;

    explicit DebugAllocTracker(const Heap &heap = kPlainHeap);
    DebugAllocTracker(const DebugAllocTracker &) = delete;
    DebugAllocTracker &operator=(const DebugAllocTracker &) = delete;

    // caller: the return address into the code that called the allocation operator; the recorded
    // stack starts there. Null when the heap has no memory.
    void *Allocate(size_t size, const void *caller);
    void *AllocateAligned(size_t size, size_t alignment, const void *caller);
    // A null block does nothing. A block the tracker did not hand out is reported and still freed.
    void Free(void *block, const void *caller);

    // The exit report. Afterwards nothing is recorded any more; frees by the reporting thread pass
    // silently, frees by other threads are reported as unknown blocks.
    void Report();

    void SetReportHook(ReportHook hook) { m_reportHook = hook; }

private:
    struct Record
    {
        size_t size;
        uint32_t threadId;
        uint16_t frameCount;
        uint64_t frames[kMaxFrames];
    };
    // Groups leaks: two share a location when size, stack and thread agree.
    struct LocationKeyLess
    {
        bool operator()(const Record &a, const Record &b) const;
    };

    bool Busy() const;
    void *Track(void *block, size_t size, const void *caller);
    void ReportUnknownBlock(void *block, const void *caller);
    // False, and nothing printed, when no frame of the location is in this program's own code.
    bool ReportLocation(const Record &location, size_t count);
    bool Listened() const;
    void Print(const char *format, ...) __attribute__((format(printf, 2, 3)));

    Heap m_heap;
    std::mutex m_lock;
    std::map<uintptr_t, Record> m_liveBlocks;
    // The id of the thread inside the tracker, 0 when none: its own allocations (the map's nodes)
    // come from the plain heap, so the tracker needs no recursive lock.
    std::atomic<uint32_t> m_busyThread{0};
    // The thread that wrote the exit report, 0 before it.
    std::atomic<uint32_t> m_reportedThread{0};
    ReportHook m_reportHook = nullptr;
};

// The tracker behind this program's global allocation operators; null when the program has none:
// they are not linked in, a sanitizer build keeps its own, or ZELK_TEST_ALLOC_TRACKER=off (used to
// measure what the tracker costs).
DebugAllocTracker *ProcessAllocTracker();
