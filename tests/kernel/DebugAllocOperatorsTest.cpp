// The global allocation operators of a program that links the tracker (this test program does):
// every form goes through the tracker, and the exit report lists what was never freed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unistd.h>

#include "ChildRun.h"
#include "TestFiles.h"
#include "kernel/DebugAllocTracker.h"

namespace
{
constexpr char kThisFile[] = "tests/kernel/DebugAllocOperatorsTest.cpp";
constexpr std::align_val_t kAlignment{64};

void WriteLine(const char *line)
{
    (void)!write(STDOUT_FILENO, line, strlen(line));
}

// Kept where the compiler cannot see that nobody reads them.
void *volatile g_kept[16];

void *Keep(void *block)
{
    g_kept[8] = block;
    return block;
}

bool Aligned(void *block)
{
    return reinterpret_cast<uintptr_t>(block) % static_cast<size_t>(kAlignment) == 0;
}

volatile int g_three = 3;

__attribute__((noinline)) void LeakSixteenBytes(int slot)
{
    g_kept[9 + slot] = new char[16]; // LEAK(three)
}

// Allocates with every form, sizes 101 to 108, and leaves the blocks.
__attribute__((noinline)) bool LeakOneOfEachForm()
{
    g_kept[0] = ::operator new(101);                             // FORM(1)
    g_kept[1] = ::operator new[](102);                           // FORM(2)
    g_kept[2] = ::operator new(103, std::nothrow);               // FORM(3)
    g_kept[3] = ::operator new[](104, std::nothrow);             // FORM(4)
    g_kept[4] = ::operator new(105, kAlignment);                 // FORM(5)
    g_kept[5] = ::operator new[](106, kAlignment);               // FORM(6)
    g_kept[6] = ::operator new(107, kAlignment, std::nothrow);   // FORM(7)
    g_kept[7] = ::operator new[](108, kAlignment, std::nothrow); // FORM(8)
    return Aligned(g_kept[4]) && Aligned(g_kept[5]) && Aligned(g_kept[6]) && Aligned(g_kept[7]);
}

// Allocates and frees with every pair of forms, sizes 201 and up: none may show in the report. The
// sized forms exist only where the compiler has sized deallocation (clang wants it asked for).
__attribute__((noinline)) void FreeEveryForm()
{
    ::operator delete(Keep(::operator new(201)));
    ::operator delete[](Keep(::operator new[](202)));
#if __cpp_sized_deallocation
    ::operator delete(Keep(::operator new(203)), 203);
    ::operator delete[](Keep(::operator new[](204)), 204);
#endif
    ::operator delete(Keep(::operator new(205, std::nothrow)), std::nothrow);
    ::operator delete[](Keep(::operator new[](206, std::nothrow)), std::nothrow);
    ::operator delete(Keep(::operator new(207, kAlignment)), kAlignment);
    ::operator delete[](Keep(::operator new[](208, kAlignment)), kAlignment);
#if __cpp_sized_deallocation
    ::operator delete(Keep(::operator new(209, kAlignment)), 209, kAlignment);
    ::operator delete[](Keep(::operator new[](210, kAlignment)), 210, kAlignment);
#endif
    ::operator delete(Keep(::operator new(211, kAlignment, std::nothrow)), kAlignment, std::nothrow);
    ::operator delete[](Keep(::operator new[](212, kAlignment, std::nothrow)), kAlignment, std::nothrow);
}
} // namespace

TEST(DebugAllocOperators, EveryFormIsTrackedAndLeaksAreReportedAtExit)
{
    if (!ProcessAllocTracker())
        GTEST_SKIP() << "the allocation operators are the sanitizer's in this build";
    const testfiles::TempDirectory directory;
    const ChildOutcome outcome = RunInChild(directory.Path(), [] {
        ProcessAllocTracker()->SetReportHook(WriteLine);
        const bool aligned = LeakOneOfEachForm();
        FreeEveryForm();
        for (int i = 0; i < g_three; ++i)
            LeakSixteenBytes(i);
        std::exit(aligned ? 0 : 4);
    });
    ASSERT_TRUE(outcome.ExitedWith(0)) << outcome.Describe();
    const std::string &report = outcome.output;
    const std::string file = "/" + std::string(kThisFile) + "(";
    for (int form = 1; form <= 8; ++form)
    {
        const std::string line = file + std::to_string(SourceLineOf(kThisFile, "FORM(" + std::to_string(form) + ")")) +
                                 "): 1 memory block of size " + std::to_string(100 + form) + " was never freed";
        EXPECT_NE(report.find(line), std::string::npos) << line << "\n" << report;
    }
    EXPECT_NE(report.find(file + std::to_string(SourceLineOf(kThisFile, "LEAK(three)")) +
                          "): 3 memory blocks of size 16 were never freed"),
              std::string::npos)
        << report;
    for (int size = 201; size <= 212; ++size)
        EXPECT_EQ(report.find(" of size " + std::to_string(size) + " "), std::string::npos) << size;
    EXPECT_EQ(report.find("unknown memory block"), std::string::npos) << report;
    EXPECT_NE(report.find(">>>>>>>>>> DEBUG ALLOCATION >>>>>>>>>>"), std::string::npos);
    EXPECT_NE(report.find("<<<<<<<<<< DEBUG ALLOCATION <<<<<<<<<<"), std::string::npos);
}
