#include "kernel/DebugAllocTracker.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/KernelStandard/ConsoleOutput.h"
#include "kernel/LoadableModule.h"
#include "kernel/OSThread.h"
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

using Place = DebugAllocTracker::Place;

// The directories the compiler searched for its own and the system's headers, as the build
// found them, ':' between two.
#ifndef ZELK_SYSTEM_INCLUDE_DIRECTORIES
#define ZELK_SYSTEM_INCLUDE_DIRECTORIES "/usr/include:/usr/local/include"
#endif

std::string SymbolText(const StackFrameSymbol &symbol)
{
    char text[64];
    if (!symbol.function.empty())
    {
        std::snprintf(text, sizeof text, "+0x%llx", static_cast<unsigned long long>(symbol.functionOffset));
        return symbol.function + text;
    }
    if (symbol.module.empty())
        return {};
    std::snprintf(text, sizeof text, "+0x%llx", static_cast<unsigned long long>(symbol.moduleOffset));
    return symbol.module + text;
}

// The places of frames, innermost first; a frame in inlined code gives one place per inlined
// call, as if each were a frame of its own.
std::vector<Place> PlacesOf(const uint64_t *frames, size_t count)
{
    std::vector<Place> places;
    for (size_t i = 0; i < count; ++i)
    {
        // A return address: the call is the byte before.
        const bool own = LoadableModule::IsOwnCode(frames[i] - 1);
        const StackFrameSymbol symbol = SymbolEngine::Resolve(frames[i]);
        const std::string text = SymbolText(symbol);
        const bool known = symbol.line > 0;
        for (const StackFrameSymbol::InlinedCall &call : symbol.inlined)
            places.push_back({own, call.line > 0 ? call.file : std::string(), call.line, text});
        places.push_back({own, known ? symbol.file : std::string(), symbol.line, text});
    }
    return places;
}

bool HasOwnFrame(const uint64_t *frames, size_t count)
{
    return std::any_of(frames, frames + count, [](uint64_t frame) { return LoadableModule::IsOwnCode(frame - 1); });
}
} // namespace

size_t DebugAllocTracker::NamingPlace(const std::vector<Place> &places)
{
    // Code of a library header may be ours only by where it lies: the executable carries the
    // instances of the standard library's templates that it uses, and the dynamic loader binds the
    // libraries' own calls of them there too. Such places name no block; code without line tables
    // might be anything, so the first of it does.
    size_t firstUnknown = std::string::npos;
    for (size_t i = 0; i < places.size(); ++i)
    {
        if (!places[i].ownCode)
            continue;
        if (places[i].file.empty())
            firstUnknown = std::min(firstUnknown, i);
        else if (!IsLibraryHeader(places[i].file))
            return i;
    }
    return firstUnknown;
}

bool DebugAllocTracker::IsLibraryHeader(std::string_view file)
{
    // A build that maps its own directories away records relative names; the compiler names the
    // headers of its include directories as it found them there, whole.
    if (!file.starts_with('/'))
        return false;
    std::string_view directories = ZELK_SYSTEM_INCLUDE_DIRECTORIES;
    while (!directories.empty())
    {
        const size_t end = std::min(directories.find(':'), directories.size());
        std::string_view directory = directories.substr(0, end);
        directories.remove_prefix(std::min(end + 1, directories.size()));
        while (directory.ends_with('/'))
            directory.remove_suffix(1);
        if (!directory.empty() && file.size() > directory.size() && file.starts_with(directory) &&
            file[directory.size()] == '/')
            return true;
    }
    return false;
}

std::string DebugAllocTracker::PlaceText(const Place &place)
{
    if (!place.file.empty())
        return place.file + "(" + std::to_string(place.line) + ")";
    if (!place.symbol.empty())
        return place.symbol;
    return "<unknown>(-1)";
}

namespace
{
uint32_t CurrentThreadId()
{
    __attribute__((tls_model("initial-exec"))) static thread_local uint32_t id = 0;
    if (id == 0)
        id = static_cast<uint32_t>(OS::GetCurrentThreadId());
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
    const size_t own = NamingPlace(places);
    const std::string where = PlaceText(places[own == std::string::npos ? 0 : own]);
    Print("%s: unknown memory block starting at %p freed.\n", where.c_str(), block);
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
    // Most of what is live at exit is the libraries' own: told apart without a symbol looked up.
    if (!HasOwnFrame(location.frames, location.frameCount))
        return false;
    const std::vector<Place> places = PlacesOf(location.frames, location.frameCount);
    const size_t own = NamingPlace(places);
    if (own == std::string::npos)
        return false;
    const std::string where = PlaceText(places[own]);
    if (count == 1)
        Print("%s: 1 memory block of size %zu was never freed (thread id %u).\n", where.c_str(), location.size,
              location.threadId);
    else
        Print("%s: %zu memory blocks of size %zu were never freed (thread id %u).\n", where.c_str(), count,
              location.size, location.threadId);
    for (size_t i = own + 1; i < places.size(); ++i)
        Print("%s: Called from.\n", PlaceText(places[i]).c_str());
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
