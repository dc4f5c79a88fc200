// The tracker's cached stack capture against the compiler's unwinder, on stacks of different
// shapes: both must give the same frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "kernel/StackWalk.h"

namespace
{
struct Captures
{
    std::vector<uint64_t> cached;
    std::vector<uint64_t> reference;
};

size_t g_capacity = 64;
Captures g_captures;

// Both captures start at this function's caller, so that they are comparable.
__attribute__((noinline)) void CaptureBoth()
{
    uint64_t frames[64];
    const void *caller = __builtin_return_address(0);
    g_captures.cached.assign(frames, frames + CaptureStackFramesCached(frames, g_capacity, caller));
    g_captures.reference.assign(frames, frames + CaptureStackFrames(frames, g_capacity, caller));
    asm volatile("" ::: "memory");
}

__attribute__((noinline)) void Nested3()
{
    CaptureBoth();
    asm volatile("" ::: "memory");
}

__attribute__((noinline)) void Nested2()
{
    Nested3();
    asm volatile("" ::: "memory");
}

__attribute__((noinline)) void Nested()
{
    Nested2();
    asm volatile("" ::: "memory");
}

volatile int g_depth = 40;

__attribute__((noinline)) int Recurse(int depth)
{
    if (depth == 0)
    {
        CaptureBoth();
        return 0;
    }
    int below = Recurse(depth - 1);
    // Keeps the compiler from turning the recursion into a loop.
    asm volatile("" : "+r"(below));
    return below + 1;
}

void DeepRecursion()
{
    Recurse(g_depth);
}

void ThroughStdFunction()
{
    const std::function<void()> call = [] { Nested(); };
    call();
}

bool g_capturedInComparison = false;

// Frames of the C library in between, without frame pointers.
void ThroughQsort()
{
    int values[] = {3, 1, 2};
    g_capturedInComparison = false;
    std::qsort(values, 3, sizeof(int), [](const void *a, const void *b) {
        if (!g_capturedInComparison)
        {
            g_capturedInComparison = true;
            CaptureBoth();
        }
        return *static_cast<const int *>(a) - *static_cast<const int *>(b);
    });
}

// A frame whose size is known only at run time: its frame address comes from the frame pointer.
__attribute__((noinline)) void VariableLengthFrame(int size)
{
    char *buffer = static_cast<char *>(__builtin_alloca(size));
    buffer[0] = 1;
    asm volatile("" : : "r"(buffer) : "memory");
    Nested();
    asm volatile("" : : "r"(buffer) : "memory");
}

void ThroughAVariableLengthFrame()
{
    VariableLengthFrame(g_depth * 10);
}

// Code without an unwind entry, as the dynamic loader's start that runs the libraries' static
// constructors: the walk ends with its frame.
extern "C" void CallWithoutUnwindEntry(void (*function)());
asm(R"(
    .text
    .globl CallWithoutUnwindEntry
    .type CallWithoutUnwindEntry, @function
CallWithoutUnwindEntry:
    sub $8, %rsp
    call *%rdi
    add $8, %rsp
    ret
    .size CallWithoutUnwindEntry, .-CallWithoutUnwindEntry
)");

void ThroughCodeWithoutUnwindEntry()
{
    CallWithoutUnwindEntry(Nested);
}

void OnAnotherThread()
{
    std::thread(Nested).join();
}

void TruncatedToEighteenFrames()
{
    g_capacity = 18;
    DeepRecursion();
    g_capacity = 64;
}

struct StackCase
{
    const char *name;
    void (*run)();
    size_t minimumFrames;
};

class StackWalkTest : public testing::TestWithParam<StackCase>
{
};

TEST_P(StackWalkTest, CachedCaptureGivesTheUnwindersFrames)
{
    const StackCase &stack = GetParam();
    // Twice: the second capture uses the rules the first one worked out.
    for (int round = 0; round < 2; ++round)
    {
        g_captures = Captures();
        stack.run();
        EXPECT_GE(g_captures.reference.size(), stack.minimumFrames);
        EXPECT_EQ(g_captures.cached, g_captures.reference) << "round " << round;
    }
}

const StackCase kStacks[] = {
    {"Nested", Nested, 5},
    {"DeepRecursion", DeepRecursion, 42},
    {"ThroughStdFunction", ThroughStdFunction, 6},
    {"ThroughQsort", ThroughQsort, 4},
    {"ThroughAVariableLengthFrame", ThroughAVariableLengthFrame, 6},
    {"OnAnotherThread", OnAnotherThread, 5},
    {"ThroughCodeWithoutUnwindEntry", ThroughCodeWithoutUnwindEntry, 4},
    {"TruncatedToEighteenFrames", TruncatedToEighteenFrames, 18},
};

INSTANTIATE_TEST_SUITE_P(Stacks, StackWalkTest, testing::ValuesIn(kStacks),
                         [](const testing::TestParamInfo<StackCase> &info) { return std::string(info.param.name); });
} // namespace
