// The invariant check: a broken invariant ends the process with a report, never a returned error.
#pragma once

// Holding the system log lock, so that no other thread's lines come between: logs "Assertion
// failed: <text>", writes the top-level crash report, logs the call stack with symbols, and ends
// the process through abort.
[[noreturn]] void ZelkAssertFailed(const char *text);

// Returns when the condition holds. Inline around a call that never returns, so that the compiler
// never makes it a tail call: the asserting function stays on the reported stack.
inline void ZelkAssert(bool condition, const char *text)
{
    if (!condition) [[unlikely]]
        ZelkAssertFailed(text);
}
