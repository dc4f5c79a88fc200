#include "kernel/DebugAllocTracker.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "kernel/KernelStandard/ConsoleOutput.h"
#include "kernel/StackWalk.h"

namespace
{
// Report lines are cut at this many characters.
constexpr size_t kReportLineCapacity = 1024;

void *AllocateAlignedPlain(size_t alignment, size_t size)
{
    void *block = nullptr;
    return posix_memalign(&block, alignment, size) == 0 ? block : nullptr;
}

struct Place
{
    std::string file;
    int line;
};

// The source places of frames, innermost first; a frame in inlined code gives one place per
// inlined call, as if each were a frame of its own.
std::vector<Place> PlacesOf(const uint64_t *frames, size_t count)
{
    std::vector<Place> places;
    for (size_t i = 0; i < count; ++i)
    {
        const StackFrameSymbol symbol = SymbolEngine::Resolve(frames[i]);
        for (const StackFrameSymbol::InlinedCall &call : symbol.inlined)
            places.push_back({call.file, call.line});
        places.push_back({symbol.file, symbol.line});
    }
    return places;
}

// The directory this program was compiled from, as its line tables name it: where this file's own
// code resolves to, less "kernel/DebugAllocTracker.cpp". Kept in static storage, not on the heap,
// so that taking it never allocates a block the report would count. Empty without line tables.
const char *OwnSourceRoot()
{
    static char root[4096];
    static std::once_flag once;
    std::call_once(once, [] {
        constexpr std::string_view kThisFile = "kernel/DebugAllocTracker.cpp";
        const std::string file =
            SymbolEngine::Resolve(reinterpret_cast<uint64_t>(&PlacesOf), false).file;
        if (file.size() > kThisFile.size() && file.size() < sizeof root && file.ends_with(kThisFile))
            file.copy(root, file.size() - kThisFile.size());
    });
    return root;
}

// The first place in code of this program's own sources: the libraries' code (the standard
// library's templates and inline functions included, wherever the compiler put them) is passed
// over, so a block is named by the line of ours that asked for it. npos when there is none: the
// block was allocated by a library on its own, at its start-up or for its own purposes. A program
// without line tables cannot tell, and counts every place as its own.
size_t FirstOwnPlace(const std::vector<Place> &places)
{
    const std::string_view root = OwnSourceRoot();
    if (root.empty())
        return places.empty() ? std::string::npos : 0;
    for (size_t i = 0; i < places.size(); ++i)
    {
        if (places[i].file.starts_with(root))
            return i;
    }
    return std::string::npos;
}

uint32_t CurrentThreadId()
{
    __attribute__((tls_model("initial-exec"))) static thread_local uint32_t id = 0;
    if (id == 0)
        id = static_cast<uint32_t>(gettid());
    return id;
}
} // namespace

const DebugAllocTracker::Heap DebugAllocTracker::kPlainHeap = {std::malloc, AllocateAlignedPlain, std::free};

bool DebugAllocTracker::LocationKeyLess::operator()(const Record &a, const Record &b) const
{
    if (a.size != b.size)
        return a.size < b.size;
    const size_t common = std::min(a.frameCount, b.frameCount);
    for (size_t i = 0; i < common; ++i)
    {
        if (a.frames[i] != b.frames[i])
            return a.frames[i] < b.frames[i];
    }
    if (a.threadId != b.threadId)
        return a.threadId < b.threadId;
    return a.frameCount < b.frameCount;
}

DebugAllocTracker::DebugAllocTracker(const Heap &heap) : m_heap(heap) {}

bool DebugAllocTracker::Busy() const
{
    return m_busyThread.load(std::memory_order_relaxed) == CurrentThreadId();
}

void *DebugAllocTracker::Allocate(size_t size, const void *caller)
{
    if (Busy() || m_reportedThread.load(std::memory_order_relaxed) != 0)
        return m_heap.allocate(size);
    return Track(m_heap.allocate(size), size, caller);
}

void *DebugAllocTracker::AllocateAligned(size_t size, size_t alignment, const void *caller)
{
    if (Busy() || m_reportedThread.load(std::memory_order_relaxed) != 0)
        return m_heap.allocateAligned(alignment, size);
    return Track(m_heap.allocateAligned(alignment, size), size, caller);
}

void *DebugAllocTracker::Track(void *block, size_t size, const void *caller)
{
    if (!block)
        return nullptr;
    Record record;
    record.size = size;
    record.threadId = CurrentThreadId();
    // Captured before the lock is taken: the walk is the costly part and needs no lock.
    record.frameCount = static_cast<uint16_t>(CaptureStackFramesCached(record.frames, kMaxFrames, caller));
    std::lock_guard<std::mutex> lock(m_lock);
    m_busyThread.store(record.threadId, std::memory_order_relaxed);
    m_liveBlocks.insert_or_assign(reinterpret_cast<uintptr_t>(block), record);
    m_busyThread.store(0, std::memory_order_relaxed);
    return block;
}

void DebugAllocTracker::Free(void *block, const void *caller)
{
    if (!block)
        return;
    if (Busy())
    {
        m_heap.release(block);
        return;
    }
    const uint32_t self = CurrentThreadId();
    const uint32_t reported = m_reportedThread.load(std::memory_order_relaxed);
    if (reported == self)
    {
        m_heap.release(block);
        return;
    }
    bool known = false;
    if (reported == 0)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_busyThread.store(self, std::memory_order_relaxed);
        known = m_liveBlocks.erase(reinterpret_cast<uintptr_t>(block)) != 0;
        m_busyThread.store(0, std::memory_order_relaxed);
    }
    m_heap.release(block);
    // Reported outside the lock: resolving symbols allocates, and another thread may hold the
    // symbol engine while it waits for the tracker.
    if (!known)
        ReportUnknownBlock(block, caller);
}

void DebugAllocTracker::ReportUnknownBlock(void *block, const void *caller)
{
    if (!Listened())
        return;
    uint64_t frames[kMaxFrames];
    const size_t count = CaptureStackFrames(frames, kMaxFrames, caller);
    if (count == 0)
    {
        Print("Unknown location: Unknown memory block starting at %p freed.\n", block);
        return;
    }
    const std::vector<Place> places = PlacesOf(frames, count);
    const size_t own = FirstOwnPlace(places);
    const Place &where = places[own == std::string::npos ? 0 : own];
    Print("%s(%d): unknown memory block starting at %p freed.\n", where.file.c_str(), where.line, block);
}

void DebugAllocTracker::Report()
{
    std::map<uintptr_t, Record> live;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const uint32_t self = CurrentThreadId();
        m_busyThread.store(self, std::memory_order_relaxed);
        m_reportedThread.store(self, std::memory_order_relaxed);
        live.swap(m_liveBlocks);
        m_busyThread.store(0, std::memory_order_relaxed);
    }
    // From here on this thread's allocations and frees bypass the tracker, so the report may
    // allocate freely, outside the lock.
    if (!Listened())
        return;
    Print("\n\n>>>>>>>>>> DEBUG ALLOCATION >>>>>>>>>>\n\n");
    std::map<Record, size_t, LocationKeyLess> locations;
    for (const auto &[address, record] : live)
        ++locations[record];
    size_t leaks = 0;
    size_t leakLocations = 0;
    size_t libraryBlocks = 0;
    size_t libraryLocations = 0;
    for (const auto &[location, count] : locations)
    {
        if (ReportLocation(location, count))
        {
            leaks += count;
            ++leakLocations;
        }
        else
        {
            libraryBlocks += count;
            ++libraryLocations;
        }
    }
    if (libraryBlocks != 0)
        Print("%zu memory blocks at %zu locations were allocated by libraries alone and are not listed.\n\n",
              libraryBlocks, libraryLocations);
    Print("\n\nA total of %zu leaks at %zu locations.\n", leaks, leakLocations);
    Print("\n\n<<<<<<<<<< DEBUG ALLOCATION <<<<<<<<<<\n\n");
}

bool DebugAllocTracker::ReportLocation(const Record &location, size_t count)
{
    if (location.frameCount == 0)
    {
        Print("Unknown location: %zu memory blocks of size %zu were never freed.\n\n", count, location.size);
        return true;
    }
    const std::vector<Place> places = PlacesOf(location.frames, location.frameCount);
    const size_t own = FirstOwnPlace(places);
    if (own == std::string::npos)
        return false;
    const Place &where = places[own];
    if (count == 1)
        Print("%s(%d): 1 memory block of size %zu was never freed (thread id %u).\n", where.file.c_str(), where.line,
              location.size, location.threadId);
    else
        Print("%s(%d): %zu memory blocks of size %zu were never freed (thread id %u).\n", where.file.c_str(),
              where.line, count, location.size, location.threadId);
    for (size_t i = own + 1; i < places.size(); ++i)
        Print("%s(%d): Called from.\n", places[i].file.c_str(), places[i].line);
    Print("\n");
    return true;
}

bool DebugAllocTracker::Listened() const
{
    return m_reportHook != nullptr || DebuggerOutputEnabled();
}

void DebugAllocTracker::Print(const char *format, ...)
{
    char line[kReportLineCapacity];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    WriteDebuggerOutput(line);
    if (m_reportHook)
        m_reportHook(line);
}
