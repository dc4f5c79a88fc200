// The debug allocation tracker: every block the global allocation operators hand out is recorded
// with its size, thread and call stack; a free of a block it never handed out is reported, and the
// blocks still live at exit are listed, grouped by where they were allocated, on the debugger
// output. Each is named by the first line of this program's own code on its stack; blocks that
// libraries allocated on their own (their start-up keeps many for the life of the process) are
// only counted.
//
// Which code is our own is decided by where it is loaded (the program's executable and the
// modules it carries, not the shared libraries), never by the source paths in the debugging
// information: those depend on how and where each object was compiled.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

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

    // A place on a block's stack: a frame, or a call inlined in it.
    struct Place
    {
        // The frame lies in the program's own code.
        bool ownCode = false;
        // Empty when the code has no line tables.
        std::string file;
        int line = -1;
        // "function+0x1f", or "module+0x4a0" without symbols; empty when not even the module is
        // known.
        std::string symbol;
    };
    // The place that names a block: the first of our own code whose source is ours rather than a
    // library header that the compiler put into our code; else the first of our own code without
    // line tables. npos when there is none: a library allocated the block on its own.
    static size_t NamingPlace(const std::vector<Place> &places);
    // Whether a source file is a header of the compiler's or the system's include directories.
    static bool IsLibraryHeader(std::string_view file);
    // "file(line)", else the symbol, else "<unknown>(-1)".
    static std::string PlaceText(const Place &place);

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
