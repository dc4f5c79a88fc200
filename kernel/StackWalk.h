// Call stacks of the running program. Capturing one is cheap (the unwinder's frame addresses
// only) because the allocation tracker does it for every block; turning addresses into module,
// function, source file and line is slow and happens only when a report is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Captures the calling thread's frame addresses, newest first, into frames (at most capacity).
// The list starts at the frame whose address is `from` (a return address taken with
// __builtin_return_address, or the faulting instruction of a signal frame), so that the walker's
// own frames and those of its callers inside the kernel never show; when `from` is null, or is
// not among the first frames, it starts with the caller of CaptureStackFrames. Neither allocates
// nor locks, so a signal handler may call it.
size_t CaptureStackFrames(uint64_t *frames, size_t capacity, const void *from = nullptr);
// The same frames, faster for a thread that captures again and again (the allocation tracker):
// each code address's unwind rule is worked out once and kept for the thread. Not for signal
// handlers: a thread's first capture sets up its cache.
size_t CaptureStackFramesCached(uint64_t *frames, size_t capacity, const void *from = nullptr);

// What a frame address resolves to. What cannot be resolved keeps its default.
struct StackFrameSymbol
{
    // A function the compiler inlined at the address, and the place in it.
    struct InlinedCall
    {
        std::string function;
        std::string file;
        int line;
    };

    std::string module;
    // Where the address lies in the module's file, for a module without symbols.
    uint64_t moduleOffset = 0;
    // The function the address lies in, and the place in it: when the address is in inlined code,
    // the line that the outermost inlined call stands on.
    std::string function;
    // Where the address lies in the function, for a module without line tables.
    uint64_t functionOffset = 0;
    std::string file = "<unknown>";
    int line = -1;
    // The inlined functions the address lies in, innermost first.
    std::vector<InlinedCall> inlined;
};

// The process's symbol engine over its own loaded modules (libdw). Loaded on first use and kept
// for the life of the process; safe to use from several threads. Not for signal handlers: it
// allocates and locks.
namespace SymbolEngine
{
// returnAddress: the address is where a call returns to, so the call itself is one byte earlier
// (it matters for the last call of a function and for the line shown).
StackFrameSymbol Resolve(uint64_t address, bool returnAddress = true);
} // namespace SymbolEngine

// Resolves an address in a module file loaded with the given bias in a process that is not this
// one (the crashed process, for its report writer). Modules are kept open between calls.
class OfflineSymbolResolver
{
public:
    OfflineSymbolResolver();
    ~OfflineSymbolResolver();
    OfflineSymbolResolver(const OfflineSymbolResolver &) = delete;
    OfflineSymbolResolver &operator=(const OfflineSymbolResolver &) = delete;

    StackFrameSymbol Resolve(const std::string &modulePath, uint64_t bias, uint64_t address, bool returnAddress);

private:
    struct Modules;
    Modules *m_modules;
};
