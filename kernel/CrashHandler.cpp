// The parts of crash handling that need nothing of the platform: the call stack on the log.
#include "kernel/CrashHandler.h"

#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <string>

#include "kernel/StackWalk.h"
#include "kernel/ZelkSystemLog.h"

namespace
{
constexpr size_t kMaxLoggedFrames = 64;
// The addresses share one log line of a 512-byte buffer.
constexpr size_t kAddressTextLimit = 510;
} // namespace

__attribute__((noinline)) void ZelkLogCallStack(bool withSymbols)
{
    std::lock_guard<std::recursive_mutex> lock(ZelkSystemLogLock());
    uint64_t frames[kMaxLoggedFrames];
    const size_t count = CaptureStackFrames(frames, kMaxLoggedFrames, __builtin_return_address(0));
    std::string addresses;
    for (size_t i = 0; i < count; ++i)
    {
        char address[24];
        const int length = std::snprintf(address, sizeof address, "%" PRIx64 " ", frames[i]);
        if (addresses.size() + static_cast<size_t>(length) > kAddressTextLimit)
            break;
        addresses += address;
    }
    ZelkSystemLog("callstack: %s", addresses.c_str());
    if (!withSymbols)
        return;
    for (size_t i = 0; i < count; ++i)
    {
        const StackFrameSymbol symbol = SymbolEngine::Resolve(frames[i]);
        // Narrow: module and file paths keep their letters outside ASCII.
        for (const StackFrameSymbol::InlinedCall &call : symbol.inlined)
            ZelkSystemLog("  %s %s [%s:%d]", symbol.module.c_str(), call.function.c_str(), call.file.c_str(),
                          call.line);
        ZelkSystemLog("  %s %s [%s:%d]", symbol.module.c_str(), symbol.function.c_str(), symbol.file.c_str(),
                      symbol.line);
    }
}
